// The terminal's line pulled out and plugged back in under a running relay,
// as a cheap USB adapter does: the gateway must not spin, must say what
// happened, must let the VAN go, and must carry on by itself once the same
// port is back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/process_cpu.h"
#include "support/relay_rig.h"

namespace brinvale::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kLost = "transfer: Serial Port LOST (error)";
const std::string kNoLink = "link: CAT : 비연결 | VAN : 비연결";
const std::string kIdleLink = "link: CAT : 연결 | VAN : 비연결";

class SerialLoss : public RelayRig {
protected:
    SerialLoss() { m_pluggable = true; }

    int CountRecords(const std::string& prefix)
    {
        const std::vector<std::string> records = Records();
        return static_cast<int>(std::count_if(records.begin(), records.end(), [&](const std::string& record) {
            return record.find(prefix) != std::string::npos;
        }));
    }

    bool WaitForRecords(const std::string& prefix, int count, int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (CountRecords(prefix) < count) {
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    // A whole payment on the line that came back (what the terminal sent
    // while it was out has gone).
    void Pay()
    {
        m_terminal->Drain();
        ExpectAWholePayment();
    }
};

TEST_F(SerialLoss, IdleLinePulledOutIsShownRetriedQuietlyAndTakenBackWhenPluggedIn)
{
    ASSERT_TRUE(m_sink.WaitFor(kIdleLink, 2000));
    // Pulled while the gateway waits for the request after a wake-up.
    m_terminal->Send({0x0D});
    ASSERT_EQ(Hex(m_terminal->Receive(5, 4500)), Hex(kFiveAck));
    m_terminal->Unplug();
    ASSERT_TRUE(m_sink.WaitFor(kLost, 3000));
    EXPECT_TRUE(m_sink.WaitFor(kNoLink, 2000));

    // Retrying a port that is not there costs next to nothing.
    EXPECT_LT(CpuShareWhileIdle(1500), 0.2);

    // Several retries later the log still holds the loss once, and no open.
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    EXPECT_EQ(CountRecords("[Serial Port LOST (Port : " + m_terminal->GatewayPort() + ")]"), 1);
    EXPECT_EQ(CountRecords("[Serial Open OK"), 1);
    EXPECT_EQ(CountRecords("[-1"), 0) << "a read that failed is logged as a burst";

    // Plugged back just after an attempt failed (each attempt is followed by
    // the progress text): back by the next attempt, well within the 3 s a
    // terminal waits for an answer.
    ASSERT_TRUE(m_sink.WaitForSince(m_sink.Mark(), "progress: Serial Port LOST", 4000));
    ASSERT_TRUE(m_terminal->Plug());
    const auto plugged = Clock::now();
    ASSERT_TRUE(WaitForRecords("[Serial Open OK (Port : " + m_terminal->GatewayPort() + ", Baudrate : 9600)]", 2, 6000));
    EXPECT_LT(Clock::now() - plugged, std::chrono::milliseconds(1500));
    EXPECT_TRUE(m_sink.WaitFor("transfer:  (ok)", 2000));
    Pay();
}

TEST_F(SerialLoss, LinePulledOutDuringAPaymentLetsTheVanGoAndTheNextPaymentWorks)
{
    FakeVan van({ToBytes("\x02HELLO\x03"), false});
    OpenLink(van);
    m_terminal->Send(ToBytes("\x02HALF A REQ"));
    EXPECT_EQ(van.WaitReceived(11, 3000).size(), 11u);

    // The line comes out in the middle of the next burst: cut off, it is no
    // burst, and none of it may reach the VAN as if it were whole.
    m_terminal->Send(ToBytes("UEST, AND"));
    m_terminal->Unplug();
    EXPECT_TRUE(van.WaitPeerClosed(4000)) << "the VAN link outlived its terminal";
    EXPECT_EQ(Hex(van.Received()), Hex(ToBytes("\x02HALF A REQ")));
    ASSERT_TRUE(m_sink.WaitFor(kLost, 3000));
    EXPECT_TRUE(m_sink.WaitFor(kNoLink, 2000));

    // The VAN's late answer has nowhere to go and must not wedge anything.
    van.SendToGateway(ToBytes("\x02LATE\x03"));
    EXPECT_LT(CpuShareWhileIdle(1500), 0.2);

    const std::vector<std::string> records = Records();
    const auto drop = std::find(records.begin(), records.end(), "           [0   ] [Socket Disconnect]");
    const auto lost = std::find(records.begin(), records.end(),
                                "           [0   ] [Serial Port LOST (Port : " + m_terminal->GatewayPort() + ")]");
    ASSERT_NE(drop, records.end());
    ASSERT_NE(lost, records.end());
    EXPECT_LT(drop, lost);

    ASSERT_TRUE(m_terminal->Plug());
    ASSERT_TRUE(WaitForRecords("[Serial Open OK", 2, 6000));
    Pay();
}

TEST_F(SerialLoss, DisconnectWhileTheLineIsGoneEndsAtOnceAndNothingReopensIt)
{
    m_terminal->Unplug();
    ASSERT_TRUE(m_sink.WaitFor(kLost, 3000));

    const auto stopping = Clock::now();
    Disconnect();
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(3));

    // Plugged back after Disconnect: the gateway leaves it alone.
    ASSERT_TRUE(m_terminal->Plug());
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    EXPECT_EQ(CountRecords("[Serial Open OK"), 1);

    // Connect again by hand, and pay.
    ASSERT_TRUE(Connect());
    Pay();
}

}  // namespace
}  // namespace brinvale::test
