// The Windows VAN socket channel against a Winsock server on 127.0.0.1.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "relay/relay_state.h"
#include "relay/van_link.h"
#include "support/fake_terminal.h"

namespace brinvale::test {
namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class WinsockSession {
public:
    WinsockSession() { m_started = WSAStartup(MAKEWORD(2, 2), &m_data) == 0; }
    ~WinsockSession()
    {
        if (m_started)
            WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;

private:
    WSADATA m_data{};
    bool m_started = false;
};

class Socket {
public:
    explicit Socket(SOCKET s = INVALID_SOCKET) : m_sock(s) {}
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    SOCKET Get() const { return m_sock; }
    bool Valid() const { return m_sock != INVALID_SOCKET; }
    void Reset(SOCKET s)
    {
        Close();
        m_sock = s;
    }
    void Close()
    {
        if (m_sock != INVALID_SOCKET)
            closesocket(m_sock);
        m_sock = INVALID_SOCKET;
    }

private:
    SOCKET m_sock;
};

// A socket bound to 127.0.0.1 on a port the system picks; listening if asked.
SOCKET BindLoopback(int* port, bool listening)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int size = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0
        || (listening && listen(s, 4) != 0)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return s;
}

bool Readable(SOCKET s, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{0, ms * 1000};
    return select(0, &set, nullptr, nullptr, &wait) > 0;
}

// A VAN server for one link: accepts, optionally greets, optionally closes
// right after the greeting, records what it receives. Sends and closes on
// request are carried out by its own thread, which alone touches the link.
class TestServer {
public:
    struct Options {
        Bytes greeting;
        bool closeAfterGreeting = false;
    };

    explicit TestServer(Options options) : m_options(std::move(options))
    {
        m_listen.Reset(BindLoopback(&m_port, true));
        if (m_listen.Valid())
            m_thread = std::thread([this] { Serve(); });
    }

    ~TestServer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    int Port() const { return m_port; }
    bool Listening() const { return m_listen.Valid(); }

    Bytes WaitReceived(std::size_t count, int timeoutMs)
    {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_received.size() >= count; });
        return m_received;
    }

    bool WaitPeerClosed(int timeoutMs)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_peerClosed; });
    }

    void SendToGateway(const Bytes& bytes)
    {
        std::lock_guard lock(m_lock);
        m_outgoing.insert(m_outgoing.end(), bytes.begin(), bytes.end());
    }

    void CloseLink()
    {
        std::unique_lock lock(m_lock);
        m_closeRequested = true;
        m_changed.wait_for(lock, std::chrono::seconds(2), [&] { return !m_linkOpen; });
    }

private:
    void SendAll(SOCKET s, const Bytes& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            int n = send(s, reinterpret_cast<const char*>(bytes.data() + done), static_cast<int>(bytes.size() - done), 0);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }

    void Serve()
    {
        Socket link;
        while (!m_stop && !link.Valid()) {
            if (Readable(m_listen.Get(), 20))
                link.Reset(accept(m_listen.Get(), nullptr, nullptr));
        }
        if (!link.Valid())
            return;
        {
            std::lock_guard lock(m_lock);
            m_linkOpen = true;
        }
        SendAll(link.Get(), m_options.greeting);
        if (m_options.closeAfterGreeting)
            link.Close();

        while (!m_stop && link.Valid()) {
            Bytes outgoing;
            bool close = false;
            {
                std::lock_guard lock(m_lock);
                outgoing.swap(m_outgoing);
                close = m_closeRequested;
            }
            SendAll(link.Get(), outgoing);
            if (close) {
                link.Close();
                break;
            }
            if (!Readable(link.Get(), 20))
                continue;
            char buffer[4096];
            int n = recv(link.Get(), buffer, sizeof buffer, 0);
            std::lock_guard lock(m_lock);
            if (n > 0) {
                m_received.insert(m_received.end(), buffer, buffer + n);
            } else {
                m_peerClosed = true;
                link.Close();
            }
            m_changed.notify_all();
        }
        std::lock_guard lock(m_lock);
        m_linkOpen = false;
        m_changed.notify_all();
    }

    WinsockSession m_winsock;
    Options m_options;
    Socket m_listen;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::condition_variable m_changed;
    Bytes m_received;
    Bytes m_outgoing;
    bool m_peerClosed = false;
    bool m_closeRequested = false;
    bool m_linkOpen = false;
    std::thread m_thread;
};

