// The whole exchange as the card terminal and the VAN see it, through the
// real serial line, the pump threads and a loopback VAN.
#include <gtest/gtest.h>

#include <algorithm>
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

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

using CatProtocol = RelayRig;

TEST_F(CatProtocol, TypicalPaymentRunsFromWakeUpToEnd)
{
    FakeVan van({ToBytes("\x02HELLO\x03"), false});

    // A lone CR is answered with five ACK once the burst has waited out.
    const auto woken = Clock::now();
    m_terminal->Send({0x0D});
    EXPECT_EQ(Hex(m_terminal->Receive(5, 4000)), Hex(kFiveAck));
    const long long wakeMs = MillisecondsSince(woken);
    EXPECT_GE(wakeMs, 2000);
    EXPECT_LE(wakeMs, 3500);

    // The request opens the link; the VAN's greeting is the first thing back.
    m_terminal->Send(ConnectRequest("127.0.0.1", van.PortText()));
    EXPECT_EQ(Hex(m_terminal->Receive(7, 4000)), Hex(ToBytes("\x02HELLO\x03")));

    // Payment request and reply pass unchanged, NUL and 0xFF included.
    const Bytes request{0x02, 'P', 'A', 'Y', 0x00, 0xFF, 0x1B, 0x0D, 0x03};
    m_terminal->Send(request);
    EXPECT_EQ(Hex(van.WaitReceived(request.size(), 3000)), Hex(request));
    const Bytes reply{0x02, 'O', 'K', 0x00, 0x80, 0x03};
    van.SendToGateway(reply);
    EXPECT_EQ(Hex(m_terminal->Receive(reply.size(), 3000)), Hex(reply));

    // The terminal ends the link; it gets no answer.
    m_terminal->Send(kFiveEsc);
    EXPECT_TRUE(van.WaitPeerClosed(3000));
    EXPECT_TRUE(m_terminal->ReceiveFor(700).empty());
    EXPECT_TRUE(m_sink.WaitFor("link: CAT : 연결 | VAN : 비연결", 2000));

    // Every unit of the exchange stands in the log, in order.
    std::string requestHex = "01" "3132372E302E302E31" "1C";
    for (char digit : van.PortText())
        requestHex.append(1, '3').append(1, digit);
    requestHex += "17";
    const std::vector<std::string> expected = {
        "           [0   ] [Serial Open OK (Port : " + m_terminal->GatewayPort().substr(0, 31) + ", Baudrate : 9600)]",
        "[CAT->PC ] [1   ] [0D]",
        "[PC ->CAT] [5   ] [0606060606]",
        "[CAT->PC ] [" + std::to_string(requestHex.size() / 2) + "  ] [" + requestHex + "]",
        "           [0   ] [ConnectToVAN 127.0.0.1(" + van.PortText() + ")]",
        "           [0   ] [Socket Connected]",
        "[VAN->PC ] [7   ] [0248454C4C4F03]",
        "[PC ->CAT] [7   ] [0248454C4C4F03]",
        "[CAT->PC ] [9   ] [0250415900FF1B0D03]",
        "[PC ->VAN] [9   ] [0250415900FF1B0D03]",
        "[VAN->PC ] [6   ] [024F4B008003]",
        "[PC ->CAT] [6   ] [024F4B008003]",
        "[CAT->PC ] [5   ] [1B1B1B1B1B]",
        "           [0   ] [Socket Disconnect]",
    };
    EXPECT_EQ(Records(), expected);
}

TEST_F(CatProtocol, RequestSentTogetherWithTheWakeUpIsDiscarded)
{
    FakeVan van({ToBytes("HI"), false});
    Bytes burst{0x0D};
    const Bytes request = ConnectRequest("127.0.0.1", van.PortText());
    burst.insert(burst.end(), request.begin(), request.end());
    m_terminal->Send(burst);
    EXPECT_EQ(Hex(m_terminal->Receive(5, 4000)), Hex(kFiveAck));
    // The gateway now waits for a new burst; it never connects on its own.
    EXPECT_TRUE(m_terminal->ReceiveFor(3000).empty());
    EXPECT_EQ(van.Accepted(), 0);
}

TEST_F(CatProtocol, RequestAfterWakeUpOpensTheLink)
{
    FakeVan van({ToBytes("HI"), false});
    m_terminal->Send({0x0D});
    ASSERT_EQ(Hex(m_terminal->Receive(5, 4000)), Hex(kFiveAck));
    m_terminal->Send(ConnectRequest("127.0.0.1", van.PortText()));
    EXPECT_EQ(Hex(m_terminal->Receive(2, 4000)), Hex(ToBytes("HI")));
    EXPECT_EQ(van.Accepted(), 1);
}

