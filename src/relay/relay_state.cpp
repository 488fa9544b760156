#include "relay/relay_state.h"

#include <algorithm>

#include "relay/cat_pump.h"

namespace brinvale {

void RelayState::Reset()
{
    bSerialOpen = false;
    bSerialLost = false;
    nFailedReads = 0;
    bVanConnected = false;
    bNotifyCatOnDrop = false;
    nKeepAlive = kKeepAliveStep;
}

template <typename Output>
void StatusOutputs::ForEachSink(Output output)
{
    // The lock only guards the slots; it is never held while a sink runs, so
    // a sink that is slow to take an output (a console nobody reads) holds up
    // the thread that gave it and nobody else.
    for (Slot& slot : m_slots) {
        StatusSink* sink = nullptr;
        {
            std::lock_guard lock(m_lock);
            sink = slot.sink;
            if (!sink)
                continue;
            ++slot.calls;
        }
        output(*sink);
        {
            std::lock_guard lock(m_lock);
            --slot.calls;
        }
        m_idle.notify_all();
    }
}

void StatusOutputs::Register(StatusSink* sink)
{
    std::lock_guard lock(m_lock);
    auto has = [&](const Slot& slot) { return slot.sink == sink; };
    if (std::find_if(m_slots.begin(), m_slots.end(), has) != m_slots.end())
        return;
    // A slot whose last sink still finishes an output is not free yet.
    auto free = [](const Slot& slot) { return !slot.sink && slot.calls == 0; };
    auto slot = std::find_if(m_slots.begin(), m_slots.end(), free);
    if (slot != m_slots.end())
        slot->sink = sink;
}

void StatusOutputs::Unregister(StatusSink* sink)
{
    std::unique_lock lock(m_lock);
    for (Slot& slot : m_slots) {
        if (slot.sink != sink)
            continue;
        slot.sink = nullptr;
        m_idle.wait(lock, [&] { return slot.calls == 0; });
    }
}

void StatusOutputs::ShowProgressText(std::string_view text)
{
    ForEachSink([&](StatusSink& sink) { sink.OnProgressText(text); });
}

void StatusOutputs::SetTransferState(std::string_view text, Colour colour)
{
    ForEachSink([&](StatusSink& sink) { sink.OnTransferState(text, colour); });
}

void StatusOutputs::ShowLinkStatus(std::string_view text)
{
    ForEachSink([&](StatusSink& sink) { sink.OnLinkStatus(text); });
}

std::string_view LinkStatusText(bool serialOpen, bool vanConnected)
{
    if (serialOpen)
        return vanConnected ? "CAT : 연결 | VAN : 연결" : "CAT : 연결 | VAN : 비연결";
    return vanConnected ? "CAT : 비연결 | VAN : 연결" : "CAT : 비연결 | VAN : 비연결";
}

}  // namespace brinvale
