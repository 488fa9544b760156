// The Windows serial channel on a real (pty-backed) COM port under Wine: the
// gateway opens COM5, the fake terminal sits on COM6. What the shared channel
// tests (serial_channel_test.cpp) do not cover, and what only Windows has.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "relay/serial_channel.h"
#include "relay/serial_device.h"
#include "relay/wake_signal.h"
#include "support/fake_terminal.h"

namespace brinvale::test {
namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_terminal = FakeTerminal::Create();
        ASSERT_NE(m_terminal, nullptr) << "the terminal's COM port cannot be opened";
    }

    std::unique_ptr<CSerialCommCls> MakeChannel(const std::string& port, const std::string& speed)
    {
        return std::make_unique<CSerialCommCls>(port, speed, "None", "8 Bit", "1 Bit", m_stop);
    }

    // A gateway channel at 9600 baud, open.
    std::unique_ptr<CSerialCommCls> OpenGateway(const std::string& speed = "9600")
    {
        auto channel = MakeChannel(m_terminal->GatewayPort(), speed);
        EXPECT_EQ(channel->Open(), 1);
        return channel;
    }

    WakeSignal m_stop;
    std::unique_ptr<FakeTerminal> m_terminal;
};

TEST(SerialPort, TheDevicePathCarriesTheDeviceNamespacePrefix)
{
    EXPECT_EQ(SerialDevicePath("COM3"), "\\\\.\\COM3");
    EXPECT_EQ(SerialDevicePath("COM10"), "\\\\.\\COM10");
}

TEST_F(SerialLine, ThePortCanBeOpenedAndClosedAgainAndAgain)
{
    for (int round = 0; round < 5; ++round) {
        auto channel = MakeChannel(m_terminal->GatewayPort(), "9600");
        ASSERT_EQ(channel->Open(), 1) << "round " << round;
        const std::uint8_t ack[5] = {0x06, 0x06, 0x06, 0x06, 0x06};
        EXPECT_EQ(channel->Write(ack, 5), 1);
        EXPECT_EQ(Hex(m_terminal->Receive(5, 1000)), "06 06 06 06 06") << "round " << round;
        channel->Close();
    }
}

TEST_F(SerialLine, DestroyingAnOpenChannelLetsThePortGo)
{
    {
        auto channel = OpenGateway();
    }
    auto again = MakeChannel(m_terminal->GatewayPort(), "9600");
    EXPECT_EQ(again->Open(), 1);
}

TEST_F(SerialLine, ALongReplyReachesTheTerminalWhole)
{
    auto channel = OpenGateway("115200");
    Bytes reply(2049);
    for (std::size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(channel->Write(reply.data(), static_cast<int>(reply.size())), 1);
    EXPECT_EQ(m_terminal->Receive(reply.size(), 3000), reply);
}

TEST_F(SerialLine, WritesFromTwoPumpsNeverInterleave)
{
    auto channel = OpenGateway("115200");
    constexpr int kRounds = 100;
    auto writer = [&](std::uint8_t c) {
        const std::uint8_t run[5] = {c, c, c, c, c};
        for (int i = 0; i < kRounds; ++i)
            channel->Write(run, 5);
    };
    std::thread catPump(writer, 0x06);
    std::thread vanPump(writer, 0x1B);
    const Bytes got = m_terminal->Receive(2 * kRounds * 5, 10000);
    catPump.join();
    vanPump.join();

    ASSERT_EQ(got.size(), 2u * kRounds * 5);
    for (std::size_t i = 0; i < got.size(); i += 5) {
        for (std::size_t j = 1; j < 5; ++j)
            ASSERT_EQ(got[i + j], got[i]) << "run at byte " << i << " was split by another write";
    }
}

// A driver that ignores the cancel of a read keeps the record and its buffer
// for good; the read, and so the stop of the relay, waits for it a second at
// most, and the port is still let go.
TEST_F(SerialLine, ADriverThatIgnoresACancelHoldsUpTheStopASecondAtMost)
{
    auto channel = OpenGateway();
    SetCancelIoCallForTests([](void*, void*) { return true; });
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        m_stop.Raise();
    });
    std::vector<std::uint8_t> burst(kMaxSerialRead);
    const auto start = Clock::now();
    EXPECT_EQ(channel->Read(kMaxSerialRead, burst.data()), kSerialReadFailed);
    const long long elapsed = MillisecondsSince(start);
    stopper.join();
    SetCancelIoCallForTests(nullptr);
    EXPECT_LT(elapsed, 200 + 1000 + 800) << "the read waited for the driver (its own time-out is 3.6 s)";

    channel->Close();
    m_stop.Reset();
    EXPECT_EQ(OpenGateway()->ReportedBaudRate(), 9600u) << "the port was not let go";
}

