// The Windows serial channel on a real (pty-backed) COM port under Wine: the
// gateway opens COM5, the fake terminal sits on COM6.
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

#include "relay/relay_state.h"
#include "relay/serial_channel.h"
#include "support/fake_terminal.h"

namespace brinvale::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBurstRead = 2049;  // the request read after a wake-up

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::unique_ptr<CSerialCommCls> MakeChannel(const std::string& port, const std::string& speed)
{
    return std::make_unique<CSerialCommCls>(port, speed, "None", "8 Bit", "1 Bit");
}

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        RelayStopSignal().Reset();
        m_terminal = FakeTerminal::Create();
        ASSERT_NE(m_terminal, nullptr) << "the terminal's COM port cannot be opened";
    }

    void TearDown() override { RelayStopSignal().Reset(); }

    // A gateway channel at 9600 baud, open.
    std::unique_ptr<CSerialCommCls> OpenGateway(const std::string& speed = "9600")
    {
        auto channel = MakeChannel(m_terminal->GatewayPort(), speed);
        EXPECT_EQ(channel->Open(), 1);
        return channel;
    }

    std::unique_ptr<FakeTerminal> m_terminal;
};

TEST(SerialPort, AMissingPortCannotBeOpened)
{
    auto channel = MakeChannel("COM9", "9600");
    EXPECT_EQ(channel->Open(), kSerialOpenFailed);
    EXPECT_FALSE(channel->IsOpen());
    EXPECT_EQ(channel->ReportedBaudRate(), 0u);
}

TEST(SerialPort, TheDevicePathCarriesTheDeviceNamespacePrefix)
{
    EXPECT_EQ(MakeChannel("COM3", "9600")->DevicePath(), "\\\\.\\COM3");
    EXPECT_EQ(MakeChannel("COM10", "9600")->DevicePath(), "\\\\.\\COM10");
}

TEST_F(SerialLine, APortHeldByAnotherChannelIsRefusedUntilItIsClosed)
{
    auto first = OpenGateway();
    auto second = MakeChannel(m_terminal->GatewayPort(), "9600");
    EXPECT_EQ(second->Open(), kSerialOpenFailed);
    EXPECT_FALSE(second->IsOpen());

    first->Close();
    EXPECT_FALSE(first->IsOpen());
    EXPECT_EQ(second->Open(), 1);
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

TEST_F(SerialLine, SpeedText28800Selects38400Baud)
{
    auto channel = OpenGateway("28800");
    EXPECT_EQ(channel->ReportedBaudRate(), 38400u);
}

TEST_F(SerialLine, SpeedText9600Selects9600Baud)
{
    auto channel = OpenGateway("9600");
    EXPECT_EQ(channel->ReportedBaudRate(), 9600u);
}

TEST_F(SerialLine, AnUnknownSpeedTextKeepsTheRateThePortHad)
{
    OpenGateway("57600")->Close();
    auto channel = OpenGateway("7200");
    EXPECT_EQ(channel->ReportedBaudRate(), 57600u);
}

TEST_F(SerialLine, AOneByteReadOnASilentLineGivesNothingAfterHalfASecond)
{
    auto channel = OpenGateway();
    std::uint8_t byte = 0xAA;
    const auto start = Clock::now();
    EXPECT_EQ(channel->Read(1, &byte), 0);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 350);
    EXPECT_LE(elapsed, 1500);
}

TEST_F(SerialLine, AFullBurstReadOnASilentLineWaitsTwoAndAHalfSeconds)
{
    auto channel = OpenGateway();
    std::vector<std::uint8_t> burst(kBurstRead);
    const auto start = Clock::now();
    EXPECT_EQ(channel->Read(kBurstRead, burst.data()), 0);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 2200);
    EXPECT_LE(elapsed, 3800);
}

TEST_F(SerialLine, ABurstEndsAboutATenthOfASecondAfterItsLastByte)
{
    auto channel = OpenGateway();
    // Every byte value the relay must pass untouched: CR, NUL, XON/XOFF,
    // ESC, the request framing and the high half.
    const Bytes burst = {0x01, 0x0D, 0x00, 0x11, 0x13, 0x1B, 0x1C, 0x17, 0x0A, 0x7F, 0x80, 0xFF};
    std::uint8_t first = 0;
    std::vector<std::uint8_t> rest(2048);

    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_terminal->Send(burst);
    });
    ASSERT_EQ(channel->Read(1, &first), 1);
    const auto afterFirst = Clock::now();
    const int n = channel->Read(2048, rest.data());
    const long long elapsed = MillisecondsSince(afterFirst);
    sender.join();

    ASSERT_EQ(n, static_cast<int>(burst.size()) - 1);
    Bytes got(rest.begin(), rest.begin() + n);
    got.insert(got.begin(), first);
    EXPECT_EQ(Hex(got), Hex(burst));
    EXPECT_GE(elapsed, 60);
    EXPECT_LE(elapsed, 600) << "the continuation read must end on the 100 ms gap, not its total time-out";
}

TEST_F(SerialLine, AReadReturnsAsSoonAsTheAskedCountIsIn)
{
    auto channel = OpenGateway();
    m_terminal->Send(ToBytes("0123456789"));
    std::uint8_t four[4] = {};
    ASSERT_EQ(channel->Read(4, four), 4);
    EXPECT_EQ(Hex(Bytes(four, four + 4)), Hex(ToBytes("0123")));
    std::uint8_t rest[16] = {};
    ASSERT_EQ(channel->Read(16, rest), 6);
    EXPECT_EQ(Hex(Bytes(rest, rest + 6)), Hex(ToBytes("456789")));
}

TEST_F(SerialLine, AControlReplyReachesTheTerminalExactlyOnce)
{
    auto channel = OpenGateway();
    const std::uint8_t esc[5] = {0x1B, 0x1B, 0x1B, 0x1B, 0x1B};
    EXPECT_EQ(channel->Write(esc, 5), 1);
    EXPECT_EQ(Hex(m_terminal->Receive(5, 1000)), "1B 1B 1B 1B 1B");
    EXPECT_TRUE(m_terminal->ReceiveFor(300).empty());
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

TEST_F(SerialLine, TheStopSignalEndsAWaitingReadAtOnce)
{
    auto channel = OpenGateway();
    std::atomic<int> result{1};
    std::atomic<long long> endedAt{0};
    const auto start = Clock::now();
    std::thread pump([&] {
        std::vector<std::uint8_t> burst(kBurstRead);
        result = channel->Read(kBurstRead, burst.data());
        endedAt = MillisecondsSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RelayStopSignal().Raise();
    pump.join();

    EXPECT_EQ(result, kSerialReadFailed);
    EXPECT_LT(endedAt, 300 + 250) << "the read waited for its own time-out";
}

TEST_F(SerialLine, AReadAfterTheStopSignalFailsWithoutWaiting)
{
    auto channel = OpenGateway();
    RelayStopSignal().Raise();
    std::uint8_t byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(channel->Read(1, &byte), kSerialReadFailed);
    EXPECT_LT(MillisecondsSince(start), 100);
}

TEST_F(SerialLine, TheChannelReadsAgainOnceTheStopSignalIsReset)
{
    auto channel = OpenGateway();
    RelayStopSignal().Raise();
    std::uint8_t byte = 0;
    EXPECT_EQ(channel->Read(1, &byte), kSerialReadFailed);
    RelayStopSignal().Reset();
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