class VanSocket : public ::testing::Test {
protected:
    void SetUp() override { RelayStopSignal().Reset(); }
    void TearDown() override { RelayStopSignal().Reset(); }

    // A link that is up, with the server's greeting already read.
    void ConnectAndReadGreeting(TestServer& server, CSocketCommCls& link)
    {
        ASSERT_GT(link.Connect("127.0.0.1", server.Port()), 0);
        std::uint8_t buffer[kVanBufferSize];
        ASSERT_EQ(link.Receive(buffer), 2);
    }
};

TEST_F(VanSocket, AServerThatGreetsWithinTwoSecondsIsUp)
{
    TestServer server({ToBytes("HI"), false});
    ASSERT_TRUE(server.Listening());
    CSocketCommCls link;
    const auto start = Clock::now();
    EXPECT_GT(link.Connect("127.0.0.1", server.Port()), 0);
    EXPECT_LT(MillisecondsSince(start), 1500);
    EXPECT_TRUE(link.HasSocket());

    // The greeting stays in the socket for the VAN pump.
    std::uint8_t buffer[kVanBufferSize];
    ASSERT_EQ(link.Receive(buffer), 2);
    EXPECT_EQ(Hex(Bytes(buffer, buffer + 2)), Hex(ToBytes("HI")));
}

TEST_F(VanSocket, ASilentServerIsNotReadyAfterTwoSeconds)
{
    TestServer server({});
    CSocketCommCls link;
    const auto start = Clock::now();
    EXPECT_EQ(link.Connect("127.0.0.1", server.Port()), kSocketNotReady);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 1800);
    EXPECT_LE(elapsed, 3500);
    EXPECT_FALSE(link.HasSocket());
}

TEST_F(VanSocket, ARefusedConnectionIsNotCountedAsUp)
{
    WinsockSession winsock;
    int port = 0;
    {
        Socket bound(BindLoopback(&port, false));
        ASSERT_TRUE(bound.Valid());
    }  // nothing listens on the port any more
    CSocketCommCls link;
    EXPECT_EQ(link.Connect("127.0.0.1", port), kSocketNotReady);
    EXPECT_FALSE(link.HasSocket());
}

TEST_F(VanSocket, AHostNameIsNotLookedUp)
{
    TestServer server({ToBytes("HI"), false});
    CSocketCommCls link;
    EXPECT_EQ(link.Connect("localhost", server.Port()), kSocketNotReady);
    EXPECT_FALSE(link.HasSocket());
}

TEST_F(VanSocket, ALinkCanBeConnectedAgainAfterAFailure)
{
    TestServer silent({});
    TestServer greeting({ToBytes("OK"), false});
    CSocketCommCls link;
    EXPECT_EQ(link.Connect("127.0.0.1", silent.Port()), kSocketNotReady);
    EXPECT_GT(link.Connect("127.0.0.1", greeting.Port()), 0);
}

TEST_F(VanSocket, SentBytesReachTheServerExactly)
{
    TestServer server({ToBytes("HI"), false});
    CSocketCommCls link;
    ConnectAndReadGreeting(server, link);

    Bytes burst = {0x02, 0x00, 0x0D, 0x1B, 0xFF, 0x41, 0x03};
    EXPECT_EQ(link.Send(burst.data(), static_cast<int>(burst.size())), static_cast<int>(burst.size()));
    EXPECT_EQ(Hex(server.WaitReceived(burst.size(), 2000)), Hex(burst));
}

TEST_F(VanSocket, TheServersReplyIsReceived)
{
    TestServer server({ToBytes("HI"), false});
    CSocketCommCls link;
    ConnectAndReadGreeting(server, link);

    std::uint8_t buffer[kVanBufferSize];
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server.SendToGateway({0x06, 0x00, 0x31});
    });
    const int n = link.Receive(buffer);
    later.join();
    ASSERT_EQ(n, 3);
    EXPECT_EQ(Hex(Bytes(buffer, buffer + n)), "06 00 31");
}

