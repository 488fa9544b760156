// The serial line against a real port: result codes, line speed, the read
// time-outs that cut bursts, and the five-byte control reply.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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
        m_terminal = FakeTerminal::Create();
        ASSERT_TRUE(m_terminal);
    }

    // A channel on the gateway's end of the line (not opened yet).
    std::unique_ptr<CSerialCommCls> Channel(const std::string& speed = "9600")
    {
        return std::make_unique<CSerialCommCls>(m_terminal->GatewayPort(), speed, "None", "8 Bit", "1 Bit", m_stop);
    }

    WakeSignal m_stop;
    std::unique_ptr<FakeTerminal> m_terminal;
};

TEST_F(SerialChannel, MissingOrBusyPortGivesMinusOne)
{
    CSerialCommCls missing(kMissingPort, "9600", "None", "8 Bit", "1 Bit", m_stop);
    EXPECT_EQ(missing.Open(), kSerialOpenFailed);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(missing.ReportedBaudRate(), 0u);

    auto first = Channel();
    ASSERT_EQ(first->Open(), 1);
    auto second = Channel();
    EXPECT_EQ(second->Open(), kSerialOpenFailed);
    EXPECT_FALSE(second->IsOpen());
    first->Close();
    EXPECT_FALSE(first->IsOpen());
    EXPECT_EQ(second->Open(), 1) << "a closed port is free again";
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
        auto serial = Channel(text);
        ASSERT_EQ(serial->Open(), 1);
        EXPECT_EQ(serial->ReportedBaudRate(), rate) << text;
        serial->Close();
    }
    auto before = Channel("57600");
    ASSERT_EQ(before->Open(), 1);
    before->Close();
    auto unknown = Channel("7200");
    ASSERT_EQ(unknown->Open(), 1);
    EXPECT_EQ(unknown->ReportedBaudRate(), 57600u) << "an unknown speed keeps the rate the port had";
}

TEST_F(SerialChannel, ReadTimeOutsCutTheInputIntoBursts)
{
    auto channel = Channel();
    CSerialCommCls& serial = *channel;
    ASSERT_EQ(serial.Open(), 1);

    TimedRead silent = ReadTimed(serial, 1);
    EXPECT_EQ(silent.result, 0);
    EXPECT_GE(silent.ms, 450);
    EXPECT_LE(silent.ms, 1200);

    // A burst ends 100 ms after its last byte, long before the total time-out.
    // Every byte value the relay must pass untouched: CR, NUL, XON/XOFF, ESC,
    // the request framing and the high half.
    const Bytes burst = {0x01, 0x0D, 0x00, 0x11, 0x13, 0x1B, 0x1C, 0x17, 0x0A, 0x7F, 0x80, 0xFF};
    m_terminal->Send(burst);
    TimedRead first = ReadTimed(serial, 1);
    EXPECT_EQ(first.result, 1);
    TimedRead rest = ReadTimed(serial, kContinuationSize);
    EXPECT_EQ(Hex(rest.bytes), Hex(Bytes(burst.begin() + 1, burst.end())));
    EXPECT_GE(rest.ms, 80);
    EXPECT_LE(rest.ms, 600) << "the continuation read must end on the 100 ms gap, not its total time-out";

    TimedRead longSilence = ReadTimed(serial, kBurstSize);
    EXPECT_EQ(longSilence.result, 0);
    EXPECT_GE(longSilence.ms, 2400);
    EXPECT_LE(longSilence.ms, 3500);
}

TEST_F(SerialChannel, ReadStopsAtTheRequestedCount)
{
    auto serial = Channel();
    ASSERT_EQ(serial->Open(), 1);
    m_terminal->Send(ToBytes("0123456789"));
    EXPECT_EQ(Hex(ReadTimed(*serial, 4).bytes), Hex(ToBytes("0123")));
    EXPECT_EQ(Hex(ReadTimed(*serial, 100).bytes), Hex(ToBytes("456789")));
}

