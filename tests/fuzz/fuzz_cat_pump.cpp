// The relay's two pump steps (CatPumpStep and VanPumpStep, the code the pump
// threads run) under arbitrary line traffic and VAN behaviour, on one thread
// and without a single real wait.
//
// The input is a list of events, each led by a byte whose value modulo 8
// says what happens:
//   0  the terminal sends a chunk: the next byte + 1 says how many bytes follow
//   1  a long chunk: the next two bytes (little endian) modulo 4096, + 1
//   2  a read of the line times out with nothing; with bit 3 of the lead
//      set, the user presses Disconnect and Connect again instead
//   3  a read of the line fails; bits 3 to 5 of the lead say how many of
//      the next attempts to reopen the port fail too
//   4  the VAN refuses the next connect
//   5  the VAN fails the next send
//   6  the VAN sends: the next byte + 1 says how many bytes follow
//   7  the VAN closes the link
// Line events are what successive reads return; a chunk longer than a read
// asks for leaves its rest for the next read, as a driver's queue does. VAN
// events happen while the pump waits in the read that follows them, which
// is when the VAN pump thread acts in the running relay: a VanPumpStep runs
// right there. A reconnect ends
// the step under way and happens between two steps, as the pump threads
// are ended and started again.
//
// Checked: the terminal's bytes reach the VAN whole, in order and unchanged
// unless they end the link; the gateway's own replies to the terminal are
// five ACK or five ESC and come exactly when the protocol calls for them;
// requests connect to the address and port they name; the keep-alive; a line
// that fails twice in a row is given up, lets the VAN go and is tried again
// every second until it opens; link objects go away; every VAN reply
// reaches the terminal unchanged and is shown as "VAN->PC"; every traffic log
// line is well formed and the log shows every byte the terminal sent, every
// unit sent to the VAN, every reply from the VAN, everything written to the
// terminal, every loss of the line and every open.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <unistd.h>

#include "fake_platform.h"
#include "fuzz_check.h"
#include "log/traffic_log.h"
#include "relay/cat_pump.h"
#include "relay/relay.h"
#include "relay/serial_channel.h"
#include "relay/van_link.h"
#include "support/relay_access.h"

namespace brinvale::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kFiveAck(5, kACK);
const Bytes kFiveEsc(5, kESC);

// Enough for the keep-alive to expire a few times in one input.
constexpr int kMaxStepsPerInput = 512;

// Steps from the last word of the VAN (or the connect) to the keep-alive
// time-out, that step included: about 72 s of half-second reads.
constexpr int kQuietStepsToTimeOut = kKeepAliveLimit / kKeepAliveStep - 1;

// A single failed read is a driver hiccup; the next one failing too means
// the line is gone. A lost line is tried again every second.
constexpr int kFailedReadsForLoss = 2;
constexpr long long kFailedReadPauseMs = 500;
constexpr long long kReopenIntervalMs = 1000;

enum class EventKind {
    LineData,
    LineTimeOut,
    LineFailure,
    Reconnect,
    VanRefusesConnect,
    VanFailsSend,
    VanSends,
    VanCloses,
};

struct Event {
    EventKind kind;
    Bytes bytes;
    int failingReopens = 0;
};

bool IsVanEvent(EventKind kind)
{
    return kind == EventKind::VanRefusesConnect || kind == EventKind::VanFailsSend || kind == EventKind::VanSends ||
           kind == EventKind::VanCloses;
}

