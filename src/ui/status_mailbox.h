// Carries the relay's status outputs to the windows.
//
// A pump thread must never wait for the user-interface thread, which may be
// waiting for that pump (Disconnect joins it). So outputs from a pump are
// left here and the main window is only posted a note; it takes the newest
// texts when it gets to the note. Outputs made on the user-interface thread
// itself are applied at once, in order with everything it does.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "relay/relay_state.h"

namespace brinvale {

constexpr UINT WM_APP_STATUS = WM_APP + 1;

struct StatusUpdate {
    std::optional<std::wstring> link;
    std::optional<std::wstring> progress;
    std::optional<std::wstring> transferText;
    Colour transferColour = kOkColour;
};

class StatusMailbox : public StatusSink {
public:
    using Apply = std::function<void(const StatusUpdate&)>;

    StatusMailbox(HWND target, Apply apply);

    void OnLinkStatus(std::string_view text) override;
    void OnProgressText(std::string_view text) override;
    void OnTransferState(std::string_view text, Colour colour) override;

    // Called by the target window for WM_APP_STATUS.
    void Deliver();

private:
    template <typename Fill>
    void Store(Fill fill);

    HWND m_hTarget;
    DWORD m_uiThread;
    Apply m_apply;
    std::mutex m_lock;
    StatusUpdate m_pending;
    bool m_bPosted = false;
};

}  // namespace brinvale
