// The relay's start and stop, its pump threads, its serial line and its
// outputs; the pump steps themselves are in cat_pump.cpp.
#include "relay/relay.h"

#include <cstdio>

#include "log/traffic_log.h"
#include "relay/serial_channel.h"
#include "relay/van_link.h"

namespace brinvale {

namespace {

constexpr int kPumpPauseMs = 100;

// Port and speed texts in log lines are cut to 31 bytes, as the fields that
// carry them in the log are.
std::string Cut31(const std::string& text)
{
    return text.substr(0, 31);
}

}  // namespace

Relay::Relay()
{
    m_state.Reset();
}

Relay::~Relay()
{
    if (m_bRunning)
        Stop();
    EndPumpThreads();  // none run unless Start failed half way; never left behind
}

bool Relay::Start(const std::string& port, const std::string& speed, Pumps pumps)
{
    if (m_bRunning)
        Stop();
    m_state.Reset();
    m_stop.Reset();
    if (!OpenSerialChannel(port, speed))
        return false;
    if (pumps == Pumps::OnTheirThreads && !StartPumpThreads()) {
        // The system has no thread to give: nothing relays, so nothing stays open.
        CloseSerialChannel();
        SetTransferState("Relay Start FAIL", kErrorColour);
        return false;
    }
    m_bRunning = true;
    return true;
}

void Relay::Stop()
{
    // The pumps first, then the line; the line is closed when the link goes,
    // so the terminal gets no notice it could no longer hear.
    EndPumpThreads();
    CloseSerialChannel();
    DropVanLink();
    ShowProgressText("");
    RefreshLinkStatus();
    m_bRunning = false;
}

// --- the pump threads ------------------------------------------------------

bool Relay::StartPumpThreads()
{
    // The run flags are raised here rather than by the threads themselves, so
    // an EndPumpThreads that comes before a thread has started still ends it.
    m_bCatPumpRun = true;
    m_bVanPumpRun = true;
    try {
        m_catPumpThread = std::thread(&Relay::CatPumpThread, this);
        m_vanPumpThread = std::thread(&Relay::VanPumpThread, this);
    } catch (...) {
        EndPumpThreads();
        return false;
    }
    return true;
}

// Clears the run flags, raises the stop signal so that no pump stays in a
// serial read, a socket wait or a pause, and joins both threads. Never kills
// a thread.
void Relay::EndPumpThreads()
{
    m_bCatPumpRun = false;
    m_bVanPumpRun = false;
    m_stop.Raise();
    for (std::thread* thread : {&m_catPumpThread, &m_vanPumpThread}) {
        if (thread->joinable())
            thread->join();
    }
}

// A pause that the stop signal cuts short.
void Relay::PumpPause()
{
    m_stop.Wait(kPumpPauseMs);
}

// Nothing in a pump step throws by design, but a failed allocation could. An
// exception must never leave a thread (that ends the whole program, and the
// till's payments with it): it ends the step it happened in, and after a
// pause the pump goes on with the next one.
template <typename Step>
void Relay::RunStep(Step step) noexcept
{
    try {
        (this->*step)();
    } catch (...) {
        PumpPause();
    }
}

void Relay::CatPumpThread() noexcept
{
    while (m_bCatPumpRun) {
        if (m_state.bSerialOpen)
            RunStep(&Relay::CatPumpStep);
        else
            PumpPause();
    }
}

void Relay::VanPumpThread() noexcept
{
    while (m_bVanPumpRun) {
        RunStep(&Relay::VanPumpStep);
        PumpPause();
    }
}

// --- the serial line ---------------------------------------------------------

// Creates and opens the channel, and reports on the outputs and the log.
bool Relay::OpenSerialChannel(const std::string& port, const std::string& speed)
{
    // The object being replaced closes whatever it still holds (an open that
    // failed half way, or a channel never closed), so no port stays held.
    m_pSerial.reset();
    m_state.bSerialLost = false;
    m_state.nFailedReads = 0;
    m_pSerial = std::make_unique<CSerialCommCls>(port, speed, "None", "8 Bit", "1 Bit", m_stop);

    const int result = m_pSerial->Open();
    if (result > 0) {
        m_state.bSerialOpen = true;
        ReportOpened(port, speed);
    } else {
        m_state.bSerialOpen = false;
        SetTransferState("Serial Open FAIL", kErrorColour);
        if (m_state.bLogEnabled) {
            char line[160];
            std::snprintf(line, sizeof line, "Serial Open FAIL (Port : %s, Baudrate : %s) [ErrorCode : %d]",
                          Cut31(port).c_str(), Cut31(speed).c_str(), result);
            LogInfo(line);
        }
    }
    return m_state.bSerialOpen;
}

void Relay::ReportOpened(const std::string& port, const std::string& speed)
{
    SetTransferState("", kOkColour);
    if (m_state.bLogEnabled) {
        char line[160];
        std::snprintf(line, sizeof line, "Serial Open OK (Port : %s, Baudrate : %s)", Cut31(port).c_str(),
                      Cut31(speed).c_str());
        LogInfo(line);
    }
}

void Relay::CloseSerialChannel()
{
    m_state.bSerialOpen = false;
    m_state.bSerialLost = false;
    if (m_pSerial) {
        m_pSerial->Close();
        m_pSerial.reset();
    }
    LogInfo("Serial CLOSE");
}

// The open line stopped answering under the running relay: shown on the
// transfer-state bar and logged once, until the line is back.
void Relay::MarkSerialLost()
{
    if (m_state.bSerialLost.exchange(true))
        return;
    SetTransferState("Serial Port LOST", kErrorColour);
    ShowProgressText("Serial Port LOST");
    if (m_state.bLogEnabled && m_pSerial) {
        char line[96];
        std::snprintf(line, sizeof line, "Serial Port LOST (Port : %s)", Cut31(m_pSerial->PortName()).c_str());
        LogInfo(line);
    }
}

// One attempt to open the lost line again with its settings; on success the
// relay goes on and "Serial Open OK" is logged as at the first open.
bool Relay::ReopenLostSerial()
{
    if (!m_pSerial || m_pSerial->Reopen() <= 0)
        return false;
    m_state.bSerialLost = false;
    ReportOpened(m_pSerial->PortName(), m_pSerial->SpeedText());
    return true;
}

// The gateway's control reply: the byte c five times in one write.
void Relay::SendControlToCat(std::uint8_t c)
{
    if (!m_pSerial)
        return;
    const std::uint8_t reply[5] = {c, c, c, c, c};
    m_pSerial->Write(reply, sizeof reply);
    Log(reply, kLogPcToCat, sizeof reply);
}

// --- outputs and the log -----------------------------------------------------

void Relay::RefreshLinkStatus()
{
    m_outputs.ShowLinkStatus(LinkStatusText(m_state.bSerialOpen && !m_state.bSerialLost, m_state.bVanConnected));
}

void Relay::LogInfo(const char* text)
{
    if (m_state.bLogEnabled)
        WriteTrafficLogInfo(text);
}

void Relay::Log(const void* bytes, int code, int length)
{
    if (m_state.bLogEnabled)
        WriteTrafficLog(bytes, code, length);
}

}  // namespace brinvale