std::deque<Event> ParseScript(const std::uint8_t* data, std::size_t size)
{
    std::deque<Event> script;
    std::size_t i = 0;
    auto take = [&](std::size_t n) {
        n = std::min(n, size - i);
        Bytes bytes(data + i, data + i + n);
        i += n;
        return bytes;
    };
    while (i < size) {
        const std::uint8_t lead = data[i++];
        switch (lead % 8) {
        case 0:
        case 6: {
            if (i >= size)
                break;
            Bytes bytes = take(std::size_t{data[i++]} + 1);
            script.push_back({lead % 8 == 0 ? EventKind::LineData : EventKind::VanSends, std::move(bytes)});
            break;
        }
        case 1: {
            if (size - i < 2) {
                i = size;
                break;
            }
            const std::size_t n = (data[i] | std::size_t{data[i + 1]} << 8) % 4096 + 1;
            i += 2;
            if (Bytes bytes = take(n); !bytes.empty())
                script.push_back({EventKind::LineData, std::move(bytes)});
            break;
        }
        case 2: script.push_back({(lead & 0x08) ? EventKind::Reconnect : EventKind::LineTimeOut, {}}); break;
        case 3: script.push_back({EventKind::LineFailure, {}, (lead >> 3) & 7}); break;
        case 4: script.push_back({EventKind::VanRefusesConnect, {}}); break;
        case 5: script.push_back({EventKind::VanFailsSend, {}}); break;
        case 7: script.push_back({EventKind::VanCloses, {}}); break;
        }
    }
    return script;
}

struct ReadSeen {
    int result;
    Bytes bytes;
    bool linkUp;                     // when the read returned
    std::size_t controlWritesBefore;  // the gateway's replies written by then
};

struct ConnectSeen {
    std::string ip;
    int port;
    int socket;  // 0 when refused
};

// What one pump step did.
struct Step {
    std::vector<ReadSeen> reads;
    std::vector<Bytes> sends;
    bool sendFailed = false;
    std::vector<ConnectSeen> connects;
    std::vector<Bytes> controlWrites;
    std::vector<bool> reopens;  // each attempt's success
    bool vanWord = false;
    bool keepAliveTimedOut = false;
};

// One fuzz input's run: the script still to come, what the VAN does next,
// and what the engine did.
struct Exchange {
    std::deque<Event> script;
    bool refuseNextConnect = false;
    bool failNextSend = false;
    int failingReopens = 0;
    int nextSocket = 3;
    int connectedSocket = 0;
    std::optional<Bytes> vanData;  // what the VAN pump's next receive gets
    // The VAN's bytes the VAN pump took and has yet to write to the terminal.
    std::optional<Bytes> vanDataInFlight;
    Step step;
    bool inStep = false;  // reopens happen only inside a step
    int quietSteps = 0;
    int failedReadsInRow = 0;
    int losses = 0;
    int opens = 1;  // the first open, then each reopen that worked
    int vanProgressTexts = 0;

    Bytes allLineBytes;
    std::vector<Bytes> allSends;
    std::vector<Bytes> allVanData;
    std::vector<Bytes> allTerminalWrites;  // the gateway's replies and the VAN's bytes
};

Exchange* g_exchange = nullptr;

// The relay under test: one for the process, started afresh for every input,
// its pump steps run here rather than on threads of its own.
Relay& TheRelay()
{
    static Relay relay;
    return relay;
}

void ApplyVanEvent(Exchange& x, const Event& event)
{
    switch (event.kind) {
    case EventKind::VanRefusesConnect: x.refuseNextConnect = true; break;
    case EventKind::VanFailsSend: x.failNextSend = true; break;
    case EventKind::VanSends:
        x.vanData = event.bytes;
        TheRelay().VanPumpStep();
        x.vanData.reset();
        FUZZ_CHECK(!x.vanDataInFlight, "the VAN's bytes reach the terminal in the step that took them");
        break;
    case EventKind::VanCloses: TheRelay().VanPumpStep(); break;
    default: break;
    }
}

int OnLineRead(int count, std::uint8_t* dest)
{
    Exchange& x = *g_exchange;
    while (!x.script.empty() && IsVanEvent(x.script.front().kind)) {
        const Event event = std::move(x.script.front());
        x.script.pop_front();
        ApplyVanEvent(x, event);
    }

    ReadSeen seen{0, {}, TheRelay().State().bVanConnected, x.step.controlWrites.size()};
    if (!x.script.empty()) {
        Event& event = x.script.front();
        switch (event.kind) {
        case EventKind::LineData: {
            const std::size_t n = std::min(static_cast<std::size_t>(count), event.bytes.size());
            std::copy_n(event.bytes.begin(), n, dest);
            seen.bytes.assign(event.bytes.begin(), event.bytes.begin() + static_cast<std::ptrdiff_t>(n));
            event.bytes.erase(event.bytes.begin(), event.bytes.begin() + static_cast<std::ptrdiff_t>(n));
            if (event.bytes.empty())
                x.script.pop_front();
            seen.result = static_cast<int>(n);
            break;
        }
        case EventKind::LineTimeOut: x.script.pop_front(); break;
        case EventKind::Reconnect: break;  // the read ends with nothing; the loop reconnects
        default:
            x.failingReopens = event.failingReopens;
            x.script.pop_front();
            seen.result = kSerialReadFailed;
            break;
        }
    }
    x.allLineBytes.insert(x.allLineBytes.end(), seen.bytes.begin(), seen.bytes.end());
    const int result = seen.result;
    x.step.reads.push_back(std::move(seen));
    return result;
}

