// One step of each pump: the CAT pump's, the terminal's side of the
// protocol, and the VAN pump's, which passes the server's replies on. The
// pump threads (pump_threads.h) run them in their loops; the fuzzer runs the
// very same steps on one thread.
#pragma once

#include <cstdint>

namespace brinvale {

constexpr std::uint8_t kSOH = 0x01;
constexpr std::uint8_t kACK = 0x06;
constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kETB = 0x17;
constexpr std::uint8_t kESC = 0x1B;
constexpr std::uint8_t kFS = 0x1C;

constexpr int kContinuationSize = 2048;
constexpr int kBurstSize = 2049;
constexpr int kFieldSize = 32;  // IP and port texts: at most 31 bytes
constexpr int kKeepAliveStep = 5;
constexpr int kKeepAliveLimit = 720;

// True when every byte of the NUL-terminated text is a decimal digit; also
// for an empty text.
bool IsAllDigits(const char* text);

// One pass of the CAT pump: read a burst from the terminal and act on it,
// then apply the keep-alive rule.
void CatPumpStep();

// One pass of the VAN pump: while a link is up, waits for what the server
// sends and writes it to the terminal as it came; a link that failed or was
// closed by the server is dropped. Returns at once without a link.
void VanPumpStep();

}  // namespace brinvale
