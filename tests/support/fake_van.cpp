#include "support/fake_van.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
static void CloseNative(NativeSocket s) { closesocket(s); }
constexpr int kSendFlags = 0;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/select.h>
#include <unistd.h>
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
static void CloseNative(NativeSocket s) { close(s); }
// A send to a link the gateway already closed fails; it must not raise SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

namespace brinvale::test {

namespace {

NativeSocket Native(long long s) { return static_cast<NativeSocket>(s); }
long long Stored(NativeSocket s) { return static_cast<long long>(s); }

bool Readable(NativeSocket s, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &wait) > 0;
}

void SendAll(NativeSocket s, const std::uint8_t* bytes, std::size_t size)
{
    if (size > 0)
        send(s, reinterpret_cast<const char*>(bytes), static_cast<int>(size), kSendFlags);
}

// A close sends FIN; a close with a zero linger time-out sends RST at once
// and throws away whatever was still queued.
void EndSocket(NativeSocket s, FakeVan::Ending how)
{
    if (how == FakeVan::Ending::Reset) {
        linger abort{};
        abort.l_onoff = 1;
        abort.l_linger = 0;
        setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    }
    CloseNative(s);
}

}  // namespace

FakeVan::FakeVan(Options options) : m_options(std::move(options))
{
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    NativeSocket listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    // A queue of one, taken by a connection of our own that is never
    // accepted: every further connect's SYN is dropped.
    listen(listener, m_options.neverAccept ? 0 : 4);
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
    m_listen = Stored(listener);
    if (m_options.neverAccept) {
        NativeSocket filler = socket(AF_INET, SOCK_STREAM, 0);
        connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        m_filler = Stored(filler);
    }
    m_thread = std::thread(&FakeVan::Serve, this);
}

FakeVan::~FakeVan()
{
    m_stop = true;
    m_thread.join();
    CloseLink();
    if (Native(m_filler) != kNoSocket)
        CloseNative(Native(m_filler));
    CloseNative(Native(m_listen));
#ifdef _WIN32
    WSACleanup();
#endif
}

// Only this thread accepts and receives; the test thread sends and ends links
// under the lock, so a socket is never used here after the test closed it.
void FakeVan::Serve()
{
    while (!m_stop) {
        NativeSocket client = kNoSocket;
        {
            std::lock_guard lock(m_lock);
            client = Native(m_client);
        }
        if (client != kNoSocket)
            ReceiveFrom(Stored(client));
        else if (m_options.neverAccept)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        else
            AcceptOne();
    }
}

void FakeVan::AcceptOne()
{
    if (!Readable(Native(m_listen), 20))
        return;
    NativeSocket client = accept(Native(m_listen), nullptr, nullptr);
    if (client == kNoSocket)
        return;
    std::lock_guard lock(m_lock);
    ++m_accepted;
    m_peerClosed = false;
    m_linkReceived = 0;
    if (m_options.endOnAccept) {
        EndSocket(client, *m_options.endOnAccept);
    } else {
        m_client = Stored(client);
        SendAll(client, m_options.greeting.data(), m_options.greeting.size());
    }
    m_changed.notify_all();
}

void FakeVan::ReceiveFrom(long long stored)
{
    const NativeSocket client = Native(stored);
    if (!Readable(client, 20))
        return;
    std::lock_guard lock(m_lock);
    if (m_client != stored)
        return;  // ended by the test meanwhile
    char buffer[8192];
    std::size_t want = sizeof buffer;
    if (m_options.endAfterBytes > 0)
        want = std::min(want, m_options.endAfterBytes - m_linkReceived);
    const int n = static_cast<int>(recv(client, buffer, static_cast<int>(want), 0));
    if (n <= 0) {
        CloseNative(client);
        m_client = Stored(kNoSocket);
        m_peerClosed = true;
    } else {
        m_received.insert(m_received.end(), buffer, buffer + n);
        m_linkReceived += static_cast<std::size_t>(n);
        if (m_options.echo)
            send(client, buffer, n, kSendFlags);
        if (m_options.endAfterBytes > 0 && m_linkReceived >= m_options.endAfterBytes)
            EndLinkLocked(m_options.endAfterBytesBy);
    }
    m_changed.notify_all();
}

void FakeVan::EndLinkLocked(Ending how)
{
    if (Native(m_client) != kNoSocket) {
        EndSocket(Native(m_client), how);
        m_client = Stored(kNoSocket);
    }
}

Bytes FakeVan::WaitReceived(std::size_t count, int timeoutMs)
{
    std::unique_lock lock(m_lock);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_received.size() >= count; });
    return m_received;
}

Bytes FakeVan::Received()
{
    std::lock_guard lock(m_lock);
    return m_received;
}

bool FakeVan::WaitAccepted(int count, int timeoutMs)
{
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_accepted >= count; });
}

bool FakeVan::WaitPeerClosed(int timeoutMs)
{
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_peerClosed; });
}

void FakeVan::SendToGateway(const Bytes& bytes)
{
    std::lock_guard lock(m_lock);
    if (Native(m_client) != kNoSocket)
        SendAll(Native(m_client), bytes.data(), bytes.size());
}

void FakeVan::CloseLink()
{
    std::lock_guard lock(m_lock);
    EndLinkLocked(Ending::Close);
}

void FakeVan::ResetLink()
{
    std::lock_guard lock(m_lock);
    EndLinkLocked(Ending::Reset);
}

void FakeVan::SendThenEnd(const Bytes& bytes, Ending how)
{
    std::lock_guard lock(m_lock);
    if (Native(m_client) != kNoSocket)
        SendAll(Native(m_client), bytes.data(), bytes.size());
    EndLinkLocked(how);
}

}  // namespace brinvale::test