void OnLineWrite(const std::uint8_t* data, int length)
{
    Exchange& x = *g_exchange;
    Bytes bytes(data, data + length);
    x.allTerminalWrites.push_back(bytes);
    if (x.vanDataInFlight) {
        FUZZ_CHECK(bytes == *x.vanDataInFlight, "the VAN's bytes reach the terminal unchanged and in one write");
        x.vanDataInFlight.reset();
        return;
    }
    FUZZ_CHECK(bytes == kFiveAck || bytes == kFiveEsc,
               "the gateway's own replies to the terminal are five ACK or five ESC");
    x.step.controlWrites.push_back(std::move(bytes));
}

int OnOpen()
{
    if (!g_exchange || !g_exchange->inStep)
        return 1;  // the user's Connect: the fake line is there
    Exchange& x = *g_exchange;
    const bool opens = x.failingReopens == 0;
    x.failingReopens = std::max(x.failingReopens - 1, 0);
    x.step.reopens.push_back(opens);
    x.opens += opens ? 1 : 0;
    return opens ? 1 : kSerialOpenFailed;
}

int OnConnect(const char* ip, int port)
{
    Exchange& x = *g_exchange;
    ConnectSeen seen{ip, port, 0};
    if (!std::exchange(x.refuseNextConnect, false)) {
        seen.socket = x.nextSocket++;
        x.connectedSocket = seen.socket;
    }
    x.step.connects.push_back(seen);
    return seen.socket;
}

int OnSend(int socket, const std::uint8_t* data, int length)
{
    Exchange& x = *g_exchange;
    FUZZ_CHECK(socket == x.connectedSocket, "the terminal's bytes go to the link it asked for last");
    x.step.sends.emplace_back(data, data + length);
    x.allSends.emplace_back(data, data + length);
    if (std::exchange(x.failNextSend, false)) {
        x.step.sendFailed = true;
        return kSocketSendFailed;
    }
    return length;
}

int OnReceive(int socket, std::uint8_t* dest)
{
    Exchange& x = *g_exchange;
    FUZZ_CHECK(socket == x.connectedSocket, "the VAN pump receives on the link that is up");
    if (!x.vanData || x.vanData->empty())
        return kSocketClosed;  // a receive of nothing is the server's close
    const std::size_t n = std::min(x.vanData->size(), static_cast<std::size_t>(kVanBufferSize));
    std::copy_n(x.vanData->begin(), n, dest);
    x.step.vanWord = true;
    x.vanDataInFlight.emplace(x.vanData->begin(), x.vanData->begin() + static_cast<std::ptrdiff_t>(n));
    x.allVanData.push_back(*x.vanDataInFlight);
    return static_cast<int>(n);
}

class KeepAliveWatch : public StatusSink {
public:
    void OnLinkStatus(std::string_view) override {}
    void OnProgressText(std::string_view text) override
    {
        if (g_exchange && text == "VAN->PC")
            ++g_exchange->vanProgressTexts;
    }
    void OnTransferState(std::string_view text, Colour) override
    {
        if (g_exchange && text == "Socket Time-Out (KEEP ALIVE)")
            g_exchange->step.keepAliveTimedOut = true;
    }
};

int CountLeading(const Bytes& burst, std::uint8_t c)
{
    const auto end = burst.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(burst.size(), 5));
    return static_cast<int>(std::count(burst.begin(), end, c));
}