TEST_F(VanSocket, ALongReplyArrivesInPiecesOfAtMost2049Bytes)
{
    TestServer server({ToBytes("HI"), false});
    CSocketCommCls link;
    ConnectAndReadGreeting(server, link);

    Bytes reply(5000);
    for (std::size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<std::uint8_t>(i);
    server.SendToGateway(reply);

    Bytes got;
    std::uint8_t buffer[kVanBufferSize];
    while (got.size() < reply.size()) {
        const int n = link.Receive(buffer);
        ASSERT_GT(n, 0);
        ASSERT_LE(n, kVanBufferSize);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, reply);
}

TEST_F(VanSocket, TheServerClosingEndsTheLink)
{
    TestServer server({ToBytes("HI"), true});
    CSocketCommCls link;
    ConnectAndReadGreeting(server, link);
    std::uint8_t buffer[kVanBufferSize];
    EXPECT_EQ(link.Receive(buffer), kSocketClosed);
}

TEST_F(VanSocket, TheServerClosingWakesAWaitingReceive)
{
    TestServer server({ToBytes("HI"), false});
    CSocketCommCls link;
    ConnectAndReadGreeting(server, link);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server.CloseLink();
    });
    std::uint8_t buffer[kVanBufferSize];
    const auto start = Clock::now();
    EXPECT_EQ(link.Receive(buffer), kSocketClosed);
    EXPECT_LT(MillisecondsSince(start), 1500);
    later.join();
}

TEST_F(VanSocket, WakeEndsAWaitingReceivePromptly)
{
    TestServer server({ToBytes("HI"), false});
    CSocketCommCls link;
    ConnectAndReadGreeting(server, link);

    std::atomic<int> result{0};
    std::atomic<long long> endedAt{0};
    const auto start = Clock::now();
    std::thread vanPump([&] {
        std::uint8_t buffer[kVanBufferSize];
        result = link.Receive(buffer);
        endedAt = MillisecondsSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    link.Wake();
    vanPump.join();

    EXPECT_EQ(result, kSocketWaitFailed);
    EXPECT_LT(endedAt, 300 + 200);
}

TEST_F(VanSocket, AWakeBeforeTheReceiveStillEndsIt)
{
    TestServer server({ToBytes("HI"), false});
    CSocketCommCls link;
    ConnectAndReadGreeting(server, link);
    server.SendToGateway(ToBytes("late"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    link.Wake();
    std::uint8_t buffer[kVanBufferSize];
    EXPECT_EQ(link.Receive(buffer), kSocketWaitFailed);
}

TEST_F(VanSocket, TheRelayStopSignalEndsAWaitingReceive)
{
    TestServer server({ToBytes("HI"), false});
    CSocketCommCls link;
    ConnectAndReadGreeting(server, link);

    std::atomic<int> result{0};
    std::thread vanPump([&] {
        std::uint8_t buffer[kVanBufferSize];
        result = link.Receive(buffer);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto raised = Clock::now();
    RelayStopSignal().Raise();
    vanPump.join();
    EXPECT_EQ(result, kSocketWaitFailed);
    EXPECT_LT(MillisecondsSince(raised), 200);
}

TEST_F(VanSocket, TheSocketIsClosedWhenTheLinkObjectGoes)
{
    TestServer server({ToBytes("HI"), false});
    {
        CSocketCommCls link;
        ConnectAndReadGreeting(server, link);
    }
    EXPECT_TRUE(server.WaitPeerClosed(2000));
}

TEST_F(VanSocket, WithoutASocketNothingIsSentOrReceived)
{
    CSocketCommCls link;
    EXPECT_FALSE(link.HasSocket());
    const std::uint8_t byte = 0x41;
    EXPECT_EQ(link.Send(&byte, 1), kSocketNoSocket);
    std::uint8_t buffer[kVanBufferSize];
    EXPECT_EQ(link.Receive(buffer), kSocketWaitFailed);
}

}  // namespace
}  // namespace brinvale::test
