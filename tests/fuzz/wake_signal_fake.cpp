// The wake signal of the fuzzers: raised or not, and waits that never sleep.
// A wait that no raise ends counts its whole time-out as passed, so a fuzzer
// sees how long the engine would have paused without spending that time.
#include "relay/wake_signal.h"

#include <map>
#include <mutex>

#include "fake_platform.h"

namespace brinvale {

namespace {

struct Signals {
    std::mutex lock;
    std::map<const WakeSignal*, bool> raised;
    long long waitedMs = 0;
};

// Built by the first signal, so it outlives every signal (the relay stop
// signal is a function-local static too).
Signals& AllSignals()
{
    static Signals signals;
    return signals;
}

}  // namespace

namespace fuzz {

long long WaitedMilliseconds()
{
    Signals& signals = AllSignals();
    std::lock_guard lock(signals.lock);
    return signals.waitedMs;
}

}  // namespace fuzz

// m_fd stays -1: there is no descriptor behind the fake.
WakeSignal::WakeSignal()
{
    Signals& signals = AllSignals();
    std::lock_guard lock(signals.lock);
    signals.raised[this] = false;
}

WakeSignal::~WakeSignal()
{
    Signals& signals = AllSignals();
    std::lock_guard lock(signals.lock);
    signals.raised.erase(this);
}

void WakeSignal::Raise()
{
    Signals& signals = AllSignals();
    std::lock_guard lock(signals.lock);
    signals.raised[this] = true;
}

void WakeSignal::Reset()
{
    Signals& signals = AllSignals();
    std::lock_guard lock(signals.lock);
    signals.raised[this] = false;
}

bool WakeSignal::IsRaised() const
{
    Signals& signals = AllSignals();
    std::lock_guard lock(signals.lock);
    return signals.raised[this];
}

bool WakeSignal::Wait(int timeoutMs) const
{
    Signals& signals = AllSignals();
    std::lock_guard lock(signals.lock);
    if (signals.raised[this])
        return true;
    signals.waitedMs += timeoutMs > 0 ? timeoutMs : 0;
    return false;
}

}  // namespace brinvale