// What the gateway must have done with a request when the link was down:
// the replies after the decision (the ACK of a wake-up already taken off).
void CheckRequest(const Step& step, const Bytes& request, const std::vector<Bytes>& replies, bool linkedAfter)
{
    const auto soh = std::find(request.begin(), request.end(), kSOH);
    const auto fs = soh == request.end() ? request.end() : std::find(soh + 1, request.end(), kFS);
    const auto etb = fs == request.end() ? request.end() : std::find(fs + 1, request.end(), kETB);
    if (etb == request.end()) {
        FUZZ_CHECK(replies.empty(), "a burst that is no request gets no reply");
        FUZZ_CHECK(step.connects.empty(), "only a request connects");
        FUZZ_CHECK(!linkedAfter, "only a request brings a link up");
        return;
    }

    // A request as terminals send it: SOH first, an address of 1 to 31
    // bytes, FS, the port in decimal digits, ETB.
    const std::string ip(request.begin() + 1, fs);
    const std::string port(fs + 1, etb);
    const bool clean = soh == request.begin() && !ip.empty() && ip.size() < kFieldSize &&
                       ip.find('\0') == std::string::npos && port.size() < kFieldSize &&
                       std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (clean) {
        const std::string digits = port.substr(std::min(port.find_first_not_of('0'), port.size()));
        const long value = digits.size() > 5 ? 99999 : (digits.empty() ? 0 : std::stol(digits));
        if (value <= 65535) {
            FUZZ_CHECK(step.connects.size() == 1, "a well-formed request is connected");
            FUZZ_CHECK(step.connects[0].ip == ip && step.connects[0].port == value,
                       "a request connects to the address and port it names");
        } else {
            FUZZ_CHECK(step.connects.empty(), "a port beyond 65535 is never connected");
        }
    }

    FUZZ_CHECK(step.connects.size() <= 1, "one request, at most one connect");
    if (step.connects.size() == 1) {
        const ConnectSeen& connect = step.connects[0];
        FUZZ_CHECK(!connect.ip.empty() && connect.ip.size() < kFieldSize, "the address fits its field");
        const Bytes address(connect.ip.begin(), connect.ip.end());
        FUZZ_CHECK(std::search(request.begin(), request.end(), address.begin(), address.end()) != request.end(),
                   "the address connected is one the terminal sent");
        FUZZ_CHECK(connect.port >= 0 && connect.port <= 65535, "the port connected is a TCP port");
        const bool up = connect.socket > 0;
        FUZZ_CHECK(linkedAfter == up, "the link is up exactly when the VAN took the connection");
        FUZZ_CHECK(replies == (up ? std::vector<Bytes>{} : std::vector<Bytes>{kFiveEsc}),
                   "a refused connect is answered with five ESC, a good one not at all");
    } else {
        FUZZ_CHECK(!linkedAfter, "no link without a connect");
        FUZZ_CHECK(replies == std::vector<Bytes>{kFiveEsc}, "a request that cannot be served is refused with five ESC");
    }
}

