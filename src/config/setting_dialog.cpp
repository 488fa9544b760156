#include "config/setting_dialog.h"

#include "common/file_version.h"
#include "common/program_paths.h"
#include "common/text.h"
#include "config/port_list.h"
#include "config/run_key.h"
#include "config/settings.h"
#include "log/traffic_log.h"
#include "res/resource.h"

namespace brinvale {

CSettingDlg::CSettingDlg(AppShell& shell) : Dialog(IDD_SETTING_DIALOG), m_shell(shell) {}

bool CSettingDlg::IsChecked(int id) const
{
    return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

BOOL CSettingDlg::OnInitDialog()
{
    SetSmallIcon(IDR_MAINFRAME);

    FillPortList(Item(IDC_START_PORT));
    SendMessageW(Item(IDC_START_PORT), CB_SETCURSEL, 0, 0);
    FillSpeedList(Item(IDC_START_SPEED));
    ShowLogFolder();

    std::string registered;
    CheckDlgButton(Handle(), IDC_RUN_AT_LOGON,
                   ReadUserRegistryString(kRunKey, g_paths.szBaseName, registered) == 1 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(Handle(), IDC_LOG_SWITCH, g_bLogEnabled ? BST_CHECKED : BST_UNCHECKED);
    EnableItem(IDC_START_PORT, g_bAutoConnect != 0);
    EnableItem(IDC_START_SPEED, g_bAutoConnect != 0);
    CheckDlgButton(Handle(), IDC_AUTO_CONNECT, g_bAutoConnect != 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(Handle(), IDC_SHOW_STATUS, g_bShowStatusBox != 0 ? BST_CHECKED : BST_UNCHECKED);
    SelectSavedPortAndSpeed(Item(IDC_START_PORT), Item(IDC_START_SPEED));
    m_bConnChanged = false;
    SetItemText(IDC_SETTING_VERSION, FromAnsi(ReadFileVersionText()));
    SetFocus(Item(IDC_CLOSE_SETTINGS));
    return FALSE;  // the focus is set
}

void CSettingDlg::ShowLogFolder()
{
    const std::wstring folder = FromAnsi(ProgramFolder() + kTrafficLogFolder);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (exists || CreateDirectoryW(folder.c_str(), nullptr))
        SetItemText(IDC_LOG_FOLDER, folder);
}

void CSettingDlg::OnCommand(int id, int code, HWND)
{
    switch (id) {
    case IDC_CLOSE_SETTINGS:
        PostMessageW(Handle(), WM_CLOSE, 0, 0);
        break;
    case IDC_RUN_AT_LOGON:
        OnRunAtLogon();
        break;
    case IDC_AUTO_CONNECT:
        OnAutoConnect();
        break;
    case IDC_SHOW_STATUS:
        OnShowStatus();
        break;
    case IDC_LOG_SWITCH:
        OnLogSwitch();
        break;
    case IDC_START_PORT:
        if (code == CBN_SELCHANGE)
            OnStartPort();
        break;
    case IDC_START_SPEED:
        if (code == CBN_SELCHANGE)
            OnStartSpeed();
        break;
    case IDC_REMOVE_PROGRAM:
        OnRemoveProgram();
        break;
    default:
        break;
    }
}

// Only the value's existence counts when the dialog opens; a click writes the
// present path or deletes the value, and the box keeps the user's choice.
void CSettingDlg::OnRunAtLogon()
{
    if (IsChecked(IDC_RUN_AT_LOGON))
        SetRunValue(RunCommandForThisProgram());
    else
        DeleteRunValue();
}

void CSettingDlg::OnAutoConnect()
{
    const bool on = IsChecked(IDC_AUTO_CONNECT);
    EnableItem(IDC_START_PORT, on);
    EnableItem(IDC_START_SPEED, on);
    WriteSetting(kAutoRunKey, on ? "Y" : "N");
    if (on) {
        // What the lists show now becomes the saved start option.
        OnStartPort();
        OnStartSpeed();
    }
    g_bAutoConnect = on ? 1 : 0;
}

void CSettingDlg::OnShowStatus()
{
    const bool on = IsChecked(IDC_SHOW_STATUS);
    WriteSetting(kStatusBoxKey, on ? "show" : "hidden");
    g_bShowStatusBox = on ? 1 : 0;
}

void CSettingDlg::OnLogSwitch()
{
    const bool on = IsChecked(IDC_LOG_SWITCH);
    WriteSetting(kLogKey, on ? "Y" : "N");
    g_bLogEnabled = on ? 1 : 0;
    m_shell.SetLogging(on);
}

void CSettingDlg::OnStartPort()
{
    const std::wstring entry = SelectedEntry(Item(IDC_START_PORT));
    const std::string text = ToAnsi(entry.size() > 3 ? entry.substr(3) : std::wstring()).substr(0, 7);
    const int port = PortNumberFromEntry(entry);
    if (port == g_nComPort)
        return;
    WriteSetting(kPortKey, text);
    g_nComPort = port;
    m_bConnChanged = true;
}

void CSettingDlg::OnStartSpeed()
{
    const std::wstring rate = SpeedFromLabel(LabelForSpeed(SelectedEntry(Item(IDC_START_SPEED))));
    if (rate == g_strComSpeed)
        return;
    WriteSetting(kSpeedKey, ToAnsi(LabelForSpeed(rate)).substr(0, 7));
    g_strComSpeed = rate;
    m_bConnChanged = true;
}

void CSettingDlg::OnRemoveProgram()
{
    if (MessageBoxW(Handle(), L"정말로 삭제하시겠습니까?", L"OstrelBrinvale", MB_YESNO) != IDYES)
        return;
    PostMessageW(Handle(), WM_CLOSE, 0, 0);
    m_shell.RemoveProgram();
}

void CSettingDlg::OnClose()
{
    if (m_bConnChanged) {
        const int answer = MessageBoxW(Handle(),
                                       L"변경된 단말기 접속 정보를 바로 적용하시겠습니까?\n"
                                       L"(미적용시 다음 실행시 부터 적용됩니다.)",
                                       L"OstrelBrinvale", MB_YESNO);
        m_bApplyNow = answer == IDYES ? 1 : 0;
    }
    Dialog::OnClose();
}

HBRUSH CSettingDlg::OnCtlColor(HDC dc, HWND control, UINT message)
{
    if (message == WM_CTLCOLORDLG)
        SetBkColor(dc, RGB(0, 0, 255));
    return Dialog::OnCtlColor(dc, control, message);
}

}  // namespace brinvale
