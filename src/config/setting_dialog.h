// The settings dialog: every change is saved the moment it is made; a
// changed port or speed is offered for use at once when the dialog closes.
#pragma once

#include "common/app_shell.h"
#include "dialog/dialog.h"

namespace brinvale {

class CSettingDlg : public Dialog {
public:
    explicit CSettingDlg(AppShell& shell);

    // The user answered Yes to applying a changed port or speed now.
    int m_bApplyNow = 0;

protected:
    BOOL OnInitDialog() override;
    void OnCommand(int id, int code, HWND control) override;
    void OnClose() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT message) override;

private:
    bool IsChecked(int id) const;
    void ShowLogFolder();
    void OnRunAtLogon();
    void OnAutoConnect();
    void OnShowStatus();
    void OnLogSwitch();
    void OnStartPort();
    void OnStartSpeed();
    void OnRemoveProgram();

    AppShell& m_shell;
    bool m_bConnChanged = false;
};

}  // namespace brinvale
