// The main window: port and speed choice, Connect and Disconnect, the relay's
// status, and the notification icon that the program lives behind.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "dialog/dialog.h"
#include "relay/relay.h"
#include "ui/about_dialog.h"
#include "ui/look.h"
#include "ui/status_dialog.h"
#include "ui/status_mailbox.h"

namespace brinvale {

constexpr UINT WM_TRAY_NOTIFY = WM_USER + 1;

class CBrinvaleApp;

class CBrinvaleDlg : public Dialog {
public:
    // The application runs the start before it makes the window; the relay
    // is the application's, the window starts and stops it.
    CBrinvaleDlg(CBrinvaleApp& app, Relay& relay);
    ~CBrinvaleDlg() override;

protected:
    MessageResult OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    void OnCommand(int id, int code, HWND control) override;
    void OnClose() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT message) override;

private:
    void AddTrayIcon();
    void ShowMainWindow();
    void HideMainWindow();
    void ShowStatusWindow(bool show);
    void StartRelay();
    void StopRelay();
    void PrepareLists();
    void CreateStatusWindow();
    void OnDestroy();
    void OnSize(UINT type);
    void OnWindowPosChanging(WINDOWPOS* position);
    void OnPaint();
    void OnTrayNotify(UINT mouseMessage);
    void ShowTrayMenu();
    void OnExit();
    void ShowAbout();
    void RunSettings();
    void SetOwnTransferState(const std::wstring& text, Colour colour);
    void ApplyStatus(const StatusUpdate& update);
    void ShowStoppedButtons(bool stopped);
    void ShowHeldMessages();

    CBrinvaleApp& m_app;
    Relay& m_relay;
    // Closing asks first once the window is up; a quit request never asks.
    bool m_bConfirmExit = false;
    // While clear, nothing makes the main window visible.
    bool m_bShowAllowed = false;
    std::vector<std::wstring> m_heldMessages;

    HICON m_hIcon;
    NOTIFYICONDATAW m_nid{};
    TransferBar m_transfer;
    std::unique_ptr<CProgressDlg> m_pStatus;
    std::unique_ptr<CAboutDialog> m_pAbout;
    std::unique_ptr<StatusMailbox> m_pMailbox;
    UINT m_uTaskbarCreated;
};

extern CBrinvaleDlg* g_pMainDlg;

}  // namespace brinvale