TEST_F(SerialLine, AReadAfterTheStopSignalFailsWithoutWaiting)
{
    auto channel = OpenGateway();
    m_stop.Raise();
    std::uint8_t byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(channel->Read(1, &byte), kSerialReadFailed);
    EXPECT_LT(MillisecondsSince(start), 100);
}

TEST_F(SerialLine, TheChannelReadsAgainOnceTheStopSignalIsReset)
{
    auto channel = OpenGateway();
    m_stop.Raise();
    std::uint8_t byte = 0;
    EXPECT_EQ(channel->Read(1, &byte), kSerialReadFailed);
    m_stop.Reset();
    m_terminal->Send({0x0D});
    EXPECT_EQ(channel->Read(1, &byte), 1);
    EXPECT_EQ(byte, 0x0D);
}

TEST_F(SerialLine, AClosedChannelNeitherReadsNorWrites)
{
    auto channel = OpenGateway();
    channel->Close();
    std::uint8_t byte = 0;
    EXPECT_EQ(channel->Read(1, &byte), kSerialReadFailed);
    EXPECT_EQ(channel->Write(&byte, 1), 0);
    EXPECT_EQ(channel->ReportedBaudRate(), 0u);
    channel->Close();  // a second close is harmless
}

// DTR on the test line is tracked by the harness's modem shim, which appends
// "<device> DTR <level>" to BRINVALE_MODEM_LOG on each change.
class ModemLog {
public:
    ModemLog()
    {
        if (const char* path = std::getenv("BRINVALE_MODEM_LOG"))
            m_path = ToWindowsPath(path);
        if (const char* tty = std::getenv("BRINVALE_GATEWAY_TTY"))
            m_device = tty;
        m_start = Size();
    }

    bool Available() const { return !m_path.empty() && !m_device.empty(); }

    // DTR levels the gateway's device went through since construction.
    std::string DtrChanges() const
    {
        std::ifstream in(m_path, std::ios::binary);
        in.seekg(m_start);
        std::string line;
        std::string levels;
        const std::string prefix = m_device + " DTR ";
        while (std::getline(in, line)) {
            if (line.rfind(prefix, 0) == 0)
                levels += line.substr(prefix.size());
        }
        return levels;
    }

private:
    // The log is named by its Unix path; Wine shows the Unix root as Z:.
    static std::string ToWindowsPath(const std::string& unixPath)
    {
        if (unixPath.empty() || unixPath[0] != '/')
            return unixPath;
        return "Z:" + unixPath;
    }

    std::streamoff Size() const
    {
        std::ifstream in(m_path, std::ios::binary | std::ios::ate);
        return in ? static_cast<std::streamoff>(in.tellg()) : 0;
    }

    std::string m_path;
    std::string m_device;
    std::streamoff m_start = 0;
};

TEST_F(SerialLine, OpeningRaisesDtrAndClosingDropsIt)
{
    ModemLog modem;
    if (!modem.Available())
        GTEST_SKIP() << "DTR is visible only through the Wine harness's modem shim";
    auto channel = OpenGateway();
    EXPECT_EQ(modem.DtrChanges(), "1");
    channel->Close();
    EXPECT_EQ(modem.DtrChanges(), "10");
}

}  // namespace
}  // namespace brinvale::test
