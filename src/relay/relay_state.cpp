#include "relay/relay_state.h"

#include "relay/cat_pump.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace brinvale {

std::atomic<bool> g_bSerialOpen{false};
std::atomic<bool> g_bSerialLost{false};
std::atomic<bool> g_bVanConnected{false};
std::atomic<bool> g_bNotifyCatOnDrop{false};
std::atomic<bool> g_bLogEnabled{false};
std::atomic<int> g_nKeepAlive{0};
std::atomic<int> g_nFailedReads{0};

WakeSignal& RelayStopSignal()
{
    static WakeSignal signal;
    return signal;
}

namespace {

// Room for the main window, the status window and one console or test sink.
std::array<StatusSink*, 4> g_sinks{};
std::mutex g_sinkLock;

template <typename Output>
void ForEachSink(Output output)
{
    // Holding the lock while calling keeps Unregister from returning while a
    // pump is inside the sink; sinks only post, so the lock is held briefly.
    std::lock_guard lock(g_sinkLock);
    for (StatusSink* sink : g_sinks) {
        if (sink)
            output(*sink);
    }
}

}  // namespace

void RegisterStatusSink(StatusSink* sink)
{
    std::lock_guard lock(g_sinkLock);
    if (std::find(g_sinks.begin(), g_sinks.end(), sink) != g_sinks.end())
        return;
    auto freeSlot = std::find(g_sinks.begin(), g_sinks.end(), nullptr);
    if (freeSlot != g_sinks.end())
        *freeSlot = sink;
}

void UnregisterStatusSink(StatusSink* sink)
{
    std::lock_guard lock(g_sinkLock);
    std::replace(g_sinks.begin(), g_sinks.end(), sink, static_cast<StatusSink*>(nullptr));
}

void ShowProgressText(std::string_view text)
{
    ForEachSink([&](StatusSink& sink) { sink.OnProgressText(text); });
}

void SetTransferState(std::string_view text, Colour colour)
{
    ForEachSink([&](StatusSink& sink) { sink.OnTransferState(text, colour); });
}

std::string_view LinkStatusText(bool serialOpen, bool vanConnected)
{
    if (serialOpen)
        return vanConnected ? "CAT : 연결 | VAN : 연결" : "CAT : 연결 | VAN : 비연결";
    return vanConnected ? "CAT : 비연결 | VAN : 연결" : "CAT : 비연결 | VAN : 비연결";
}

void RefreshLinkStatus()
{
    std::string_view text = LinkStatusText(g_bSerialOpen && !g_bSerialLost, g_bVanConnected);
    ForEachSink([&](StatusSink& sink) { sink.OnLinkStatus(text); });
}

void ResetRelayState()
{
    g_bSerialOpen = false;
    g_bSerialLost = false;
    g_nFailedReads = 0;
    g_bVanConnected = false;
    g_bNotifyCatOnDrop = false;
    g_nKeepAlive = kKeepAliveStep;
}

}  // namespace brinvale
