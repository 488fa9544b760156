// brinvale-relay as a technician runs it: a real pty, a loopback VAN, and
// SIGTERM to stop it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "support/relay_program.h"
#include "support/relay_rig.h"

namespace brinvale::test {
namespace {

using RelayProgram = RelayProgramProcess;

TEST(RelayProgram, PortThatCannotBeOpenedExitsWithOne)
{
    RelayProgram relay(FreshTestFolder("cli-fail"), {"--port", "/dev/brinvale-no-such-port"});
    EXPECT_TRUE(relay.WaitForLine("transfer: Serial Open FAIL (error)", 3000)) << relay.Output();
    EXPECT_EQ(relay.WaitForExit(3000), 1);
}

TEST(RelayProgram, RelaysAPaymentAndStopsCleanlyOnSigterm)
{
    const std::filesystem::path folder = FreshTestFolder("cli-payment");
    auto terminal = FakeTerminal::Create();
    ASSERT_TRUE(terminal);
    FakeVan van({ToBytes("HELLO"), false});
    RelayProgram relay(folder, {"--port", terminal->GatewayPort(), "--speed", "115200", "--log"});
    ASSERT_TRUE(relay.WaitForLine("link: CAT : 연결 | VAN : 비연결", 3000)) << relay.Output();

    terminal->Send(ConnectRequest("127.0.0.1", van.PortText()));
    EXPECT_EQ(Hex(terminal->Receive(5, 4000)), Hex(ToBytes("HELLO")));
    terminal->Send(ToBytes("PAY"));
    EXPECT_EQ(Hex(van.WaitReceived(3, 3000)), Hex(ToBytes("PAY")));
    EXPECT_TRUE(relay.WaitForLine("progress: PC->VAN", 2000));
    EXPECT_TRUE(relay.WaitForLine("link: CAT : 연결 | VAN : 연결", 2000));

    relay.Signal(SIGTERM);
    EXPECT_EQ(relay.WaitForExit(4000), 0) << relay.Output();
    EXPECT_TRUE(van.WaitPeerClosed(2000));
    EXPECT_TRUE(terminal->ReceiveFor(300).empty()) << "the line closed before the VAN link";
    EXPECT_TRUE(relay.WaitForLine("link: CAT : 비연결 | VAN : 비연결", 500)) << relay.Output();

    const std::vector<std::string> records = LogRecords(folder / "CATLOG");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front(), "           [0   ] [Serial Open OK (Port : " + terminal->GatewayPort().substr(0, 31) +
                                   ", Baudrate : 115200)]");
    EXPECT_EQ(records.back(), "           [0   ] [Socket Disconnect]");
    const auto logs = std::distance(std::filesystem::directory_iterator(folder / "CATLOG"),
                                    std::filesystem::directory_iterator());
    EXPECT_EQ(logs, 1);
    EXPECT_EQ(std::filesystem::directory_iterator(folder / "CATLOG")->path().filename().string().rfind(
                  "brinvale-relay_", 0),
              0u);
}

// Its status lines go to a reader that hangs: the payment still goes through
// and SIGTERM still ends it at once.
TEST(RelayProgram, StdoutThatNobodyReadsHoldsUpNeitherThePaymentNorTheStop)
{
    const std::filesystem::path folder = FreshTestFolder("cli-stalled");
    auto terminal = FakeTerminal::Create();
    ASSERT_TRUE(terminal);
    FakeVan van({ToBytes("HELLO"), false});
    RelayProgram relay(folder, {"--port", terminal->GatewayPort(), "--log"}, RelayProgram::Stdout::Stalled);
    // With stdout stuck, the log tells when the line is open.
    const auto opened = [&] { return std::filesystem::exists(folder / "CATLOG"); };
    for (int i = 0; i < 100 && !opened(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(opened());

    terminal->Send(ConnectRequest("127.0.0.1", van.PortText()));
    EXPECT_EQ(Hex(terminal->Receive(5, 4000)), Hex(ToBytes("HELLO")));
    terminal->Send(ToBytes("PAY"));
    EXPECT_EQ(Hex(van.WaitReceived(3, 3000)), Hex(ToBytes("PAY")));
    van.SendToGateway(ToBytes("PAID"));
    EXPECT_EQ(Hex(terminal->Receive(4, 3000)), Hex(ToBytes("PAID")));

    relay.Signal(SIGTERM);
    EXPECT_EQ(relay.WaitForExit(3000), 0);
    EXPECT_TRUE(van.WaitPeerClosed(2000));
}

}  // namespace
}  // namespace brinvale::test