void CheckStep(Exchange& x, bool lostBefore, long long waitedMs)
{
    const Step& step = x.step;
    if (lostBefore) {
        FUZZ_CHECK(step.reads.empty(), "a lost line is not read");
        FUZZ_CHECK(step.reopens.size() == 1, "a lost line is tried again once a step");
        FUZZ_CHECK(waitedMs >= kReopenIntervalMs, "a lost line is tried every second, not in a tight loop");
        FUZZ_CHECK(step.sends.empty() && step.connects.empty() && step.controlWrites.empty(),
                   "nothing goes anywhere while the line is lost");
        FUZZ_CHECK(!TheRelay().State().bVanConnected, "no VAN link while the line is lost");
        FUZZ_CHECK(TheRelay().State().bSerialLost == !step.reopens[0], "a line that opens again is back, and only then");
        x.failedReadsInRow = 0;
        x.quietSteps = 0;
        return;
    }
    FUZZ_CHECK(!step.reads.empty(), "every step reads the line");
    FUZZ_CHECK(step.reads.size() <= 3, "a step reads a burst and at most a request");

    // The burst: a first byte and whatever followed it.
    const ReadSeen& first = step.reads[0];
    FUZZ_CHECK(first.result <= 1, "a burst begins with a read of one byte");
    Bytes burst;
    bool linkedAtDecision = first.linkUp;
    std::size_t writesAtDecision = first.controlWritesBefore;
    // A burst whose rest could not be read is a failed read: none of it
    // goes anywhere, not even its first byte.
    bool readFailed = first.result < 0;
    if (first.result == 1) {
        FUZZ_CHECK(step.reads.size() >= 2, "the rest of a burst is read after its first byte");
        const ReadSeen& rest = step.reads[1];
        readFailed = rest.result < 0;
        if (!readFailed) {
            burst = first.bytes;
            burst.insert(burst.end(), rest.bytes.begin(), rest.bytes.end());
        } else {
            // Nor is it logged: the log shows bursts.
            x.allLineBytes.resize(x.allLineBytes.size() - first.bytes.size());
        }
        linkedAtDecision = rest.linkUp;
        writesAtDecision = rest.controlWritesBefore;
    } else {
        FUZZ_CHECK(step.reads.size() == 1, "silence ends the step");
    }
    const std::vector<Bytes> replies(step.controlWrites.begin() + static_cast<std::ptrdiff_t>(writesAtDecision),
                                     step.controlWrites.end());
    const bool linkedAfter = TheRelay().State().bVanConnected;

    // The first byte of a burst whose rest failed shows the line was there a
    // moment ago: that failure starts a new row.
    x.failedReadsInRow = !readFailed ? 0 : first.result == 1 ? 1 : x.failedReadsInRow + 1;
    if (x.failedReadsInRow >= kFailedReadsForLoss) {
        // The line is gone: a payment under way is given up (the terminal
        // could never hear the answer) and the port is tried again at once.
        FUZZ_CHECK(!linkedAfter, "a lost line lets the VAN go");
        FUZZ_CHECK(replies.empty(), "a lost line sends the terminal nothing");
        FUZZ_CHECK(step.reopens.size() == 1, "a lost line is tried again at once");
        FUZZ_CHECK(TheRelay().State().bSerialLost == !step.reopens[0], "a line that opens again is back, and only then");
        x.failedReadsInRow = 0;
        ++x.losses;
    } else {
        FUZZ_CHECK(step.reopens.empty(), "a line that is not lost is not reopened");
        FUZZ_CHECK(!TheRelay().State().bSerialLost, "one failed read is no lost line");
    }

    if (burst.empty()) {
        FUZZ_CHECK(step.sends.empty(), "nothing reaches the VAN when the terminal sent nothing");
        FUZZ_CHECK(step.connects.empty(), "silence never connects");
        for (const Bytes& reply : step.controlWrites)
            FUZZ_CHECK(reply == kFiveEsc, "silence from the terminal is never acknowledged");
        if (readFailed && !TheRelay().State().bSerialLost && step.reopens.empty()) {
            FUZZ_CHECK(waitedMs >= kFailedReadPauseMs, "a failed read pauses the pump for half a second");
            FUZZ_CHECK(linkedAfter == (linkedAtDecision && !step.keepAliveTimedOut), "one failed read keeps the link");
        }
    } else if (linkedAtDecision) {
        FUZZ_CHECK(step.reads.size() == 2, "a burst on the link is read in one piece");
        FUZZ_CHECK(step.connects.empty(), "no connect while the link is up");
        const bool escEnd = CountLeading(burst, kESC) >= 4;
        const bool crEnd = CountLeading(burst, kCR) >= 4;
        if (escEnd || crEnd) {
            FUZZ_CHECK(step.sends.empty(), "the terminal's end of the link is not passed to the VAN");
            FUZZ_CHECK(!linkedAfter, "the terminal's end drops the link");
            FUZZ_CHECK(replies == (escEnd ? std::vector<Bytes>{} : std::vector<Bytes>{kFiveEsc}),
                       "an end by ESC gets no answer, an end by CR five ESC");
        } else {
            FUZZ_CHECK(step.sends.size() == 1 && step.sends[0] == burst,
                       "a burst on the link reaches the VAN whole, unchanged and in one send");
            const bool dropped = step.sendFailed || step.keepAliveTimedOut;
            FUZZ_CHECK(linkedAfter == !dropped, "the link stays up unless the send failed or the keep-alive expired");
            FUZZ_CHECK(replies == (dropped ? std::vector<Bytes>{kFiveEsc} : std::vector<Bytes>{}),
                       "a link the terminal used ends with five ESC to it, and only then");
        }
    } else {
        FUZZ_CHECK(step.sends.empty(), "no byte reaches the VAN without a link");
        if (burst[0] == kCR) {
            // A wake-up: five ACK, then the next burst is the request and
            // whatever came with the CR is dropped.
            FUZZ_CHECK(!replies.empty() && replies[0] == kFiveAck, "a wake-up CR is answered with five ACK");
            FUZZ_CHECK(step.reads.size() == 3, "after the ACK the request is read");
            const ReadSeen& request = step.reads[2];
            CheckRequest(step, request.result > 0 ? request.bytes : Bytes{},
                         std::vector<Bytes>(replies.begin() + 1, replies.end()), linkedAfter);
        } else {
            FUZZ_CHECK(step.reads.size() == 2, "a burst without a link is read in one piece");
            CheckRequest(step, burst, replies, linkedAfter);
        }
    }

    // The keep-alive counts steps from the VAN's last word (or the connect).
    if (linkedAfter || step.keepAliveTimedOut) {
        const bool word = step.vanWord || (!step.connects.empty() && step.connects.back().socket > 0);
        const int quiet = word ? 1 : x.quietSteps + 1;
        if (step.keepAliveTimedOut)
            FUZZ_CHECK(quiet == kQuietStepsToTimeOut, "the keep-alive expires only after ~72 s without a word");
        if (linkedAfter)
            FUZZ_CHECK(quiet < kQuietStepsToTimeOut, "a link ~72 s without a word from the VAN is dropped");
        x.quietSteps = linkedAfter ? quiet : 0;
    } else {
        x.quietSteps = 0;
    }
}

