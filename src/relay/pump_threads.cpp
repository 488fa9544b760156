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

}  // namespace

void RelayThreads::StartPumpThreads()
{
    if (IsRunning())
        return;
    RelayStopSignal().Reset();
    // The run flags are raised here rather than by the threads themselves, so
    // an EndPumpThreads that comes before a thread has started still ends it.
    m_bCatPumpRun = true;
    m_bVanPumpRun = true;
    m_pCatPumpThread = std::make_unique<std::thread>(&RelayThreads::CatPumpThread, this);
    m_pVanPumpThread = std::make_unique<std::thread>(&RelayThreads::VanPumpThread, this);
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
            CatPumpStep();
        else
            PumpPause();
    }
}

void RelayThreads::VanPumpThread()
{
    while (m_bVanPumpRun) {
        VanPumpStep();
        PumpPause();
    }
}

}  // namespace brinvale
