#include "support/fake_van.h"

#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
static void CloseNative(NativeSocket s) { closesocket(s); }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/select.h>
#include <unistd.h>
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
static void CloseNative(NativeSocket s) { close(s); }
#endif

namespace brinvale::test {

namespace {

NativeSocket Native(long long s) { return static_cast<NativeSocket>(s); }

bool Readable(NativeSocket s, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &wait) > 0;
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
    listen(listener, 4);
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
    m_listen = static_cast<long long>(listener);
    m_thread = std::thread(&FakeVan::Serve, this);
}

FakeVan::~FakeVan()
{
    m_stop = true;
    m_thread.join();
    CloseLink();
    CloseNative(Native(m_listen));
#ifdef _WIN32
    WSACleanup();
#endif
}

void FakeVan::Serve()
{
    while (!m_stop) {
        NativeSocket client = kNoSocket;
        {
            std::lock_guard lock(m_lock);
            client = Native(m_client);
        }
        if (client == kNoSocket) {
            if (!Readable(Native(m_listen), 20))
                continue;
            client = accept(Native(m_listen), nullptr, nullptr);
            if (client == kNoSocket)
                continue;
            std::lock_guard lock(m_lock);
            m_client = static_cast<long long>(client);
            m_peerClosed = false;
            ++m_accepted;
            if (!m_options.greeting.empty())
                send(client, reinterpret_cast<const char*>(m_options.greeting.data()),
                     static_cast<int>(m_options.greeting.size()), 0);
            m_changed.notify_all();
            continue;
        }
        if (!Readable(client, 20))
            continue;
        char buffer[8192];
        const int n = static_cast<int>(recv(client, buffer, sizeof buffer, 0));
        std::lock_guard lock(m_lock);
        if (n <= 0) {
            CloseNative(client);
            m_client = static_cast<long long>(kNoSocket);
            m_peerClosed = true;
        } else {
            m_received.insert(m_received.end(), buffer, buffer + n);
            if (m_options.echo)
                send(client, buffer, n, 0);
        }
        m_changed.notify_all();
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

bool FakeVan::WaitPeerClosed(int timeoutMs)
{
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_peerClosed; });
}

void FakeVan::SendToGateway(const Bytes& bytes)
{
    std::lock_guard lock(m_lock);
    if (Native(m_client) != kNoSocket)
        send(Native(m_client), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
}

void FakeVan::CloseLink()
{
    std::lock_guard lock(m_lock);
    if (Native(m_client) != kNoSocket) {
        CloseNative(Native(m_client));
        m_client = static_cast<long long>(kNoSocket);
    }
}

}  // namespace brinvale::test
