// A running relay for tests: a real serial line with a fake terminal on its
// far end, the two pump threads, a recording status sink and the traffic log
// in a folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "log/traffic_log.h"
#include "relay/cat_pump.h"
#include "relay/relay.h"
#include "relay/serial_channel.h"
#include "relay/van_link.h"
#include "support/relay_access.h"
#include "support/fake_terminal.h"
#include "support/fake_van.h"

namespace brinvale::test {

// Every status output, in order, as "link: ...", "progress: ..." and
// "transfer: TEXT (ok|error)".
class RecordingSink : public StatusSink {
public:
    void OnLinkStatus(std::string_view text) override { Add("link: " + std::string(text)); }
    void OnProgressText(std::string_view text) override { Add("progress: " + std::string(text)); }
    void OnTransferState(std::string_view text, Colour colour) override
    {
        Add("transfer: " + std::string(text) + (colour == kErrorColour ? " (error)" : " (ok)"));
    }

    bool WaitFor(const std::string& line, int timeoutMs)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Contains(line); });
    }
    bool Saw(const std::string& line)
    {
        std::lock_guard lock(m_lock);
        return Contains(line);
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard lock(m_lock);
        return m_lines;
    }

    // How many outputs came so far: a mark for the *Since calls, which look
    // only at what came after it (the link status repeats all the time).
    std::size_t Mark()
    {
        std::lock_guard lock(m_lock);
        return m_lines.size();
    }
    bool WaitForSince(std::size_t mark, const std::string& line, int timeoutMs)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return Contains(line, mark); });
    }
    std::vector<std::string> LinesSince(std::size_t mark)
    {
        std::lock_guard lock(m_lock);
        return {m_lines.begin() + static_cast<std::ptrdiff_t>(std::min(mark, m_lines.size())), m_lines.end()};
    }

private:
    void Add(std::string line)
    {
        std::lock_guard lock(m_lock);
        m_lines.push_back(std::move(line));
        m_changed.notify_all();
    }
    bool Contains(const std::string& line, std::size_t from = 0) const
    {
        for (std::size_t i = from; i < m_lines.size(); ++i) {
            if (m_lines[i] == line)
                return true;
        }
        return false;
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

// An empty folder of the running test's own. Tests run in parallel, and so
// may two builds' runs of the same test: the process id keeps them apart.
inline std::filesystem::path FreshTestFolder(const std::string& name)
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info ? std::string(info->test_suite_name()) + "." + info->name() : "none";
    std::replace(test.begin(), test.end(), '/', '_');  // parameterised tests
#ifdef _WIN32
    const long process = _getpid();
#else
    const long process = getpid();
#endif
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("brinvale-" + test + "-" + std::to_string(process) + "-" + name);
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    std::filesystem::create_directories(folder);
    return folder;
}

inline std::string ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The day's log lines with the time stamps cut off ("[CAT->PC ] [1   ] [0D]").
inline std::vector<std::string> LogRecords(const std::filesystem::path& folder)
{
    std::vector<std::string> records;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::istringstream lines(ReadWholeFile(entry.path()));
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            records.push_back(line.size() > 15 ? line.substr(15) : line);
        }
    }
    return records;
}

inline Bytes ConnectRequest(const std::string& ip, const std::string& port)
{
    const std::string text = "\x01" + ip + "\x1C" + port + "\x17";
    return Bytes(text.begin(), text.end());
}

inline const Bytes kFiveAck{6, 6, 6, 6, 6};
inline const Bytes kFiveEsc{0x1B, 0x1B, 0x1B, 0x1B, 0x1B};

inline std::string HexRecord(const Bytes& bytes)
{
    std::string hex = Hex(bytes);
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    return hex;
}

// A log record of relayed bytes as LogRecords gives it.
inline std::string Record(const char* tag, const Bytes& bytes)
{
    std::string count = std::to_string(bytes.size());
    count.resize(std::max<std::size_t>(count.size(), 4), ' ');
    return std::string("[") + tag + "] [" + count + "] [" + HexRecord(bytes) + "]";
}

inline std::string InfoRecord(const std::string& text)
{
    return "           [0   ] [" + text + "]";
}

// True when wanted appear in lines in this order (other lines between them).
inline bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted)
{
    auto at = lines.begin();
    for (const std::string& line : wanted) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end())
            return false;
        ++at;
    }
    return true;
}

inline std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

inline std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += "\n  " + line;
    return text;
}

// A payment's request and reply: every byte value a payment may carry, with
// nothing in the request's first five bytes the gateway would take for a
// control.
inline const Bytes kRequest{0x02, 'P', 'A', 'Y', 0x00, 0xFF, 0x1B, 0x0D, 0x80, '1', '2', '3', 0x03};

inline Bytes Reply(std::size_t size)
{
    Bytes reply(size);
    for (std::size_t i = 0; i < size; ++i)
        reply[i] = static_cast<std::uint8_t>(i * 37 + 2);
    return reply;
}