std::string Printable(const Bytes& bytes)
{
    std::string text;
    for (std::uint8_t b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
    }
    return text;
}

// BRINVALE_FUZZ_TRACE=1 prints what each step did, for reading a crash input.
void TraceStep(int number, const Step& step)
{
    static const bool enabled = std::getenv("BRINVALE_FUZZ_TRACE") != nullptr;
    if (!enabled)
        return;
    std::fprintf(stderr, "step %d (link %s)\n", number, TheRelay().State().bVanConnected ? "up" : "down");
    for (const ReadSeen& read : step.reads)
        std::fprintf(stderr, "  read %d [%s]%s\n", read.result, Printable(read.bytes).c_str(),
                     read.linkUp ? " link up" : "");
    for (const ConnectSeen& connect : step.connects)
        std::fprintf(stderr, "  connect [%s] %d -> %d\n", connect.ip.c_str(), connect.port, connect.socket);
    for (const Bytes& send : step.sends)
        std::fprintf(stderr, "  send [%s]\n", Printable(send).c_str());
    for (const Bytes& write : step.controlWrites)
        std::fprintf(stderr, "  reply [%s]\n", Printable(write).c_str());
    for (bool opened : step.reopens)
        std::fprintf(stderr, "  reopen %s\n", opened ? "ok" : "failed");
}

void CheckLinkObjects()
{
    const std::shared_ptr<CSocketCommCls> link = RelayTestAccess(TheRelay()).CurrentVanLink();
    if (TheRelay().State().bVanConnected)
        FUZZ_CHECK(link && link->HasSocket(), "a link shown as up has a socket");
    FUZZ_CHECK(LiveVanLinks() == (link ? 1 : 0), "a link object goes away once it is dropped");
}

