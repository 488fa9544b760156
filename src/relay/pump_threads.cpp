#include "relay/pump_threads.h"

#include "relay/cat_pump.h"
#include "relay/relay_state.h"

namespace brinvale {

namespace {

constexpr int kPumpPauseMs = 100;

// A pause that the relay stop signal cuts short.
void PumpPause()
{
    RelayStopSignal().Wait(kPumpPauseMs);
}

// Nothing in a pump step throws by design, but a failed allocation could. An
// exception must never leave a thread (that ends the whole program, and the
// till's payments with it): it ends the step it happened in, and after a
// pause the pump goes on with the next one.
template <typename Step>
void RunStep(Step step)
{
    try {
        step();
    } catch (...) {
        PumpPause();
    }
}

}  // namespace

bool RelayThreads::StartPumpThreads()
{
    if (IsRunning())
        return true;
    RelayStopSignal().Reset();
    // The run flags are raised here rather than by the threads themselves, so
    // an EndPumpThreads that comes before a thread has started still ends it.
    m_bCatPumpRun = true;
    m_bVanPumpRun = true;
    try {
        m_pCatPumpThread = std::make_unique<std::thread>(&RelayThreads::CatPumpThread, this);
        m_pVanPumpThread = std::make_unique<std::thread>(&RelayThreads::VanPumpThread, this);
    } catch (...) {
        // The system would not give a thread: end the one that started.
        EndPumpThreads();
        return false;
    }
    return true;
}

void RelayThreads::EndPumpThreads()
{
    m_bCatPumpRun = false;
    m_bVanPumpRun = false;
    RelayStopSignal().Raise();
    for (std::unique_ptr<std::thread>* thread : {&m_pCatPumpThread, &m_pVanPumpThread}) {
        if (*thread && (*thread)->joinable())
            (*thread)->join();
        thread->reset();
    }
}

void RelayThreads::CatPumpThread()
{
    while (m_bCatPumpRun) {
        if (g_bSerialOpen)
            RunStep(CatPumpStep);
        else
            PumpPause();
    }
}

void RelayThreads::VanPumpThread()
{
    while (m_bVanPumpRun) {
        RunStep(VanPumpStep);
        PumpPause();
    }
}

}  // namespace brinvale
