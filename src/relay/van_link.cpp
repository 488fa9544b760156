// The relay's link to the VAN: opened on the terminal's request, dropped by
// either pump or by Stop, torn down once whoever drops it.
#include "relay/van_link.h"

#include <cstdio>
#include <utility>

#include "log/traffic_log.h"
#include "relay/cat_pump.h"
#include "relay/relay.h"

namespace brinvale {

namespace {

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

std::shared_ptr<CSocketCommCls> Relay::CurrentVanLink()
{
    std::lock_guard lock(m_linkLock);
    return m_pSocket;
}

// Opens the link the terminal asked for (texts as cut from its request);
// the result is the link's state.
bool Relay::ConnectToVAN(const char* ip, const char* port)
{
    std::shared_ptr<CSocketCommCls> link = CurrentVanLink();
    if (!link) {
        link = std::make_shared<CSocketCommCls>(m_stop);
        std::lock_guard lock(m_linkLock);
        m_pSocket = link;
    }

    if (m_state.bLogEnabled) {
        char line[1024];
        std::snprintf(line, sizeof line, "ConnectToVAN %s(%s)", ip, port);
        LogInfo(line);
    }

    const int portNumber = PortNumber(port);
    const int result = portNumber < 0 ? kSocketNotReady : link->Connect(ip, portNumber);
    if (result > 0) {
        // A new link starts its own keep-alive time; the count an earlier
        // link left behind (up to the time-out itself) must not cut it short.
        m_state.nKeepAlive = kKeepAliveStep;
        m_state.bVanConnected = true;
        ShowProgressText("");
        SetTransferState("", kOkColour);
        LogInfo("Socket Connected");
    } else {
        m_state.bVanConnected = false;
        ShowProgressText("Socket Error");
        SetTransferState("Socket Error", kErrorColour);
        char line[64];
        std::snprintf(line, sizeof line, "Socket Error (%d) (ConnectToVAN)", result);
        LogInfo(line);
    }
    return m_state.bVanConnected;
}

// Takes the link out together with the terminal's claim to the five-ESC
// notice, before anyone can see the link gone: a burst the terminal's pump
// then reads, finding no link, starts a new exchange and clears the flag for
// that one; it must not take away the notice this link's terminal is owed.
std::shared_ptr<CSocketCommCls> Relay::TakeVanLink(bool& notifyCat, const CSocketCommCls* expected)
{
    std::lock_guard lock(m_linkLock);
    if (expected && m_pSocket.get() != expected)
        return nullptr;
    notifyCat = m_state.bNotifyCatOnDrop.exchange(false);
    return std::exchange(m_pSocket, nullptr);
}

// The teardown that only the caller who took the link out does: a drop from
// both pumps at once gives one log line and one ESC reply.
void Relay::TearDown(std::shared_ptr<CSocketCommCls> link, bool notifyCat)
{
    // The VAN pump may be waiting on this link; waking it lets it release its
    // reference, and the last reference closes the socket.
    link->Wake();
    link.reset();
    ShowProgressText("");
    LogInfo("Socket Disconnect");
    if (notifyCat)
        SendControlToCat(kESC);
}

// Gateway-side teardown: status text, log line and, when the terminal used
// the link, five ESC to the terminal. Only one of several concurrent callers
// does the teardown.
void Relay::DropVanLink()
{
    bool notify = false;
    std::shared_ptr<CSocketCommCls> link = TakeVanLink(notify);
    m_state.bVanConnected = false;
    if (link)
        TearDown(std::move(link), notify);
}

// DropVanLink, but only while link is still the current link: a receive that
// failed on a link already replaced must not drop its successor.
void Relay::DropVanLinkIfCurrent(const CSocketCommCls* link)
{
    bool notify = false;
    std::shared_ptr<CSocketCommCls> taken = TakeVanLink(notify, link);
    if (!taken)
        return;
    m_state.bVanConnected = false;
    TearDown(std::move(taken), notify);
}

}  // namespace brinvale
