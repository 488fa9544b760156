#include "relay/van_link.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "log/traffic_log.h"
#include "relay/cat_pump.h"
#include "relay/relay_state.h"
#include "relay/serial_channel.h"

namespace brinvale {

namespace {

std::mutex g_linkLock;
std::shared_ptr<CSocketCommCls> g_pSocket;

// Takes the link out together with the terminal's claim to the five-ESC
// notice, before anyone can see the link gone: a burst the terminal's pump
// then reads, finding no link, starts a new exchange and clears the flag for
// that one; it must not take away the notice this link's terminal is owed.
std::shared_ptr<CSocketCommCls> TakeVanLink(bool& notifyCat, const CSocketCommCls* expected = nullptr)
{
    std::lock_guard lock(g_linkLock);
    if (expected && g_pSocket.get() != expected)
        return nullptr;
    notifyCat = g_bNotifyCatOnDrop.exchange(false);
    return std::exchange(g_pSocket, nullptr);
}

// The teardown that only the caller who took the link out does: a drop from
// both pumps at once gives one log line and one ESC reply.
void TearDown(std::shared_ptr<CSocketCommCls> link, bool notifyCat)
{
    // The VAN pump may be waiting on this link; waking it lets it release its
    // reference, and the last reference closes the socket.
    link->Wake();
    link.reset();
    ShowProgressText("");
    if (g_bLogEnabled)
        WriteTrafficLogInfo("Socket Disconnect");
    if (notifyCat)
        SendControlToCat(kESC);
}


// Leading decimal digits, as the terminal's port text is read; an empty text
// gives port 0, which no server listens on.
int PortNumber(const char* text)
{
    long value = 0;
    for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 65535)
            return -1;  // no such port; the connection attempt fails
    }
    return static_cast<int>(value);
}

}  // namespace

std::shared_ptr<CSocketCommCls> CurrentVanLink()
{
    std::lock_guard lock(g_linkLock);
    return g_pSocket;
}

bool ConnectToVAN(const char* ip, const char* port)
{
    std::shared_ptr<CSocketCommCls> link = CurrentVanLink();
    if (!link) {
        link = std::make_shared<CSocketCommCls>(RelayStopSignal());
        std::lock_guard lock(g_linkLock);
        g_pSocket = link;
    }

    if (g_bLogEnabled) {
        char line[1024];
        std::snprintf(line, sizeof line, "ConnectToVAN %s(%s)", ip, port);
        WriteTrafficLogInfo(line);
    }

    const int portNumber = PortNumber(port);
    const int result = portNumber < 0 ? kSocketNotReady : link->Connect(ip, portNumber);
    if (result > 0) {
        // A new link starts its own keep-alive time; the count an earlier
        // link left behind (up to the time-out itself) must not cut it short.
        g_nKeepAlive = kKeepAliveStep;
        g_bVanConnected = true;
        ShowProgressText("");
        SetTransferState("", kOkColour);
        if (g_bLogEnabled)
            WriteTrafficLogInfo("Socket Connected");
    } else {
        g_bVanConnected = false;
        ShowProgressText("Socket Error");
        SetTransferState("Socket Error", kErrorColour);
        if (g_bLogEnabled) {
            char line[64];
            std::snprintf(line, sizeof line, "Socket Error (%d) (ConnectToVAN)", result);
            WriteTrafficLogInfo(line);
        }
    }
    return g_bVanConnected;
}

void DropVanLink()
{
    bool notify = false;
    std::shared_ptr<CSocketCommCls> link = TakeVanLink(notify);
    g_bVanConnected = false;
    if (link)
        TearDown(std::move(link), notify);
}

void DropVanLinkIfCurrent(const CSocketCommCls* link)
{
    bool notify = false;
    std::shared_ptr<CSocketCommCls> taken = TakeVanLink(notify, link);
    if (!taken)
        return;
    g_bVanConnected = false;
    TearDown(std::move(taken), notify);
}

void CloseVanLinkQuiet()
{
    g_bVanConnected = false;
    bool unused = false;  // quiet: no notice, whatever was owed
    if (std::shared_ptr<CSocketCommCls> link = TakeVanLink(unused)) {
        link->Wake();
        link.reset();
        if (g_bLogEnabled)
            WriteTrafficLogInfo("Socket Disconnect");
    }
}

}  // namespace brinvale
