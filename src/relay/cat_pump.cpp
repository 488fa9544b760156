// The two pump steps: the CAT pump's, the terminal's side of the protocol,
// and the VAN pump's, which passes the server's replies on. The pump threads
// run them in their loops (relay.cpp); the fuzzer runs the very same steps on
// one thread.
#include "relay/cat_pump.h"

#include <algorithm>
#include <cstring>

#include "log/traffic_log.h"
#include "relay/relay.h"
#include "relay/serial_channel.h"
#include "relay/van_link.h"

namespace brinvale {

namespace {

// A port that fails every read at once (a USB adapter pulled out, a driver
// reset) is read at the pace of a silent line, not in a tight loop.
constexpr int kFailedReadPauseMs = 500;
// One failed read may be a passing driver hiccup; two in a row, half a
// second apart, mean the line is gone.
constexpr int kFailedReadsForLoss = 2;
// How often a lost line is tried again: an adapter plugged back in is in
// service within a second, well inside the 3 s a terminal waits for an
// answer, and a failed open costs next to nothing.
constexpr int kReopenIntervalMs = 1000;

// Counts byte c among the first five positions of a burst.
int CountLeading(const std::uint8_t* bytes, int length, std::uint8_t c)
{
    const int end = std::min(length, 5);
    return static_cast<int>(std::count(bytes, bytes + std::max(end, 0), c));
}

// The texts of a connect request: SOH, IP text, FS, port text, ETB.
struct ConnectRequest {
    char ip[kFieldSize];
    char port[kFieldSize];
};

enum class RequestScan { NoFrame, Bad, Ok };

RequestScan ScanRequest(const std::uint8_t* begin, int length, ConnectRequest& request)
{
    std::memset(&request, 0, sizeof request);
    const std::uint8_t* end = begin + length;
    const std::uint8_t* soh = std::find(begin, end, kSOH);
    const std::uint8_t* fs = soh == end ? end : std::find(soh + 1, end, kFS);
    const std::uint8_t* etb = fs == end ? end : std::find(fs + 1, end, kETB);
    if (etb == end)
        return RequestScan::NoFrame;

    // The IP text starts at the burst's second byte: with the SOH first, as
    // terminals send it, that is exactly the text between SOH and FS.
    const std::uint8_t* ipBegin = begin + 1;
    const std::ptrdiff_t ipLength = fs - ipBegin;
    const std::ptrdiff_t portLength = etb - (fs + 1);
    // Texts that do not fit their 31-byte fields are refused like any other
    // bad request, never cut into a different address.
    if (ipLength <= 0 || ipLength >= kFieldSize || portLength >= kFieldSize)
        return RequestScan::Bad;
    std::memcpy(request.ip, ipBegin, static_cast<std::size_t>(ipLength));
    std::memcpy(request.port, fs + 1, static_cast<std::size_t>(portLength));
    // A NUL inside the texts would hide the rest of them from every check.
    if (std::strlen(request.ip) != static_cast<std::size_t>(ipLength) ||
        std::strlen(request.port) != static_cast<std::size_t>(portLength) ||
        !IsAllDigits(request.port))
        return RequestScan::Bad;
    return RequestScan::Ok;
}

}  // namespace

struct Relay::Burst {
    std::uint8_t bytes[kBurstSize];
    int length;
};

bool IsAllDigits(const char* text)
{
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

void Relay::CatPumpStep()
{
    RefreshLinkStatus();
    if (!m_state.bSerialOpen)
        return;
    if (m_state.bSerialLost) {
        RetryLostLine();
        return;
    }
    ShowProgressText("대기중...");

    Burst burst{};
    if (ReadBurst(burst)) {
        ShowProgressText("CAT->PC");
        Log(burst.bytes, kLogCatToPc, burst.length);
        if (m_state.bVanConnected)
            HandleBurstOnLink(burst);
        else
            HandleBurstWithoutLink(burst);
    }
    ApplyKeepAlive();
}

void Relay::VanPumpStep()
{
    std::shared_ptr<CSocketCommCls> link = CurrentVanLink();
    if (!m_state.bVanConnected || !link)
        return;
    std::uint8_t buffer[kVanBufferSize] = {};
    const int count = link->Receive(buffer);
    if (count > 0)
        RelayVanData(buffer, count);
    else if (!m_stop.IsRaised())
        DropVanLinkIfCurrent(link.get());  // a stopping relay drops the link itself
}

int Relay::ReadSerial(int count, std::uint8_t* dest)
{
    return m_pSerial ? m_pSerial->Read(count, dest) : kSerialReadFailed;
}

// A burst is the first byte and whatever follows it without a 100 ms gap.
// False when the line stayed silent (or the read failed).
bool Relay::ReadBurst(Burst& burst)
{
    std::uint8_t first = 0;
    const int got = ReadSerial(1, &first);
    if (got < 0) {
        OnFailedRead();
        return false;
    }
    m_state.nFailedReads = 0;
    if (got == 0)
        return false;

    std::uint8_t continuation[kContinuationSize] = {};
    const int count = ReadSerial(kContinuationSize, continuation);
    // Cut off by the relay stopping or the line failing: no burst at all,
    // not even its first byte alone (a lone CR would be answered as a
    // wake-up, and on a link the VAN would take a fragment for the whole).
    if (count < 0) {
        OnFailedRead();
        return false;
    }
    burst.bytes[0] = first;
    std::memcpy(burst.bytes + 1, continuation, static_cast<std::size_t>(count));
    burst.length = 1 + count;
    return true;
}

void Relay::OnFailedRead()
{
    if (m_stop.IsRaised())
        return;  // the relay is stopping, the line is fine
    if (++m_state.nFailedReads >= kFailedReadsForLoss)
        GiveUpLostLine();
    else
        m_stop.Wait(kFailedReadPauseMs);
}

// The terminal can no longer be reached: a VAN link would only keep the
// server waiting on a payment that cannot finish, and the notice the
// terminal would get for it has nowhere to go.
void Relay::GiveUpLostLine()
{
    m_state.nFailedReads = 0;
    m_state.bNotifyCatOnDrop = false;
    DropVanLink();
    MarkSerialLost();
    // The first attempt at once: it lets go of the dead handle, which a
    // replugged adapter needs before it can take its name again.
    ReopenLostSerial();
}

void Relay::RetryLostLine()
{
    ShowProgressText("Serial Port LOST");
    if (m_stop.Wait(kReopenIntervalMs))
        return;
    ReopenLostSerial();
}

void Relay::HandleBurstOnLink(const Burst& burst)
{
    m_state.bNotifyCatOnDrop = true;

    if (CountLeading(burst.bytes, burst.length, kESC) > 3) {
        // The terminal ends the link itself and expects no answer.
        m_state.bNotifyCatOnDrop = false;
        DropVanLink();
        return;
    }
    if (CountLeading(burst.bytes, burst.length, kCR) > 3) {
        DropVanLink();  // answered with five ESC
        return;
    }

    std::shared_ptr<CSocketCommCls> link = CurrentVanLink();
    const int sent = link ? link->Send(burst.bytes, burst.length) : kSocketNoSocket;
    ShowProgressText("PC->VAN");
    Log(burst.bytes, kLogPcToVan, burst.length);
    if (sent < 0)
        DropVanLink();
}

void Relay::RefuseRequest(const char* text)
{
    SendControlToCat(kESC);
    ShowProgressText(text);
    SetTransferState(text, kErrorColour);
}

void Relay::HandleBurstWithoutLink(Burst& burst)
{
    m_state.bNotifyCatOnDrop = false;

    if (burst.bytes[0] == kCR) {
        // Wake-up: acknowledge, then the next burst is the request. Anything
        // that came with the CR is discarded.
        SendControlToCat(kACK);
        ShowProgressText("PC->CAT");
        std::memset(burst.bytes, 0, sizeof burst.bytes);
        burst.length = ReadSerial(kBurstSize, burst.bytes);
        if (burst.length < 0)
            return;  // no request came: the relay stops, or the line failed
        ShowProgressText("CAT->PC");
        Log(burst.bytes, kLogCatToPc, burst.length);
    }

    if (burst.length <= 0)
        return;

    ConnectRequest request;
    switch (ScanRequest(burst.bytes, burst.length, request)) {
    case RequestScan::NoFrame:
        return;
    case RequestScan::Bad:
        RefuseRequest("Cat IP 정보 오류");
        return;
    case RequestScan::Ok:
        if (!ConnectToVAN(request.ip, request.port))
            RefuseRequest("서버 접속 오류");
        return;
    }
}

void Relay::ApplyKeepAlive()
{
    if (!m_state.bVanConnected) {
        m_state.nKeepAlive = kKeepAliveStep;
        return;
    }
    if ((m_state.nKeepAlive += kKeepAliveStep) < kKeepAliveLimit)
        return;
    DropVanLink();
    SetTransferState("Socket Time-Out (KEEP ALIVE)", kErrorColour);
    ShowProgressText("Socket Time-Out (KEEP ALIVE)");
}

void Relay::RelayVanData(const std::uint8_t* data, int count)
{
    ShowProgressText("VAN->PC");
    m_state.nKeepAlive = kKeepAliveStep;
    Log(data, kLogVanToPc, count);
    if (m_pSerial)
        m_pSerial->Write(data, count);
    ShowProgressText("PC->CAT");
    Log(data, kLogPcToCat, count);
}

}  // namespace brinvale