TEST_F(SerialChannel, StopSignalEndsAPendingReadAtOnce)
{
    auto serial = Channel();
    ASSERT_EQ(serial->Open(), 1);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        m_stop.Raise();
    });
    TimedRead read = ReadTimed(*serial, kBurstSize);
    stopper.join();
    EXPECT_EQ(read.result, kSerialReadFailed);
    EXPECT_LT(read.ms, 200 + 250) << "the read waited for its own time-out";
}

// A terminal that stops taking bytes: each write gives up within its line
// time and two seconds, so a writer never holds the line (and the other
// pump's replies, or the reopen of a lost line) for longer; once the terminal
// reads again, the next reply reaches it.
TEST_F(SerialChannel, WritesToATerminalThatStopsReadingGiveUpAndTheLineRecovers)
{
    auto serial = Channel("115200");
    ASSERT_EQ(serial->Open(), 1);
    // A write that never gives up is ended by the stop signal after a while,
    // so it fails the test rather than hanging it.
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock guard(lock);
        if (!changed.wait_for(guard, std::chrono::seconds(20), [&] { return done; }))
            m_stop.Raise();
    });
    const Bytes reply(kBurstSize, 0x5A);
    const auto writeTimed = [&](const Bytes& bytes) {
        const auto start = Clock::now();
        const int result = serial->Write(bytes.data(), static_cast<int>(bytes.size()));
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_LT(ms, 4000) << "a write held its caller";
        return result;
    };
    // Whatever the line's buffers hold is taken at once; the first write
    // that does not fit is the one that sticks.
    int writes = 0;
    while (writes < 400 && writeTimed(reply) == 1)
        ++writes;
    EXPECT_LT(writes, 400) << "the line never filled";

    while (!m_terminal->ReceiveFor(500).empty()) {
    }
    EXPECT_EQ(writeTimed(kFiveAck), 1);
    EXPECT_EQ(Hex(m_terminal->Receive(5, 3000)), Hex(kFiveAck));
    {
        std::lock_guard guard(lock);
        done = true;
    }
    changed.notify_all();
    watchdog.join();
}

TEST_F(SerialChannel, ControlReplyIsFiveBytesInOneWriteAndLogged)
{
    const std::filesystem::path folder = FreshTestFolder("control-reply");
    SetTrafficLogLocation(folder, "P");
    Relay relay;
    RelayTestAccess access(relay);
    relay.SetLogging(true);
    ASSERT_TRUE(access.OpenSerialChannel(m_terminal->GatewayPort(), "9600"));
    access.SendControlToCat(0x06);
    EXPECT_EQ(Hex(m_terminal->Receive(10, 1000)), Hex(kFiveAck));
    EXPECT_TRUE(m_terminal->ReceiveFor(300).empty());
    access.CloseSerialChannel();
    access.SendControlToCat(0x06);  // no channel: nothing written, nothing logged
    access.CloseSerialChannel();    // still logs its line
    relay.SetLogging(false);

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
    Relay relay;
    relay.SetLogging(true);
    RecordingSink sink;
    relay.AddStatusSink(&sink);
    EXPECT_FALSE(relay.Start(kMissingPort, "28800"));
    EXPECT_FALSE(relay.State().bSerialOpen);
    EXPECT_FALSE(relay.IsRunning());
    EXPECT_TRUE(sink.Saw("transfer: Serial Open FAIL (error)"));
    relay.Stop();
    relay.RemoveStatusSink(&sink);
    relay.SetLogging(false);
    const std::vector<std::string> records = LogRecords(folder);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0], std::string("           [0   ] [Serial Open FAIL (Port : ") + kMissingPort +
                              ", Baudrate : 28800) [ErrorCode : -1]]");
}

TEST_F(SerialChannel, ReopeningReleasesThePreviousChannel)
{
    Relay relay;
    RelayTestAccess access(relay);
    ASSERT_TRUE(access.OpenSerialChannel(m_terminal->GatewayPort(), "9600"));
    // Opened again without a close: the old handle must not keep the port busy.
    EXPECT_TRUE(access.OpenSerialChannel(m_terminal->GatewayPort(), "9600"));
    access.CloseSerialChannel();
}

}  // namespace
}  // namespace brinvale::test
