// brinvale-relay stopped by SIGTERM while the VAN misbehaves: a VAN that
// went silent in the middle of an exchange, and one that reset the link in
// the middle of its reply. Either way the program ends at once with 0.
#include <gtest/gtest.h>

#include <chrono>

#include "support/relay_program.h"
#include "support/relay_rig.h"

namespace brinvale::test {
namespace {

using Clock = std::chrono::steady_clock;

const Bytes kGreeting = ToBytes("\x02" "GREET" "\x03");
const Bytes kRequest{0x02, 'P', 'A', 'Y', 0x00, 0xFF, 0x1B, 0x0D, 0x03};

class RelayProgramFaultyVan : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = FreshTestFolder("cli-van-fault");
        m_terminal = FakeTerminal::Create();
        ASSERT_TRUE(m_terminal);
        m_relay = std::make_unique<RelayProgramProcess>(
            m_folder, std::vector<std::string>{"--port", m_terminal->GatewayPort(), "--log"});
        ASSERT_TRUE(m_relay->WaitForLine("link: CAT : 연결 | VAN : 비연결", 5000)) << m_relay->Output();
    }

    // A link whose VAN greeted, with the terminal's request delivered.
    void LinkWithRequestDelivered(FakeVan& van)
    {
        m_terminal->Send(ConnectRequest("127.0.0.1", van.PortText()));
        ASSERT_EQ(Hex(m_terminal->Receive(kGreeting.size(), 5000)), Hex(kGreeting));
        m_terminal->Send(kRequest);
        ASSERT_EQ(Hex(van.WaitReceived(kRequest.size(), 4000)), Hex(kRequest));
        ASSERT_TRUE(m_relay->WaitForLine("progress: PC->VAN", 3000)) << m_relay->Output();
    }

    // SIGTERM: exit code 0 within 3 s.
    void ExpectSigtermEndsItAtOnce()
    {
        const auto start = Clock::now();
        m_relay->Signal(SIGTERM);
        EXPECT_EQ(m_relay->WaitForExit(3000), 0) << m_relay->Output();
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 3000);
        EXPECT_TRUE(m_relay->WaitForLine("link: CAT : 비연결 | VAN : 비연결", 1000)) << m_relay->Output();
    }

    std::vector<std::string> Records() { return LogRecords(m_folder / "CATLOG"); }

    std::filesystem::path m_folder;
    std::unique_ptr<FakeTerminal> m_terminal;
    std::unique_ptr<RelayProgramProcess> m_relay;
};

TEST_F(RelayProgramFaultyVan, SigtermWhileTheVanIsSilentMidExchange)
{
    FakeVan van({.greeting = kGreeting});
    LinkWithRequestDelivered(van);
    EXPECT_TRUE(m_terminal->ReceiveFor(500).empty());

    ExpectSigtermEndsItAtOnce();
    EXPECT_TRUE(van.WaitPeerClosed(2000));
    EXPECT_TRUE(m_terminal->ReceiveFor(300).empty()) << "the line closed before the VAN link";
    const std::vector<std::string> records = Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back(), "           [0   ] [Socket Disconnect]");
}

TEST_F(RelayProgramFaultyVan, SigtermRightAfterAResetMidReply)
{
    FakeVan van({.greeting = kGreeting});
    LinkWithRequestDelivered(van);
    const Bytes part = ToBytes("\x02" "APPROVED 0042");
    van.SendToGateway(part);
    ASSERT_EQ(Hex(m_terminal->Receive(part.size(), 4000)), Hex(part));

    van.ResetLink();
    ExpectSigtermEndsItAtOnce();
    // The reset and the stop race: the terminal is told once, or its line is
    // closed before it could be.
    const std::string heard = Hex(m_terminal->ReceiveFor(300));
    EXPECT_TRUE(heard.empty() || heard == "1B 1B 1B 1B 1B") << heard;
    const std::vector<std::string> records = Records();
    EXPECT_EQ(std::count(records.begin(), records.end(), "           [0   ] [Socket Disconnect]"), 1);
}

}  // namespace
}  // namespace brinvale::test