LocalTime Stamp()
{
    LocalTime t;
    t.year = 2024;
    t.month = 3;
    t.day = 3;
    t.hour = 9;
    t.minute = 5;
    t.second = 7;
    t.millisecond = 42;
    return t;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct LogRecords {
    std::vector<std::string> info;
    Bytes catToPc;
    std::vector<Bytes> pcToVan;
    std::vector<Bytes> vanToPc;
    std::vector<Bytes> pcToCat;
};

// One line, without its CR LF: the time stamp, then an info text or a
// direction tag, the byte count and the bytes in upper-case hexadecimal.
void ReadLogLine(std::string_view line, LogRecords& records)
{
    constexpr std::string_view kStampText = "09:05:07.042 > ";
    FUZZ_CHECK(line.substr(0, kStampText.size()) == kStampText, "a log line starts with its time stamp");
    line.remove_prefix(kStampText.size());

    constexpr std::string_view kInfoHead = "           [0   ] [";
    if (line.substr(0, kInfoHead.size()) == kInfoHead) {
        FUZZ_CHECK(line.size() > kInfoHead.size() && line.back() == ']', "an info line ends with its bracket");
        records.info.emplace_back(line.substr(kInfoHead.size(), line.size() - kInfoHead.size() - 1));
        return;
    }

    FUZZ_CHECK(line.size() >= 10, "a data line has a direction tag");
    const std::string_view tag = line.substr(0, 10);
    line.remove_prefix(10);
    FUZZ_CHECK(line.substr(0, 2) == " [", "the byte count follows the tag");
    line.remove_prefix(2);
    const std::size_t close = line.find(']');
    FUZZ_CHECK(close != std::string_view::npos, "the byte count is bracketed");
    const std::string_view field = line.substr(0, close);
    line.remove_prefix(close + 1);
    FUZZ_CHECK(line.substr(0, 2) == " [" && line.back() == ']', "the bytes are bracketed");
    const std::string_view hex = line.substr(2, line.size() - 3);

    // A request read that failed after a wake-up is recorded with its
    // result, -1, and no bytes (the format the log tests pin down).
    if (field == "-1  ") {
        FUZZ_CHECK(tag == "[CAT->PC ]" && hex.empty(), "only a failed read of the terminal's line counts -1");
        return;
    }
    const std::size_t digitsEnd = field.find_first_not_of("0123456789");
    const std::string_view digits = field.substr(0, digitsEnd);
    FUZZ_CHECK(!digits.empty() && digits.size() <= 5, "the byte count is a number of bytes");
    FUZZ_CHECK(field.size() == std::max<std::size_t>(digits.size(), 4) &&
                   field.find_first_not_of(' ', digits.size()) == std::string_view::npos,
               "the byte count is padded to four places");
    const std::size_t count = std::stoul(std::string(digits));
    FUZZ_CHECK(hex.size() == 2 * count, "a data line shows as many bytes as it counts");

    Bytes bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]);
        const int low = HexValue(hex[i + 1]);
        FUZZ_CHECK(high >= 0 && low >= 0, "bytes are shown in upper-case hexadecimal");
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    if (tag == "[CAT->PC ]")
        records.catToPc.insert(records.catToPc.end(), bytes.begin(), bytes.end());
    else if (tag == "[PC ->VAN]")
        records.pcToVan.push_back(std::move(bytes));
    else if (tag == "[PC ->CAT]")
        records.pcToCat.push_back(std::move(bytes));
    else if (tag == "[VAN->PC ]")
        records.vanToPc.push_back(std::move(bytes));
    else
        FUZZ_CHECK(false, "a data line's tag is one of the four directions");
}

void CheckLog(const std::filesystem::path& file, const Exchange& x)
{
    std::ifstream in(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    FUZZ_CHECK(!text.empty(), "opening the line is logged");
    FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0, "the log ends with a whole line");

    LogRecords records;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find("\r\n", begin);
        const std::string_view line(text.data() + begin, end - begin);
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos, "a record is one line");
        ReadLogLine(line, records);
        begin = end + 2;
    }
    FUZZ_CHECK(records.catToPc == x.allLineBytes, "the log shows every byte the terminal sent, in order");
    FUZZ_CHECK(records.pcToVan == x.allSends, "the log shows every unit sent to the VAN");
    FUZZ_CHECK(records.vanToPc == x.allVanData, "the log shows every unit the VAN sent");
    FUZZ_CHECK(records.pcToCat == x.allTerminalWrites, "the log shows everything written to the terminal");
    const auto lines = [&](const char* text) { return std::count(records.info.begin(), records.info.end(), text); };
    FUZZ_CHECK(lines("Serial Port LOST (Port : fuzz-line)") == x.losses, "the log shows each loss of the line once");
    FUZZ_CHECK(lines("Serial Open OK (Port : fuzz-line, Baudrate : 9600)") == x.opens,
               "the log shows every open of the line");
}

