#include "relay/relay_state.h"

#include "relay/cat_pump.h"

#include <algorithm>
#include <array>
#include <condition_variable>
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
struct SinkSlot {
    StatusSink* sink = nullptr;
    int calls = 0;  // outputs running in this sink right now
};
std::array<SinkSlot, 4> g_sinks{};
std::mutex g_sinkLock;
std::condition_variable g_sinkIdle;

template <typename Output>
void ForEachSink(Output output)
{
    // The lock only guards the slots; it is never held while a sink runs, so
    // a sink that is slow to take an output (a console nobody reads) holds up
    // the thread that gave it and nobody else.
    for (SinkSlot& slot : g_sinks) {
        StatusSink* sink = nullptr;
        {
            std::lock_guard lock(g_sinkLock);
            sink = slot.sink;
            if (!sink)
                continue;
            ++slot.calls;
        }
        output(*sink);
        {
            std::lock_guard lock(g_sinkLock);
            --slot.calls;
        }
        g_sinkIdle.notify_all();
    }
}

}  // namespace

void RegisterStatusSink(StatusSink* sink)
{
    std::lock_guard lock(g_sinkLock);
    auto has = [&](const SinkSlot& slot) { return slot.sink == sink; };
    if (std::find_if(g_sinks.begin(), g_sinks.end(), has) != g_sinks.end())
        return;
    // A slot whose last sink still finishes an output is not free yet.
    auto free = [](const SinkSlot& slot) { return !slot.sink && slot.calls == 0; };
    auto slot = std::find_if(g_sinks.begin(), g_sinks.end(), free);
    if (slot != g_sinks.end())
        slot->sink = sink;
}

void UnregisterStatusSink(StatusSink* sink)
{
    std::unique_lock lock(g_sinkLock);
    for (SinkSlot& slot : g_sinks) {
        if (slot.sink != sink)
            continue;
        slot.sink = nullptr;
        g_sinkIdle.wait(lock, [&] { return slot.calls == 0; });
    }
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