class RelayRig : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_logFolder = FreshTestFolder("log");
        SetTrafficLogLocation(m_logFolder, "OstrelBrinvale");
        SetTrafficLogClock(nullptr);
        m_relay.SetLogging(true);
        m_relay.AddStatusSink(&m_sink);

        m_terminal = m_pluggable ? FakeTerminal::CreatePluggable() : FakeTerminal::Create();
        if (m_pluggable && !m_terminal)
            GTEST_SKIP() << "this platform's harness cannot unplug a line";
        ASSERT_TRUE(m_terminal) << "no serial line for the terminal";
        ASSERT_TRUE(m_relay.Start(m_terminal->GatewayPort(), "9600"));
    }

    void TearDown() override
    {
        Disconnect();
        m_relay.RemoveStatusSink(&m_sink);
    }

    // What the Disconnect button does: the relay's one stop.
    void Disconnect() { m_relay.Stop(); }

    // What Connect does: the terminal's line opened again, the pumps started.
    bool Connect() { return m_relay.Start(m_terminal->GatewayPort(), "9600"); }

    // Sends the request and waits until the gateway reports the link up.
    void OpenLink(const FakeVan& van)
    {
        m_terminal->Send(ConnectRequest("127.0.0.1", van.PortText()));
        ASSERT_TRUE(m_sink.WaitFor("link: CAT : 연결 | VAN : 연결", 4000));
    }

    std::vector<std::string> Records() { return LogRecords(m_logFolder); }

    std::vector<std::string> RecordsSince(std::size_t from)
    {
        const std::vector<std::string> all = Records();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }

    std::string ConnectRecordFor(const FakeVan& van)
    {
        return Record("CAT->PC ", ConnectRequest("127.0.0.1", van.PortText()));
    }

    // Wake-up, acknowledgement, connect, request, reply and the terminal's
    // end, every byte checked at both ends and in the log.
    void ExpectAWholePayment()
    {
        const Bytes greeting = ToBytes("\x02" "NEXT" "\x03");
        FakeVan van({greeting});
        const std::size_t records = Records().size();

        m_terminal->Send({0x0D});
        ASSERT_EQ(Hex(m_terminal->Receive(5, 6000)), Hex(kFiveAck));
        m_terminal->Send(ConnectRequest("127.0.0.1", van.PortText()));
        ASSERT_EQ(Hex(m_terminal->Receive(greeting.size(), 5000)), Hex(greeting));

        m_terminal->Send(kRequest);
        EXPECT_EQ(Hex(van.WaitReceived(kRequest.size(), 5000)), Hex(kRequest));
        ASSERT_TRUE(WaitForRecord(Record("PC ->VAN", kRequest), records, 3000));
        const Bytes reply = Reply(300);
        van.SendToGateway(reply);
        EXPECT_EQ(Hex(m_terminal->Receive(reply.size(), 5000)), Hex(reply));

        m_terminal->Send(kFiveEsc);
        EXPECT_TRUE(van.WaitPeerClosed(5000));
        EXPECT_TRUE(WaitForRecord(InfoRecord("Socket Disconnect"), records, 3000));
        EXPECT_TRUE(m_terminal->ReceiveFor(300).empty());
        EXPECT_EQ(van.Accepted(), 1);
        EXPECT_EQ(Hex(van.Received()), Hex(kRequest));

        const std::vector<std::string> since = RecordsSince(records);
        EXPECT_TRUE(InOrder(since, {Record("CAT->PC ", {0x0D}), Record("PC ->CAT", kFiveAck),
                                    ConnectRecordFor(van),
                                    InfoRecord("ConnectToVAN 127.0.0.1(" + van.PortText() + ")"),
                                    Record("VAN->PC ", greeting), Record("PC ->CAT", greeting),
                                    Record("CAT->PC ", kRequest), Record("PC ->VAN", kRequest),
                                    Record("VAN->PC ", reply), Record("PC ->CAT", reply),
                                    Record("CAT->PC ", kFiveEsc), InfoRecord("Socket Disconnect")}))
            << Joined(since);
        EXPECT_EQ(CountOf(since, InfoRecord("Socket Connected")), 1u) << Joined(since);
        EXPECT_EQ(since.size(), 13u) << Joined(since);
    }

    // Waits until the log holds record at or after position from; the log is
    // written by the pumps, so a record may come a moment after the event.
    bool WaitForRecord(const std::string& record, std::size_t from, int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const std::vector<std::string> records = Records();
            if (std::find(records.begin() + static_cast<std::ptrdiff_t>(std::min(from, records.size())),
                          records.end(), record) != records.end())
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    RecordingSink m_sink;
    Relay m_relay;  // after the sink: it goes first, and stops before the sink goes
    bool m_pluggable = false;  // set by fixtures that pull the line out
    std::unique_ptr<FakeTerminal> m_terminal;
    std::filesystem::path m_logFolder;
};

}  // namespace brinvale::test
