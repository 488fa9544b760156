// The TCP link to the payment network server (the VAN).
//
// The relay keeps its current link (Relay::ConnectToVAN, DropVanLink in
// van_link.cpp). A link object is shared: the CAT pump connects and sends through it, the VAN
// pump waits in Receive, and either may drop it. Whoever drops the link takes
// it out of the current slot and wakes the receiver; the socket itself is
// closed exactly once, when the last user lets go of the object, so a thread
// never waits on a socket number that was closed and reused under it.
// The platform half lives in socket_win32.cpp and socket_posix.cpp.
#pragma once

#include <cstdint>
#include <memory>

namespace brinvale {

class WakeSignal;

constexpr int kSocketSendFailed = -21;
constexpr int kSocketWaitFailed = -22;
constexpr int kSocketClosed = -24;
constexpr int kSocketNoSocket = -26;
constexpr int kSocketNotReady = -27;

constexpr int kVanBufferSize = 2049;
constexpr int kConnectWaitMs = 2000;

class CSocketCommCls {
public:
    // stop ends the connect wait and every receive when raised; it must
    // outlive the link.
    explicit CSocketCommCls(const WakeSignal& stop);
    ~CSocketCommCls();  // closes the socket if one is open
    CSocketCommCls(const CSocketCommCls&) = delete;
    CSocketCommCls& operator=(const CSocketCommCls&) = delete;

    // Connects without blocking and waits up to 2 s for the server to be heard
    // from. A positive socket number when the link is up; kSocketNoSocket or
    // kSocketNotReady otherwise (the socket is then already closed).
    int Connect(const char* ip, int port);

    // Waits until the server sends or the link ends, then reads up to
    // kVanBufferSize bytes: the count, kSocketWaitFailed when the wait failed
    // or was woken (by Wake or the stop signal), kSocketClosed when the server closed the link or the read
    // failed.
    int Receive(std::uint8_t* dest);

    // The count when all bytes went out; kSocketNoSocket without a socket;
    // kSocketSendFailed when fewer were accepted or the send failed.
    int Send(const std::uint8_t* data, int length);

    // Ends a Receive that is waiting (now or later) on this link.
    void Wake();

    bool HasSocket() const;

private:
    void CloseSocket();

    struct Link;  // platform handles
    std::unique_ptr<Link> m_link;
    const WakeSignal& m_stop;
};

}  // namespace brinvale
