// Stand-ins for the platform halves of the serial line (the SerialDevice
// behind the real channel), the VAN link and the wake signal
// (serial_fake.cpp, socket_fake.cpp, wake_signal_fake.cpp), linked into the
// fuzzers instead of the *_posix.cpp files. They touch no
// device and no socket and never wait: whoever drives the engine decides
// through these hooks what each call returns, and sees everything the engine
// wrote.
#pragma once

#include <cstdint>
#include <functional>

namespace brinvale::fuzz {

struct FakeSerialHooks {
    // What one read returns: up to count bytes into dest (count is already
    // cut to kMaxSerialRead) and their number, 0 for the time-outs expiring
    // with nothing, or kSerialReadFailed.
    std::function<int(int count, std::uint8_t* dest)> read;
    // Every write that reaches the line, whole.
    std::function<void(const std::uint8_t* data, int length)> write;
    // What opening the device gives, at Connect and at each reopen of a lost
    // line: 1 or kSerialOpenFailed.
    std::function<int()> open;
};

struct FakeVanHooks {
    // The socket number (positive) when the server at ip:port takes the
    // connection, 0 when it does not.
    std::function<int(const char* ip, int port)> connect;
    // What the server accepts of a send on the given socket: length, or
    // kSocketSendFailed.
    std::function<int(int socket, const std::uint8_t* data, int length)> send;
    // What a receive gets on the given socket: up to kVanBufferSize bytes
    // into dest and their number, or kSocketClosed.
    std::function<int(int socket, std::uint8_t* dest)> receive;
};

FakeSerialHooks& SerialHooks();
FakeVanHooks& VanHooks();

// Link objects alive right now: each must go away (closing its socket) when
// the last user lets go of it.
int LiveVanLinks();

// The time all waits on wake signals would have taken so far
// (wake_signal_fake.cpp): a wait that no raise ends returns at once.
long long WaitedMilliseconds();

}  // namespace brinvale::fuzz
