// The terminal's protocol: its control bytes, the sizes of its bursts and
// fields, the keep-alive count. The pump steps that follow it are the
// Relay's (Relay::CatPumpStep and Relay::VanPumpStep in cat_pump.cpp).
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

}  // namespace brinvale
