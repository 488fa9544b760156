#include "relay/pump_threads.h"

#include "log/traffic_log.h"
#include "relay/cat_pump.h"
#include "relay/relay_state.h"
#include "relay/serial_channel.h"
#include "relay/van_link.h"

namespace brinvale {

namespace {

constexpr int kPumpPauseMs = 100;

// A pause that the relay stop signal cuts short.
void PumpPause()
{
    RelayStopSignal().Wait(kPumpPauseMs);
}

void RelayVanData(const std::uint8_t* data, int count)
{
    ShowProgressText("VAN->PC");
    g_nKeepAlive = kKeepAliveStep;
    if (g_bLogEnabled)
        WriteTrafficLog(data, kLogVanToPc, count);
    if (CSerialCommCls* serial = CurrentSerial())
        serial->Write(data, count);
    ShowProgressText("PC->CAT");
    if (g_bLogEnabled)
        WriteTrafficLog(data, kLogPcToCat, count);
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
    std::uint8_t buffer[kVanBufferSize];
    while (m_bVanPumpRun) {
        std::shared_ptr<CSocketCommCls> link = CurrentVanLink();
        if (g_bVanConnected && link) {
            std::fill(std::begin(buffer), std::end(buffer), std::uint8_t{0});
            const int count = link->Receive(buffer);
            if (count > 0)
                RelayVanData(buffer, count);
            else if (m_bVanPumpRun)
                DropVanLinkIfCurrent(link.get());
            link.reset();
        }
        PumpPause();
    }
}

}  // namespace brinvale
