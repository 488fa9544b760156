// The serial line against a real port: result codes, line speed, the read
// time-outs that cut bursts, and the five-byte control reply.
#include <gtest/gtest.h>

#include <chrono>

#include "support/relay_rig.h"

namespace brinvale::test {
namespace {

using Clock = std::chrono::steady_clock;

struct TimedRead {
    int result;
    long long ms;
    Bytes bytes;
};

TimedRead ReadTimed(CSerialCommCls& serial, int count)
{
    Bytes buffer(static_cast<std::size_t>(count));
    const auto start = Clock::now();
    const int result = serial.Read(count, buffer.data());
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    buffer.resize(result > 0 ? static_cast<std::size_t>(result) : 0);
    return {result, ms, buffer};
}

#ifdef _WIN32
const char* const kMissingPort = "COM9";
#else
const char* const kMissingPort = "/dev/brinvale-no-such-port";
#endif

class SerialChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        RelayStopSignal().Reset();
        m_terminal = FakeTerminal::Create();
        ASSERT_TRUE(m_terminal);
    }
    std::unique_ptr<FakeTerminal> m_terminal;
};

TEST_F(SerialChannel, MissingOrBusyPortGivesMinusOne)
{
    CSerialCommCls missing(kMissingPort, "9600", "None", "8 Bit", "1 Bit");
    EXPECT_EQ(missing.Open(), kSerialOpenFailed);

    CSerialCommCls first(m_terminal->GatewayPort(), "9600", "None", "8 Bit", "1 Bit");
    ASSERT_EQ(first.Open(), 1);
    CSerialCommCls second(m_terminal->GatewayPort(), "9600", "None", "8 Bit", "1 Bit");
    EXPECT_EQ(second.Open(), kSerialOpenFailed);
    first.Close();
    EXPECT_EQ(second.Open(), 1) << "a closed port is free again";
}

TEST_F(SerialChannel, SpeedTextsSelectTheirRates)
{
    EXPECT_EQ(BaudRateForSpeedText("28800"), 38400u);
    EXPECT_EQ(BaudRateForSpeedText("33600"), 38400u);
    EXPECT_EQ(BaudRateForSpeedText("PCI_9600"), 1075u);
    EXPECT_EQ(BaudRateForSpeedText("PCI_500K"), 56000u);
    EXPECT_FALSE(BaudRateForSpeedText("7200"));
    EXPECT_FALSE(BaudRateForSpeedText("9600 "));

    for (auto [text, rate] : {std::pair{"9600", 9600u}, {"28800", 38400u}, {"115200", 115200u}}) {
        CSerialCommCls serial(m_terminal->GatewayPort(), text, "None", "8 Bit", "1 Bit");
        ASSERT_EQ(serial.Open(), 1);
        EXPECT_EQ(serial.ReportedBaudRate(), rate) << text;
        serial.Close();
    }
    {
        CSerialCommCls serial(m_terminal->GatewayPort(), "57600", "None", "8 Bit", "1 Bit");
        ASSERT_EQ(serial.Open(), 1);
        serial.Close();
    }
    CSerialCommCls unknown(m_terminal->GatewayPort(), "7200", "None", "8 Bit", "1 Bit");
    ASSERT_EQ(unknown.Open(), 1);
    EXPECT_EQ(unknown.ReportedBaudRate(), 57600u) << "an unknown speed keeps the rate the port had";
}

TEST_F(SerialChannel, ReadTimeOutsCutTheInputIntoBursts)
{
    CSerialCommCls serial(m_terminal->GatewayPort(), "9600", "None", "8 Bit", "1 Bit");
    ASSERT_EQ(serial.Open(), 1);

    TimedRead silent = ReadTimed(serial, 1);
    EXPECT_EQ(silent.result, 0);
    EXPECT_GE(silent.ms, 450);
    EXPECT_LE(silent.ms, 1200);

    // A burst ends 100 ms after its last byte, long before the total time-out.
    m_terminal->Send(ToBytes("ABCDEFGH"));
    TimedRead first = ReadTimed(serial, 1);
    EXPECT_EQ(first.result, 1);
    TimedRead rest = ReadTimed(serial, kContinuationSize);
    EXPECT_EQ(Hex(rest.bytes), Hex(ToBytes("BCDEFGH")));
    EXPECT_GE(rest.ms, 80);
    EXPECT_LE(rest.ms, 700);

    TimedRead longSilence = ReadTimed(serial, kBurstSize);
    EXPECT_EQ(longSilence.result, 0);
    EXPECT_GE(longSilence.ms, 2400);
    EXPECT_LE(longSilence.ms, 3500);
}