TEST_F(CatProtocol, BadRequestsAreRefusedWithFiveEsc)
{
    struct Case {
        const char* what;
        Bytes burst;
    };
    const Case cases[] = {
        {"empty IP text", ConnectRequest("", "5000")},
        {"letter in the port", ConnectRequest("127.0.0.1", "50a0")},
        {"blank before the port", ConnectRequest("127.0.0.1", " 5000")},
        {"IP text of 32 bytes", ConnectRequest("127.000000000000000000000000.0.1", "5000")},
        {"port text of 32 digits", ConnectRequest("127.0.0.1", std::string(32, '5'))},
        {"NUL inside the port", ConnectRequest("127.0.0.1", std::string("50\0" "7", 4))},
    };
    for (const Case& c : cases) {
        m_terminal->Send(c.burst);
        EXPECT_EQ(Hex(m_terminal->Receive(5, 3000)), Hex(kFiveEsc)) << c.what;
        EXPECT_TRUE(m_terminal->ReceiveFor(300).empty()) << c.what;
    }
    EXPECT_TRUE(m_sink.Saw("progress: Cat IP 정보 오류"));
    EXPECT_TRUE(m_sink.Saw("transfer: Cat IP 정보 오류 (error)"));
    EXPECT_FALSE(m_sink.Saw("progress: Socket Error"));
}

TEST_F(CatProtocol, BurstsWithoutACompleteFrameAreIgnored)
{
    const Bytes noEtb{0x01, '1', '2', '7', 0x1C, '5', '0'};
    const Bytes fsBeforeSoh{0x1C, '1', 0x01, '5', 0x17};
    const Bytes plainData = ToBytes("hello");
    for (const Bytes& burst : {noEtb, fsBeforeSoh, plainData}) {
        m_terminal->Send(burst);
        EXPECT_TRUE(m_terminal->ReceiveFor(800).empty()) << Hex(burst);
    }
    EXPECT_FALSE(m_sink.Saw("transfer: Cat IP 정보 오류 (error)"));
}

TEST_F(CatProtocol, UnreachableServersGetFiveEscAndTheServerErrorText)
{
    // An empty port text passes the digit check and fails as port 0; a
    // refused port fails at once rather than counting as a link.
    const auto start = Clock::now();
    m_terminal->Send(ConnectRequest("127.0.0.1", ""));
    EXPECT_EQ(Hex(m_terminal->Receive(5, 4000)), Hex(kFiveEsc));
    EXPECT_LT(MillisecondsSince(start), 3500);
    EXPECT_TRUE(m_sink.WaitFor("transfer: 서버 접속 오류 (error)", 1000));
    EXPECT_TRUE(m_sink.Saw("progress: Socket Error"));
    EXPECT_FALSE(m_sink.Saw("link: CAT : 연결 | VAN : 연결"));
    EXPECT_TRUE(Contains(Records(), "           [0   ] [Socket Error (-27) (ConnectToVAN)]"));
}

TEST_F(CatProtocol, SilentServerIsNotALinkAfterTwoSeconds)
{
    FakeVan van({{}, false});
    const auto start = Clock::now();
    m_terminal->Send(ConnectRequest("127.0.0.1", van.PortText()));
    EXPECT_EQ(Hex(m_terminal->Receive(5, 5000)), Hex(kFiveEsc));
    const long long ms = MillisecondsSince(start);
    EXPECT_GE(ms, 1900);
    EXPECT_LE(ms, 4000);
    EXPECT_TRUE(m_sink.WaitFor("progress: 서버 접속 오류", 1000));
    EXPECT_TRUE(Contains(Records(), "           [0   ] [Socket Error (-27) (ConnectToVAN)]"));
}

TEST_F(CatProtocol, EndSequencesCountOnlyInTheFirstFivePositions)
{
    FakeVan van({ToBytes("G"), false});
    OpenLink(van);
    ASSERT_EQ(Hex(m_terminal->Receive(1, 3000)), "47");

    // Three ESC, a lone CR and control bytes past position 4 are data.
    const Bytes threeEsc{0x1B, 0x1B, 0x1B};
    const Bytes loneCr{0x0D};
    const Bytes lateEsc{'A', 'B', 'C', 'D', 'E', 0x1B, 0x1B, 0x1B, 0x1B, 0x1B};
    Bytes expected;
    for (const Bytes& burst : {threeEsc, loneCr, lateEsc}) {
        m_terminal->Send(burst);
        expected.insert(expected.end(), burst.begin(), burst.end());
        EXPECT_EQ(Hex(van.WaitReceived(expected.size(), 4000)), Hex(expected));
    }

    // Four ESC among five bytes end the link without an answer.
    m_terminal->Send({0x1B, 0x1B, 0x41, 0x1B, 0x1B});
    EXPECT_TRUE(van.WaitPeerClosed(3000));
    EXPECT_TRUE(m_terminal->ReceiveFor(800).empty());
    EXPECT_EQ(van.Received().size(), expected.size());
}

