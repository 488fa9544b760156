// Process-wide relay state and the three status outputs.
//
// Who writes what, and on which thread (only relay/ writes these; a window or
// brinvale-relay's main calls ResetRelayState instead):
//
//   value              written by                                thread
//   g_bSerialOpen      OpenSerialChannel, CloseSerialChannel     user interface
//   g_bSerialLost      MarkSerialLost, ReopenLostSerial          CAT pump
//                      OpenSerialChannel, CloseSerialChannel     user interface
//   g_nFailedReads     CatPumpStep                               CAT pump
//                      OpenSerialChannel                         user interface
//   g_bVanConnected    ConnectToVAN                              CAT pump
//                      DropVanLink                               either pump; user
//                                                                interface once
//                                                                both have ended
//                      CloseVanLinkQuiet                         user interface
//   g_bNotifyCatOnDrop CatPumpStep                               CAT pump
//                      DropVanLink (takes it with the link)      as DropVanLink
//   g_nKeepAlive       CatPumpStep, ConnectToVAN                 CAT pump
//                      VanPumpStep                               VAN pump
//   all of the above   ResetRelayState                           user interface,
//                                                                pumps not running
//
// g_bLogEnabled is a setting rather than relay state: the settings reader and
// dialog (and brinvale-relay's --log) write it on the user-interface thread;
// the relay only reads it.
//
// The pump threads and the user-interface thread share these values, so each
// is an atomic. Status outputs go to registered sinks (the windows, or the
// console of the headless relay); a sink must never block the thread that
// calls it, so window sinks post their updates and the console sink hands its
// lines to a writer of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "relay/wake_signal.h"

namespace brinvale {

// Colours in the Windows COLORREF layout (0x00BBGGRR).
using Colour = std::uint32_t;
constexpr Colour Rgb(unsigned r, unsigned g, unsigned b) { return r | (g << 8) | (b << 16); }
constexpr Colour kOkColour = Rgb(100, 100, 255);
constexpr Colour kErrorColour = Rgb(255, 100, 100);

extern std::atomic<bool> g_bSerialOpen;
// Raised while an open line has gone away (a USB adapter pulled out) and the
// terminal pump is trying to get it back; the relay itself keeps running.
extern std::atomic<bool> g_bSerialLost;
extern std::atomic<bool> g_bVanConnected;
extern std::atomic<bool> g_bNotifyCatOnDrop;
extern std::atomic<bool> g_bLogEnabled;
extern std::atomic<int> g_nKeepAlive;
// Failed serial reads in a row; the second one means the line is gone.
extern std::atomic<int> g_nFailedReads;

// Raised to end every blocking wait of the pumps (serial read, VAN receive,
// pauses) when the relay stops; reset when it starts again.
WakeSignal& RelayStopSignal();

// Receives the status outputs. Texts are UTF-8.
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void OnLinkStatus(std::string_view text) = 0;
    virtual void OnProgressText(std::string_view text) = 0;
    virtual void OnTransferState(std::string_view text, Colour colour) = 0;
};

// A sink receives outputs from the moment it registers until Unregister
// returns; no call into it is running after that. No lock is held while a
// sink runs, so a slow sink holds up only the thread that called it (and an
// Unregister of that sink), never the outputs of another thread. A sink must
// not unregister itself from inside an output.
void RegisterStatusSink(StatusSink* sink);
void UnregisterStatusSink(StatusSink* sink);

void ShowProgressText(std::string_view text);
void SetTransferState(std::string_view text, Colour colour);
void RefreshLinkStatus();

// The link-status text for the two flags.
std::string_view LinkStatusText(bool serialOpen, bool vanConnected);

// Back to the state of a fresh start (flags clear, keep-alive 5): what the
// main window and brinvale-relay do before the relay first runs.
void ResetRelayState();

}  // namespace brinvale
