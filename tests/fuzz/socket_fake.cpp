// The VAN link of the fuzzers: every member of CSocketCommCls, held in
// memory. Whether a connect succeeds, what a send is accepted as and what a
// receive gets come from the hooks of fake_platform.h.
#include "relay/van_link.h"

#include <algorithm>
#include <atomic>

#include "fake_platform.h"
#include "relay/wake_signal.h"

namespace brinvale {

namespace fuzz {

namespace {
std::atomic<int> g_liveLinks{0};
}  // namespace

FakeVanHooks& VanHooks()
{
    static FakeVanHooks hooks;
    return hooks;
}

int LiveVanLinks()
{
    return g_liveLinks.load();
}

}  // namespace fuzz

struct CSocketCommCls::Link {
    int socket = -1;
    bool woken = false;
};

CSocketCommCls::CSocketCommCls(const WakeSignal& stop) : m_link(std::make_unique<Link>()), m_stop(stop)
{
    ++fuzz::g_liveLinks;
}

CSocketCommCls::~CSocketCommCls()
{
    CloseSocket();
    --fuzz::g_liveLinks;
}

bool CSocketCommCls::HasSocket() const
{
    return m_link->socket >= 0;
}

void CSocketCommCls::CloseSocket()
{
    m_link->socket = -1;
}

int CSocketCommCls::Connect(const char* ip, int port)
{
    CloseSocket();
    const int socket = fuzz::VanHooks().connect ? fuzz::VanHooks().connect(ip, port) : 0;
    if (socket <= 0)
        return kSocketNotReady;
    m_link->socket = socket;
    return socket;
}

int CSocketCommCls::Receive(std::uint8_t* dest)
{
    if (m_link->socket < 0)
        return kSocketClosed;
    if (m_link->woken || m_stop.IsRaised())
        return kSocketWaitFailed;
    if (!fuzz::VanHooks().receive)
        return kSocketClosed;
    return std::min(fuzz::VanHooks().receive(m_link->socket, dest), kVanBufferSize);
}

int CSocketCommCls::Send(const std::uint8_t* data, int length)
{
    if (m_link->socket < 0)
        return kSocketNoSocket;
    if (!fuzz::VanHooks().send)
        return length;
    return fuzz::VanHooks().send(m_link->socket, data, length);
}

void CSocketCommCls::Wake()
{
    m_link->woken = true;
}

}  // namespace brinvale