TEST_F(CatProtocol, FiveCrDropTheLinkAndAreAnsweredWithFiveEsc)
{
    FakeVan van({ToBytes("G"), false});
    OpenLink(van);
    ASSERT_EQ(Hex(m_terminal->Receive(1, 3000)), "47");
    m_terminal->Send({0x0D, 0x0D, 0x0D, 0x0D, 0x0D});
    EXPECT_EQ(Hex(m_terminal->Receive(5, 3000)), Hex(kFiveEsc));
    EXPECT_TRUE(van.WaitPeerClosed(3000));
    EXPECT_TRUE(van.Received().empty());
}

TEST_F(CatProtocol, ServerClosingTellsTheTerminalOnlyIfItUsedTheLink)
{
    {
        FakeVan van({ToBytes("G"), false});
        OpenLink(van);
        ASSERT_EQ(Hex(m_terminal->Receive(1, 3000)), "47");
        van.CloseLink();
        EXPECT_TRUE(m_sink.WaitFor("link: CAT : 연결 | VAN : 비연결", 3000));
        EXPECT_TRUE(m_terminal->ReceiveFor(800).empty());
    }
    {
        FakeVan van({ToBytes("G"), false});
        OpenLink(van);
        ASSERT_EQ(Hex(m_terminal->Receive(1, 3000)), "47");
        m_terminal->Send(ToBytes("REQ"));
        ASSERT_EQ(van.WaitReceived(3, 3000).size(), 3u);
        van.CloseLink();
        EXPECT_EQ(Hex(m_terminal->Receive(5, 3000)), Hex(kFiveEsc));
    }
}

TEST_F(CatProtocol, LongRepliesAndLongBurstsArriveWhole)
{
    FakeVan van({ToBytes("G"), false});
    OpenLink(van);
    ASSERT_EQ(Hex(m_terminal->Receive(1, 3000)), "47");

    Bytes reply(6000);
    for (std::size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<std::uint8_t>(i * 7);
    van.SendToGateway(reply);
    EXPECT_EQ(m_terminal->Receive(reply.size(), 5000), reply);

    // A burst longer than 2,049 bytes goes on in a second burst: cut, never lost.
    Bytes burst(3000);
    for (std::size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<std::uint8_t>(i * 13 + 1);
    m_terminal->Send(burst);
    EXPECT_EQ(van.WaitReceived(burst.size(), 8000), burst);
    bool sawFullBurst = false;
    for (const std::string& record : Records())
        sawFullBurst |= record.rfind("[PC ->VAN] [2049] [", 0) == 0 && record.size() == 19 + 4098 + 1;
    EXPECT_TRUE(sawFullBurst);
}

TEST_F(CatProtocol, ASecondLinkWorksAfterTheFirstEnded)
{
    for (int round = 0; round < 3; ++round) {
        FakeVan van({ToBytes("G"), true});
        OpenLink(van);
        ASSERT_EQ(Hex(m_terminal->Receive(1, 3000)), "47");
        m_terminal->Send(ToBytes("ping"));
        EXPECT_EQ(Hex(m_terminal->Receive(4, 3000)), Hex(ToBytes("ping")));
        m_terminal->Send(kFiveEsc);
        ASSERT_TRUE(van.WaitPeerClosed(3000));
        ASSERT_TRUE(m_sink.WaitFor("link: CAT : 연결 | VAN : 비연결", 3000));
    }
}

// Disconnect comes while the terminal is in the middle of a burst: the part
// read so far is no burst, and none of it reaches the VAN.
TEST_F(CatProtocol, DisconnectWhileLinkedSendsNothingToTheTerminalNorACutBurstToTheVan)
{
    FakeVan van({ToBytes("G"), false});
    OpenLink(van);
    ASSERT_EQ(Hex(m_terminal->Receive(1, 3000)), "47");
    m_terminal->Send(ToBytes("REQ"));
    ASSERT_EQ(van.WaitReceived(3, 3000).size(), 3u);
    ASSERT_TRUE(WaitForRecord("[PC ->VAN] [3   ] [524551]", 0, 3000));

    std::thread slowBurst([&] {
        for (int i = 0; i < 30; ++i) {
            m_terminal->Send(ToBytes("B"));
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    RelayTestAccess relay(m_relay);
    const auto start = Clock::now();
    relay.EndPumpThreads();
    EXPECT_LT(MillisecondsSince(start), 1500) << "a pump stayed in a wait";
    slowBurst.join();
    relay.CloseSerialChannel();
    relay.DropVanLink();
    EXPECT_TRUE(van.WaitPeerClosed(3000));
    EXPECT_EQ(Hex(van.Received()), Hex(ToBytes("REQ")));
    std::vector<std::string> toVan;
    for (const std::string& record : Records()) {
        if (record.rfind("[PC ->VAN]", 0) == 0)
            toVan.push_back(record);
    }
    EXPECT_EQ(toVan, std::vector<std::string>{"[PC ->VAN] [3   ] [524551]"});
    EXPECT_TRUE(m_terminal->ReceiveFor(500).empty());
    relay.RefreshLinkStatus();
    EXPECT_TRUE(m_sink.Saw("link: CAT : 비연결 | VAN : 비연결"));
}

}  // namespace
}  // namespace brinvale::test
