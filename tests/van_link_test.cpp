// The VAN link against loopback servers: readiness within two seconds,
// refusal, data both ways, the server closing, and waking a waiting receive.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/relay_rig.h"

namespace brinvale::test {
namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class VanLink : public ::testing::Test {
protected:
    WakeSignal m_stop;
};

TEST_F(VanLink, GreetingServerIsUpAtOnce)
{
    FakeVan van({ToBytes("HELLO"), false});
    CSocketCommCls link(m_stop);
    const auto start = Clock::now();
    EXPECT_GT(link.Connect("127.0.0.1", van.Port()), 0);
    EXPECT_LT(MillisecondsSince(start), 1000);
    EXPECT_TRUE(link.HasSocket());

    // The greeting stays in the socket for the VAN pump.
    std::uint8_t buffer[kVanBufferSize];
    ASSERT_EQ(link.Receive(buffer), 5);
    EXPECT_EQ(Hex(Bytes(buffer, buffer + 5)), Hex(ToBytes("HELLO")));
}

TEST_F(VanLink, SilentServerIsNotReadyAfterTwoSeconds)
{
    FakeVan van({{}, false});
    CSocketCommCls link(m_stop);
    const auto start = Clock::now();
    EXPECT_EQ(link.Connect("127.0.0.1", van.Port()), kSocketNotReady);
    const long long ms = MillisecondsSince(start);
    EXPECT_GE(ms, 1900);
    EXPECT_LE(ms, 3500);
    EXPECT_FALSE(link.HasSocket());
}

TEST_F(VanLink, RefusedConnectionIsNeverALink)
{
    int port = 0;
    {
        FakeVan closed({{}, false});
        port = closed.Port();
    }
    CSocketCommCls link(m_stop);
    EXPECT_EQ(link.Connect("127.0.0.1", port), kSocketNotReady);
    EXPECT_FALSE(link.HasSocket());
    EXPECT_EQ(link.Send(reinterpret_cast<const std::uint8_t*>("x"), 1), kSocketNoSocket);
}

TEST_F(VanLink, HostNameIsNotLookedUp)
{
    FakeVan van({ToBytes("HI"), false});
    CSocketCommCls link(m_stop);
    EXPECT_EQ(link.Connect("localhost", van.Port()), kSocketNotReady);
    EXPECT_FALSE(link.HasSocket());
}

TEST_F(VanLink, DataGoesBothWaysAndServerCloseEndsTheLink)
{
    FakeVan van({ToBytes("G"), false});
    CSocketCommCls link(m_stop);
    ASSERT_GT(link.Connect("127.0.0.1", van.Port()), 0);
    std::uint8_t buffer[kVanBufferSize];
    ASSERT_EQ(link.Receive(buffer), 1);

    const Bytes request{0x02, 0x00, 0x0D, 0x1B, 0xFF, 0x41, 0x03};
    EXPECT_EQ(link.Send(request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
    EXPECT_EQ(Hex(van.WaitReceived(request.size(), 2000)), Hex(request));

    // A reply that comes while the receive already waits.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        van.SendToGateway({0x06, 0x00, 0x31});
    });
    const int n = link.Receive(buffer);
    later.join();
    ASSERT_EQ(n, 3);
    EXPECT_EQ(Hex(Bytes(buffer, buffer + n)), "06 00 31");

    van.CloseLink();
    EXPECT_EQ(link.Receive(buffer), kSocketClosed);
}

TEST_F(VanLink, WakeEndsAWaitingReceive)
{
    FakeVan van({ToBytes("G"), false});
    CSocketCommCls link(m_stop);
    ASSERT_GT(link.Connect("127.0.0.1", van.Port()), 0);
    std::uint8_t buffer[kVanBufferSize];
    ASSERT_EQ(link.Receive(buffer), 1);

    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        link.Wake();
    });
    const auto start = Clock::now();
    EXPECT_EQ(link.Receive(buffer), kSocketWaitFailed);
    EXPECT_LT(MillisecondsSince(start), 200 + 200);
    waker.join();
}

TEST(VanLinkTeardown, DropWithoutLinkOnlyClearsTheFlags)
{
    RecordingSink sink;
    Relay relay;
    RelayTestAccess access(relay);
    relay.AddStatusSink(&sink);
    access.State().bVanConnected = true;
    access.State().bNotifyCatOnDrop = true;
    access.DropVanLink();
    EXPECT_FALSE(relay.State().bVanConnected);
    EXPECT_FALSE(relay.State().bNotifyCatOnDrop);
    EXPECT_TRUE(sink.Lines().empty());
    relay.RemoveStatusSink(&sink);
}

TEST(RelayStatus, OutputsReachEveryRegisteredSinkAndNoneAfterwards)
{
    RecordingSink main, status;
    Relay relay;
    RelayTestAccess access(relay);
    StatusOutputs outputs;
    outputs.ShowProgressText("nobody listens");  // no sink: nothing happens
    outputs.Register(&main);
    outputs.Register(&status);
    outputs.SetTransferState("Socket Error", kErrorColour);
    outputs.SetTransferState("", kOkColour);
    outputs.ShowLinkStatus(LinkStatusText(true, false));
    outputs.Unregister(&status);
    outputs.ShowProgressText("CAT->PC");
    outputs.Unregister(&main);

    const std::vector<std::string> both = {"transfer: Socket Error (error)", "transfer:  (ok)",
                                           "link: CAT : 연결 | VAN : 비연결"};
    EXPECT_EQ(status.Lines(), both);
    std::vector<std::string> mainOnly = both;
    mainOnly.push_back("progress: CAT->PC");
    EXPECT_EQ(main.Lines(), mainOnly);
    EXPECT_EQ(LinkStatusText(false, true), "CAT : 비연결 | VAN : 연결");
    EXPECT_EQ(LinkStatusText(false, false), "CAT : 비연결 | VAN : 비연결");
    EXPECT_EQ(LinkStatusText(true, true), "CAT : 연결 | VAN : 연결");

    // The relay shows its own sides: an open line without a link.
    relay.AddStatusSink(&main);
    access.State().bSerialOpen = true;
    access.RefreshLinkStatus();
    access.State().bSerialOpen = false;
    relay.RemoveStatusSink(&main);
    EXPECT_EQ(main.Lines().back(), "link: CAT : 연결 | VAN : 비연결");
}

TEST(RelayStatus, StepWithoutSerialChannelOnlyRefreshesTheLinkStatus)
{
    RecordingSink sink;
    Relay relay;
    relay.AddStatusSink(&sink);
    relay.CatPumpStep();
    relay.RemoveStatusSink(&sink);
    EXPECT_EQ(sink.Lines(), std::vector<std::string>{"link: CAT : 비연결 | VAN : 비연결"});
}

TEST(RelayDigits, DigitCheckAcceptsOnlyDecimalDigits)
{
    EXPECT_TRUE(IsAllDigits(""));
    EXPECT_TRUE(IsAllDigits("0123456789"));
    EXPECT_FALSE(IsAllDigits("50a0"));
    EXPECT_FALSE(IsAllDigits(" 5000"));
    EXPECT_FALSE(IsAllDigits("-1"));
}

}  // namespace
}  // namespace brinvale::test
