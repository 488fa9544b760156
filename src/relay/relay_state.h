// The relay's shared state and its three status outputs. Both live inside
// the Relay (relay.h); only the Relay writes them.
//
// Who writes what, and on which thread:
//
//   RelayState         written by                                thread
//   bSerialOpen        OpenSerialChannel, CloseSerialChannel     user interface
//   bSerialLost        MarkSerialLost, ReopenLostSerial          CAT pump
//                      OpenSerialChannel, CloseSerialChannel     user interface
//   nFailedReads       CatPumpStep                               CAT pump
//                      OpenSerialChannel                         user interface
//   bVanConnected      ConnectToVAN                              CAT pump
//                      DropVanLink                               either pump; user
//                                                                interface once
//                                                                both have ended
//   bNotifyCatOnDrop   CatPumpStep                               CAT pump
//                      DropVanLink (takes it with the link)      as DropVanLink
//   nKeepAlive         CatPumpStep, ConnectToVAN                 CAT pump
//                      VanPumpStep                               VAN pump
//   bLogEnabled        SetLogging                                user interface
//   all but the last   Reset (from Start)                        user interface,
//                                                                pumps not running
//
// ("User interface" is whichever thread starts and stops the relay: the main
// window's, brinvale-relay's main thread, a test's.) The pumps and that thread
// share these values, so each is an atomic. Status outputs go to registered
// sinks (the windows, or the console of the headless relay); a sink must
// never block the thread that calls it, so window sinks post their updates
// and the console sink hands its lines to a writer of its own.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace brinvale {

// Colours in the Windows COLORREF layout (0x00BBGGRR).
using Colour = std::uint32_t;
constexpr Colour Rgb(unsigned r, unsigned g, unsigned b) { return r | (g << 8) | (b << 16); }
constexpr Colour kOkColour = Rgb(100, 100, 255);
constexpr Colour kErrorColour = Rgb(255, 100, 100);

struct RelayState {
    std::atomic<bool> bSerialOpen{false};
    // Raised while an open line has gone away (a USB adapter pulled out) and
    // the terminal pump is trying to get it back; the relay keeps running.
    std::atomic<bool> bSerialLost{false};
    // Failed serial reads in a row; the second one means the line is gone.
    std::atomic<int> nFailedReads{0};
    std::atomic<bool> bVanConnected{false};
    std::atomic<bool> bNotifyCatOnDrop{false};
    std::atomic<int> nKeepAlive{0};
    std::atomic<bool> bLogEnabled{false};

    // Back to a fresh start: flags clear, keep-alive at its first step. The
    // log switch stays as it was set.
    void Reset();
};

// Receives the status outputs. Texts are UTF-8.
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void OnLinkStatus(std::string_view text) = 0;
    virtual void OnProgressText(std::string_view text) = 0;
    virtual void OnTransferState(std::string_view text, Colour colour) = 0;
};

// The three outputs and the sinks that receive them. A sink receives outputs
// from the moment it registers until Unregister returns; no call into it is
// running after that. No lock is held while a sink runs, so a slow sink
// holds up only the thread that called it (and an Unregister of that sink),
// never the outputs of another thread. A sink must not unregister itself
// from inside an output.
class StatusOutputs {
public:
    void Register(StatusSink* sink);
    void Unregister(StatusSink* sink);

    void ShowProgressText(std::string_view text);
    void SetTransferState(std::string_view text, Colour colour);
    void ShowLinkStatus(std::string_view text);

private:
    template <typename Output>
    void ForEachSink(Output output);

    // Room for the main window, the status window and one console or test sink.
    struct Slot {
        StatusSink* sink = nullptr;
        int calls = 0;  // outputs running in this sink right now
    };
    std::array<Slot, 4> m_slots{};
    std::mutex m_lock;
    std::condition_variable m_idle;
};

// The link-status text for the two sides.
std::string_view LinkStatusText(bool serialOpen, bool vanConnected);

}  // namespace brinvale
