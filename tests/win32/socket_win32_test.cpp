// The Windows VAN socket channel against a loopback VAN: what the shared
// link tests (van_link_test.cpp) do not cover, and where Winsock behaves in
// its own way.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "relay/van_link.h"
#include "relay/wake_signal.h"
#include "support/fake_van.h"

namespace brinvale::test {
namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class VanSocket : public ::testing::Test {
protected:
    // A link that is up, with the server's greeting already read.
    void ConnectAndReadGreeting(FakeVan& van, CSocketCommCls& link)
    {
        ASSERT_GT(link.Connect("127.0.0.1", van.Port()), 0);
        std::uint8_t buffer[kVanBufferSize];
        ASSERT_EQ(link.Receive(buffer), 2);
    }

    WakeSignal m_stop;
};

TEST_F(VanSocket, ALinkCanBeConnectedAgainAfterAFailure)
{
    FakeVan silent({});
    FakeVan greeting({ToBytes("OK")});
    CSocketCommCls link(m_stop);
    EXPECT_EQ(link.Connect("127.0.0.1", silent.Port()), kSocketNotReady);
    EXPECT_GT(link.Connect("127.0.0.1", greeting.Port()), 0);
}

TEST_F(VanSocket, ALongReplyArrivesInPiecesOfAtMost2049Bytes)
{
    FakeVan van({ToBytes("HI")});
    CSocketCommCls link(m_stop);
    ConnectAndReadGreeting(van, link);

    Bytes reply(5000);
    for (std::size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<std::uint8_t>(i);
    van.SendToGateway(reply);

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

TEST_F(VanSocket, TheServerClosingWakesAWaitingReceive)
{
    FakeVan van({ToBytes("HI")});
    CSocketCommCls link(m_stop);
    ConnectAndReadGreeting(van, link);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        van.CloseLink();
    });
    std::uint8_t buffer[kVanBufferSize];
    const auto start = Clock::now();
    EXPECT_EQ(link.Receive(buffer), kSocketClosed);
    EXPECT_LT(MillisecondsSince(start), 1500);
    later.join();
}

TEST_F(VanSocket, AWakeBeforeTheReceiveStillEndsIt)
{
    FakeVan van({ToBytes("HI")});
    CSocketCommCls link(m_stop);
    ConnectAndReadGreeting(van, link);
    van.SendToGateway(ToBytes("late"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    link.Wake();
    std::uint8_t buffer[kVanBufferSize];
    EXPECT_EQ(link.Receive(buffer), kSocketWaitFailed);
}

TEST_F(VanSocket, TheStopSignalEndsAWaitingReceive)
{
    FakeVan van({ToBytes("HI")});
    CSocketCommCls link(m_stop);
    ConnectAndReadGreeting(van, link);

    std::atomic<int> result{0};
    std::thread vanPump([&] {
        std::uint8_t buffer[kVanBufferSize];
        result = link.Receive(buffer);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto raised = Clock::now();
    m_stop.Raise();
    vanPump.join();
    EXPECT_EQ(result, kSocketWaitFailed);
    EXPECT_LT(MillisecondsSince(raised), 200);
}

TEST_F(VanSocket, TheSocketIsClosedWhenTheLinkObjectGoes)
{
    FakeVan van({ToBytes("HI")});
    {
        CSocketCommCls link(m_stop);
        ConnectAndReadGreeting(van, link);
    }
    EXPECT_TRUE(van.WaitPeerClosed(2000));
}

TEST_F(VanSocket, WithoutASocketNothingIsSentOrReceived)
{
    CSocketCommCls link(m_stop);
    EXPECT_FALSE(link.HasSocket());
    const std::uint8_t byte = 0x41;
    EXPECT_EQ(link.Send(&byte, 1), kSocketNoSocket);
    std::uint8_t buffer[kVanBufferSize];
    EXPECT_EQ(link.Receive(buffer), kSocketWaitFailed);
}

}  // namespace
}  // namespace brinvale::test