// Set up once per process: hooks, a log folder of the process's own and a
// fixed clock. The relay stop signal stays down, as in a running relay;
// the fake wake signal lets every pause pass at once.
struct Rig {
    std::filesystem::path folder;
    std::filesystem::path logFile;
    KeepAliveWatch watch;

    Rig()
    {
        // Emptied after every input, so only the log of a crashing input stays.
        folder = std::filesystem::temp_directory_path() / ("brinvale-fuzz-" + std::to_string(getpid()));
        std::error_code error;
        std::filesystem::remove_all(folder, error);
        SetTrafficLogLocation(folder, "fuzz");
        SetTrafficLogClock(Stamp);
        logFile = folder / TrafficLogFileName("fuzz", Stamp());
        TheRelay().AddStatusSink(&watch);

        SerialHooks().read = OnLineRead;
        SerialHooks().write = OnLineWrite;
        SerialHooks().open = OnOpen;
        VanHooks().connect = OnConnect;
        VanHooks().send = OnSend;
        VanHooks().receive = OnReceive;
    }
    ~Rig()
    {
        TheRelay().RemoveStatusSink(&watch);
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }
};

}  // namespace
}  // namespace brinvale::fuzz

namespace brinvale::fuzz {
namespace {

// Disconnect and Connect as the main window does them: the pumps end (the
// relay stop signal), the line closes, the VAN link goes; then the line
// opens again and the pumps start.
void Reconnect(Exchange& x)
{
    TheRelay().Stop();
    FUZZ_CHECK(TheRelay().Start("fuzz-line", "9600", Relay::Pumps::ByTheCaller), "the fake line opens");
    x.failedReadsInRow = 0;
    x.quietSteps = 0;
    ++x.opens;
}

}  // namespace
}  // namespace brinvale::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace brinvale;
    using namespace brinvale::fuzz;
    static Rig rig;

    Exchange x;
    g_exchange = &x;

    std::error_code error;
    TheRelay().SetLogging(true);
    FUZZ_CHECK(TheRelay().Start("fuzz-line", "9600", Relay::Pumps::ByTheCaller), "the fake line opens");

    // The pump counts failed reads in a count of its own that the previous
    // input may have left behind; one quiet read starts every input afresh.
    TheRelay().CatPumpStep();
    x.step = Step{};
    x.script = ParseScript(data, size);

    int steps = 0;
    for (; steps < kMaxStepsPerInput && (!x.script.empty() || TheRelay().State().bSerialLost); ++steps) {
        if (!x.script.empty() && x.script.front().kind == EventKind::Reconnect) {
            x.script.pop_front();
            Reconnect(x);
            continue;
        }
        x.step = Step{};
        const bool lostBefore = TheRelay().State().bSerialLost;
        const long long waitedBefore = WaitedMilliseconds();
        x.inStep = true;
        TheRelay().CatPumpStep();
        x.inStep = false;
        TraceStep(steps, x.step);
        CheckStep(x, lostBefore, WaitedMilliseconds() - waitedBefore);
        CheckLinkObjects();
    }
    if (steps < kMaxStepsPerInput)
        FUZZ_CHECK(!TheRelay().State().bSerialLost, "a lost line that can be opened again comes back");
    CheckLog(rig.logFile, x);
    FUZZ_CHECK(x.vanProgressTexts == static_cast<int>(x.allVanData.size()),
               "every unit the VAN sent is shown as VAN->PC");
    std::filesystem::remove_all(rig.folder, error);

    TheRelay().SetLogging(false);
    TheRelay().Stop();
    FUZZ_CHECK(LiveVanLinks() == 0, "no link object outlives the relay");
    g_exchange = nullptr;
    return 0;
}
