// The main window: port and speed choice, Connect and Disconnect, the relay's
// status, and the notification icon that the program lives behind.
#pragma once

#include <memory>

#include "relay/pump_threads.h"
#include "ui/about_dialog.h"
#include "ui/dialog.h"

#include <shellapi.h>
#include "ui/look.h"
#include "ui/status_dialog.h"
#include "ui/status_mailbox.h"

namespace brinvale {

constexpr UINT WM_TRAY_NOTIFY = WM_USER + 1;

class CBrinvaleDlg : public Dialog {
public:
    CBrinvaleDlg();
    ~CBrinvaleDlg() override;

    void AddTrayIcon();
    void ShowMainWindow();
    void HideMainWindow();
    void ShowStatusWindow(bool show);
    void StartRelay();
    void StopRelay();
    bool IsRelayRunning() const;

    bool m_bConfirmExit = false;
    bool m_bShowAllowed = false;

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    void OnCommand(int id, int code, HWND control) override;
    void OnClose() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT message) override;

private:
    void ComputeProgramPaths();
    void CheckUninstallSwitch();
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

    HICON m_hIcon;
    NOTIFYICONDATAW m_nid{};
    TransferBar m_transfer;
    RelayThreads m_relay;
    std::unique_ptr<CProgressDlg> m_pStatus;
    std::unique_ptr<CAboutDialog> m_pAbout;
    std::unique_ptr<StatusMailbox> m_pMailbox;
    UINT m_uTaskbarCreated;
};

extern CBrinvaleDlg* g_pMainDlg;

}  // namespace brinvale
