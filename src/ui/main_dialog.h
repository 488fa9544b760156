// The main window: port and speed choice, Connect and Disconnect, the relay's
// status, and the notification icon that the program lives behind.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "common/app_shell.h"
#include "dialog/dialog.h"
#include "relay/pump_threads.h"
#include "ui/about_dialog.h"
#include "ui/look.h"
#include "ui/status_dialog.h"
#include "ui/status_mailbox.h"

namespace brinvale {

constexpr UINT WM_TRAY_NOTIFY = WM_USER + 1;

class CBrinvaleDlg : public Dialog, public AppShell {
public:
    CBrinvaleDlg();
    ~CBrinvaleDlg() override;

    // What the installation, the update and the settings may ask.
    void QuitWithoutAsking() override;
    bool IsQuitting() const override { return m_bQuitting; }
    void AllowShowing(bool allow) override { m_bShowAllowed = allow; }
    void RemoveProgram() override;
    void ShowMessage(const std::wstring& text) override;

    void AddTrayIcon();
    void ShowMainWindow();
    void HideMainWindow();
    void ShowStatusWindow(bool show);
    void StartRelay();
    void StopRelay();
    bool IsRelayRunning() const;

protected:
    MessageResult OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
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
    void ShowDeferredMessages();

    // Closing asks first while set; a quit request never asks.
    bool m_bConfirmExit = false;
    // While clear, nothing makes the main window visible.
    bool m_bShowAllowed = false;
    bool m_bQuitting = false;
    // From the window's creation until an automatic connection has been
    // made: messages wait meanwhile.
    bool m_bUnattendedStart = false;
    std::vector<std::wstring> m_deferredMessages;

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
