// The relay: the card terminal's serial line on one side, the VAN link the
// terminal asks for on the other, and the two pumps between them. One object
// holds all of it (the state of relay_state.h, the stop signal, the status
// outputs, the traffic-log switch, the serial channel, the VAN link and the
// pump threads); the main window, brinvale-relay and the tests each make one,
// and each stops it the same way, with Stop.
//
// Where the parts live: relay.cpp starts and stops the relay and keeps its
// serial line and outputs; cat_pump.cpp is the protocol (the two pump
// steps); van_link.cpp is the link to the VAN; serial_channel.cpp and the
// socket_*.cpp files are the channels themselves.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "relay/relay_state.h"
#include "relay/wake_signal.h"

namespace brinvale {

class CSerialCommCls;
class CSocketCommCls;

class Relay {
public:
    // The pump steps run on the relay's two threads, or the caller runs
    // them (the fuzzer does, on one thread and without a real wait).
    enum class Pumps { OnTheirThreads, ByTheCaller };

    Relay();
    ~Relay();  // stops a running relay
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Opens the terminal's line (port and speed as the user chose them,
    // UTF-8), reports it on the outputs and in the log, and starts the
    // pumps. False, with nothing left open, when the port cannot be opened or
    // the system gives no thread. A running relay is stopped first.
    bool Start(const std::string& port, const std::string& speed, Pumps pumps = Pumps::OnTheirThreads);

    // The one way to stop (Disconnect, the program's end, SIGTERM): the pumps
    // end, the serial line closes, the VAN link is dropped (without the
    // terminal's notice: its line is closed already), the progress text
    // clears and the link status is shown. Safe at any time, and again.
    void Stop();

    // From a successful Start until Stop, a lost line included.
    bool IsRunning() const { return m_bRunning; }

    // The traffic log of every unit and channel event, while on.
    void SetLogging(bool on) { m_state.bLogEnabled = on; }

    // Outputs reach a sink from Add until Remove has returned.
    void AddStatusSink(StatusSink* sink) { m_outputs.Register(sink); }
    void RemoveStatusSink(StatusSink* sink) { m_outputs.Unregister(sink); }

    // One pass of each pump: the CAT pump reads a burst from the terminal
    // and acts on it, then applies the keep-alive rule; the VAN pump waits for
    // what the server sends and writes it to the terminal.
    void CatPumpStep();
    void VanPumpStep();

    const RelayState& State() const { return m_state; }

private:
    struct Burst;

    // The pump threads (relay.cpp).
    bool StartPumpThreads();
    void EndPumpThreads();
    void CatPumpThread() noexcept;
    void VanPumpThread() noexcept;
    template <typename Step>
    void RunStep(Step step) noexcept;
    void PumpPause();

    // The serial line and the outputs (relay.cpp).
    bool OpenSerialChannel(const std::string& port, const std::string& speed);
    void CloseSerialChannel();
    void MarkSerialLost();
    bool ReopenLostSerial();
    void ReportOpened(const std::string& port, const std::string& speed);
    void SendControlToCat(std::uint8_t c);
    void ShowProgressText(std::string_view text) { m_outputs.ShowProgressText(text); }
    void SetTransferState(std::string_view text, Colour colour) { m_outputs.SetTransferState(text, colour); }
    void RefreshLinkStatus();
    void LogInfo(const char* text);
    void Log(const void* bytes, int code, int length);

    // The terminal's side of the protocol (cat_pump.cpp).
    int ReadSerial(int count, std::uint8_t* dest);
    bool ReadBurst(Burst& burst);
    void OnFailedRead();
    void GiveUpLostLine();
    void RetryLostLine();
    void HandleBurstOnLink(const Burst& burst);
    void HandleBurstWithoutLink(Burst& burst);
    void RefuseRequest(const char* text);
    void ApplyKeepAlive();
    void RelayVanData(const std::uint8_t* data, int count);

    // The link to the VAN (van_link.cpp).
    std::shared_ptr<CSocketCommCls> CurrentVanLink();
    bool ConnectToVAN(const char* ip, const char* port);
    void DropVanLink();
    void DropVanLinkIfCurrent(const CSocketCommCls* link);
    std::shared_ptr<CSocketCommCls> TakeVanLink(bool& notifyCat, const CSocketCommCls* expected = nullptr);
    void TearDown(std::shared_ptr<CSocketCommCls> link, bool notifyCat);

    RelayState m_state;
    WakeSignal m_stop;  // ends every wait of the pumps when the relay stops
    StatusOutputs m_outputs;
    // Replaced only while no pump runs; the pumps only borrow it.
    std::unique_ptr<CSerialCommCls> m_pSerial;
    // The current link: whoever drops it takes it out under the lock; the
    // socket closes when the last user lets go (van_link.h).
    std::mutex m_linkLock;
    std::shared_ptr<CSocketCommCls> m_pSocket;

    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bCatPumpRun{false};
    std::atomic<bool> m_bVanPumpRun{false};
    std::thread m_catPumpThread;
    std::thread m_vanPumpThread;

    // tests/support/relay_access.h takes the steps one at a time.
    friend class RelayTestAccess;
};

}  // namespace brinvale