TEST_F(SerialChannel, ReadStopsAtTheRequestedCount)
{
    CSerialCommCls serial(m_terminal->GatewayPort(), "9600", "None", "8 Bit", "1 Bit");
    ASSERT_EQ(serial.Open(), 1);
    m_terminal->Send(ToBytes("0123456789"));
    EXPECT_EQ(Hex(ReadTimed(serial, 4).bytes), Hex(ToBytes("0123")));
    EXPECT_EQ(Hex(ReadTimed(serial, 100).bytes), Hex(ToBytes("456789")));
}

TEST_F(SerialChannel, StopSignalEndsAPendingReadAtOnce)
{
    CSerialCommCls serial(m_terminal->GatewayPort(), "9600", "None", "8 Bit", "1 Bit");
    ASSERT_EQ(serial.Open(), 1);
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        RelayStopSignal().Raise();
    });
    TimedRead read = ReadTimed(serial, kBurstSize);
    stopper.join();
    RelayStopSignal().Reset();
    EXPECT_EQ(read.result, kSerialReadFailed);
    EXPECT_LT(read.ms, 1000);
}

TEST_F(SerialChannel, ControlReplyIsFiveBytesInOneWriteAndLogged)
{
    const std::filesystem::path folder = FreshTestFolder("control-reply");
    SetTrafficLogLocation(folder, "P");
    g_bLogEnabled = true;
    ASSERT_TRUE(OpenSerialChannel(m_terminal->GatewayPort(), "9600"));
    SendControlToCat(0x06);
    EXPECT_EQ(Hex(m_terminal->Receive(10, 1000)), Hex(kFiveAck));
    CloseSerialChannel();
    SendControlToCat(0x06);  // no channel: nothing written, nothing logged
    CloseSerialChannel();    // still logs its line
    g_bLogEnabled = false;

    const std::vector<std::string> records = LogRecords(folder);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1], "[PC ->CAT] [5   ] [0606060606]");
    EXPECT_EQ(records[2], "           [0   ] [Serial CLOSE]");
    EXPECT_EQ(records[3], "           [0   ] [Serial CLOSE]");
}

TEST_F(SerialChannel, FailedOpenIsReportedAndLogged)
{
    const std::filesystem::path folder = FreshTestFolder("open-fail");
    SetTrafficLogLocation(folder, "P");
    g_bLogEnabled = true;
    RecordingSink sink;
    RegisterStatusSink(&sink);
    EXPECT_FALSE(OpenSerialChannel(kMissingPort, "28800"));
    EXPECT_FALSE(g_bSerialOpen);
    EXPECT_TRUE(sink.Saw("transfer: Serial Open FAIL (error)"));
    CloseSerialChannel();
    UnregisterStatusSink(&sink);
    g_bLogEnabled = false;
    const std::vector<std::string> records = LogRecords(folder);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0], std::string("           [0   ] [Serial Open FAIL (Port : ") + kMissingPort +
                              ", Baudrate : 28800) [ErrorCode : -1]]");
}

TEST_F(SerialChannel, ReopeningReleasesThePreviousChannel)
{
    ASSERT_TRUE(OpenSerialChannel(m_terminal->GatewayPort(), "9600"));
    // Opened again without a close: the old handle must not keep the port busy.
    EXPECT_TRUE(OpenSerialChannel(m_terminal->GatewayPort(), "9600"));
    CloseSerialChannel();
}

}  // namespace
}  // namespace brinvale::test
