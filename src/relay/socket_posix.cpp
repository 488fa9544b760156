// The VAN link on Linux: BSD sockets, with the link's wake signal and the
// stop signal polled beside the socket so a waiting receive can always
// be ended without closing the socket under it.
#include "relay/van_link.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "relay/wake_signal.h"

namespace brinvale {

struct CSocketCommCls::Link {
    int fd = -1;
    WakeSignal wake;
};

CSocketCommCls::CSocketCommCls(const WakeSignal& stop) : m_link(std::make_unique<Link>()), m_stop(stop) {}

CSocketCommCls::~CSocketCommCls()
{
    CloseSocket();
}

bool CSocketCommCls::HasSocket() const
{
    return m_link->fd >= 0;
}

void CSocketCommCls::CloseSocket()
{
    if (m_link->fd >= 0) {
        close(m_link->fd);
        m_link->fd = -1;
    }
}

int CSocketCommCls::Connect(const char* ip, int port)
{
    CloseSocket();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return kSocketNoSocket;
    m_link->fd = fd;

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr(ip);  // dotted decimal only, never a name look-up
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        // Refused before the wait began (port 0, no route): never a link.
        CloseSocket();
        return kSocketNotReady;
    }

    // The link counts as up only once the server has been heard from (data or
    // a close) within the wait. A refused connection also wakes the wait, so
    // the socket's pending error decides.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectWaitMs);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd waits[2] = {{fd, POLLIN, 0}, {m_stop.Fd(), POLLIN, 0}};
        const int ready = poll(waits, 2, static_cast<int>(std::max<long long>(left, 0)));
        if (ready < 0 && errno == EINTR)
            continue;
        int error = 0;
        socklen_t size = sizeof error;
        if (ready <= 0 || waits[1].revents || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
            error != 0) {
            CloseSocket();
            return kSocketNotReady;
        }
        return std::max(fd, 1);
    }
}

int CSocketCommCls::Receive(std::uint8_t* dest)
{
    const int fd = m_link->fd;
    const int wakeFd = m_link->wake.Fd();
    const int stopFd = m_stop.Fd();
    for (;;) {
        if (fd < 0)
            return kSocketClosed;
        if (m_link->wake.IsRaised() || m_stop.IsRaised())
            return kSocketWaitFailed;
        const ssize_t n = recv(fd, dest, kVanBufferSize, MSG_DONTWAIT);
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return kSocketClosed;

        pollfd waits[3] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(waits, 3, -1) < 0 && errno != EINTR)
            return kSocketWaitFailed;
    }
}

int CSocketCommCls::Send(const std::uint8_t* data, int length)
{
    if (m_link->fd < 0)
        return kSocketNoSocket;
    const ssize_t n = send(m_link->fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n < length ? kSocketSendFailed : static_cast<int>(n);
}

void CSocketCommCls::Wake()
{
    m_link->wake.Raise();
}

}  // namespace brinvale
