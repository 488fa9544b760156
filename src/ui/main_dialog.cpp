#include "ui/main_dialog.h"

#include "common/text.h"
#include "config/port_list.h"
#include "config/setting_dialog.h"
#include "config/settings.h"
#include "res/resource.h"
#include "ui/about_dialog.h"
#include "ui/app.h"

namespace brinvale {

CBrinvaleDlg* g_pMainDlg = nullptr;

namespace {

constexpr UINT WM_APP_HIDE = WM_APP + 2;
constexpr UINT WM_APP_HELD_MESSAGES = WM_APP + 3;

}  // namespace

CBrinvaleDlg::CBrinvaleDlg(CBrinvaleApp& app, Relay& relay)
    : Dialog(IDD_BRINVALE_DIALOG),
      m_app(app),
      m_relay(relay),
      m_hIcon(LoadResourceIcon(IDR_MAINFRAME, IconSize::Large)),
      m_transfer(IDC_TRANSFER_BAR, IDC_TRANSFER_LABEL),
      // Explorer broadcasts this when it (re)starts; every notification icon
      // is gone by then and must be added again.
      m_uTaskbarCreated(RegisterWindowMessageW(L"TaskbarCreated"))
{
    g_pStatusDlg = nullptr;
    g_pMainDlg = this;
}

CBrinvaleDlg::~CBrinvaleDlg()
{
    g_pMainDlg = nullptr;
}

void CBrinvaleDlg::ShowHeldMessages()
{
    std::vector<std::wstring> messages;
    messages.swap(m_heldMessages);
    for (const std::wstring& text : messages)
        AppMessageBox(text);
}

BOOL CBrinvaleDlg::OnInitDialog()
{
    SetMainWindow(Handle());
    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SetSmallIcon(IDR_MAINFRAME);

    m_bConfirmExit = true;
    m_transfer.Attach(Handle());
    PrepareLists();
    AddTrayIcon();

    m_pMailbox = std::make_unique<StatusMailbox>(Handle(), [this](const StatusUpdate& update) {
        ApplyStatus(update);
    });
    m_relay.AddStatusSink(m_pMailbox.get());

    m_bShowAllowed = true;
    ShowStoppedButtons(true);
    SetItemText(IDC_LINK_STATUS, L"CAT : 비연결 | VAN : 비연결");
    if (!g_pStatusDlg) {
        CreateStatusWindow();
        ShowWindow(g_pStatusDlg->Handle(), SW_HIDE);
    }
    SelectSavedPortAndSpeed(Item(IDC_PORT_LIST), Item(IDC_SPEED_LIST));
    if (g_bAutoConnect == 1)
        StartRelay();
    // What the start had to say waited for the connection; it comes now.
    m_heldMessages = m_app.EndUnattendedStart();
    if (!m_heldMessages.empty())
        PostMessageW(Handle(), WM_APP_HELD_MESSAGES, 0, 0);
    return TRUE;
}

void CBrinvaleDlg::PrepareLists()
{
    HWND ports = Item(IDC_PORT_LIST);
    SendMessageW(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"선택안함"));
    FillPortList(ports);
    SendMessageW(ports, CB_SETCURSEL, 0, 0);
    HWND speeds = Item(IDC_SPEED_LIST);
    FillSpeedList(speeds);
    SendMessageW(speeds, CB_SETCURSEL, 3, 0);
}

void CBrinvaleDlg::CreateStatusWindow()
{
    m_pStatus = std::make_unique<CProgressDlg>();
    m_pStatus->CreateModeless();
}

void CBrinvaleDlg::AddTrayIcon()
{
    m_nid = {};
    // The full record of this build, as Windows Vista and later take it.
    static_assert(sizeof(NOTIFYICONDATAW) == (sizeof(void*) == 8 ? 976 : 956));
    m_nid.cbSize = sizeof(NOTIFYICONDATAW);
    m_nid.hWnd = Handle();
    m_nid.uID = 1;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = WM_TRAY_NOTIFY;
    m_nid.hIcon = LoadResourceIcon(IDR_MAINFRAME, IconSize::Small);
    wcscpy_s(m_nid.szTip, L"OstrelBrinvale");
    Shell_NotifyIconW(NIM_ADD, &m_nid);
}

void CBrinvaleDlg::ShowMainWindow()
{
    m_bShowAllowed = true;
    ShowWindow(Handle(), SW_RESTORE);
    SetForegroundWindow(Handle());
}

void CBrinvaleDlg::HideMainWindow()
{
    m_bShowAllowed = false;
    ShowWindow(Handle(), SW_SHOWMINIMIZED);
    // Hidden once the minimise has run its course; the window then leaves
    // the screen and the task bar.
    PostMessageW(Handle(), WM_APP_HIDE, 0, 0);
    AddTrayIcon();
}

void CBrinvaleDlg::ShowStatusWindow(bool show)
{
    if (!g_pStatusDlg)
        CreateStatusWindow();
    if (show) {
        // Without taking the focus from the till's own program.
        ShowWindow(g_pStatusDlg->Handle(), SW_SHOWNOACTIVATE);
        g_pStatusDlg->ShowLinkStatus(ItemText(IDC_LINK_STATUS).substr(0, 511));
    } else {
        ShowWindow(g_pStatusDlg->Handle(), SW_HIDE);
    }
}

void CBrinvaleDlg::ShowStoppedButtons(bool stopped)
{
    EnableItem(IDC_CONNECT, stopped);
    EnableItem(IDC_DISCONNECT, !stopped);
    EnableItem(IDC_PORT_LIST, stopped);
    EnableItem(IDC_SPEED_LIST, stopped);
}

void CBrinvaleDlg::SetOwnTransferState(const std::wstring& text, Colour colour)
{
    m_transfer.SetState(Handle(), text, colour);
}

void CBrinvaleDlg::StartRelay()
{
    if (PortNumberOfSelection(Item(IDC_PORT_LIST)) <= 0) {
        AppMessageBox(L"통신포트 선택에 문제가 있습니다.");
        return;
    }
    const std::wstring port = SelectedEntry(Item(IDC_PORT_LIST));
    const std::wstring speed = SelectedEntry(Item(IDC_SPEED_LIST));
    if (!m_relay.Start(Utf8(port), Utf8(speed))) {
        SetOwnTransferState(L"시리얼 연결 오류", kErrorColour);
        MessageBoxW(Handle(), L"시리얼 연결 오류\n\n선택한 포트가 사용 중인지 확인해 보세요.", L"OstrelBrinvale",
                    MB_OKCANCEL);
        return;
    }
    SetOwnTransferState(L"", kOkColour);
    ShowStoppedButtons(false);
    m_bShowAllowed = false;
    ShowWindow(Handle(), SW_HIDE);
    ShowStatusWindow(g_bShowStatusBox != 0);
}

void CBrinvaleDlg::StopRelay()
{
    m_relay.Stop();
    ShowStoppedButtons(true);
}

void CBrinvaleDlg::ApplyStatus(const StatusUpdate& update)
{
    if (update.link) {
        SetItemText(IDC_LINK_STATUS, *update.link);
        if (g_pStatusDlg)
            g_pStatusDlg->ShowLinkStatus(*update.link);
    }
    if (update.progress) {
        SetItemText(IDC_PROGRESS_TEXT, *update.progress);
        if (g_pStatusDlg)
            g_pStatusDlg->ShowProgress(*update.progress);
    }
    if (update.transferText) {
        SetOwnTransferState(*update.transferText, update.transferColour);
        if (g_pStatusDlg)
            g_pStatusDlg->ShowTransferState(*update.transferText, update.transferColour);
    }
}

void CBrinvaleDlg::OnCommand(int id, int, HWND)
{
    switch (id) {
    case IDC_CONNECT:
        StartRelay();
        break;
    case IDC_DISCONNECT:
        StopRelay();
        break;
    case IDC_SETTINGS:
        RunSettings();
        break;
    case ID_TRAY_SHOW:
        ShowMainWindow();
        break;
    case ID_TRAY_HIDE:
        HideMainWindow();
        break;
    case ID_TRAY_STATUS_SHOW:
        ShowStatusWindow(true);
        break;
    case ID_TRAY_STATUS_HIDE:
        ShowStatusWindow(false);
        break;
    case ID_TRAY_ABOUT:
        ShowAbout();
        break;
    case ID_TRAY_EXIT:
        OnExit();
        break;
    default:
        break;
    }
}

// A changed port or speed is applied only when the user says so; otherwise a
// running connection keeps its own until the next start.
void CBrinvaleDlg::RunSettings()
{
    int applyNow = 0;
    {
        CSettingDlg settings(m_app);
        settings.RunModal(Handle());
        applyNow = settings.m_bApplyNow;
    }
    const bool running = m_relay.IsRunning();
    if (applyNow == 1) {
        if (running)
            StopRelay();
        SelectSavedPortAndSpeed(Item(IDC_PORT_LIST), Item(IDC_SPEED_LIST));
        if (g_bAutoConnect == 1)
            StartRelay();
    } else if (!running) {
        SelectSavedPortAndSpeed(Item(IDC_PORT_LIST), Item(IDC_SPEED_LIST));
    }
}

void CBrinvaleDlg::ShowAbout()
{
    if (!g_pAboutDlg) {
        m_pAbout = std::make_unique<CAboutDialog>();
        g_pAboutDlg = m_pAbout.get();
        g_pAboutDlg->CreateModeless();
    }
    ShowWindow(g_pAboutDlg->Handle(), SW_SHOW);
}

void CBrinvaleDlg::OnExit()
{
    if (MessageBoxW(Handle(), L"정말로 종료하시겠습니까?", L"OstrelBrinvale", MB_YESNO) == IDNO)
        return;
    EndModal(IDOK);
}

void CBrinvaleDlg::OnClose()
{
    if (m_bConfirmExit &&
        MessageBoxW(Handle(), L"정말로 종료하시겠습니까?", L"OstrelBrinvale", MB_YESNO) == IDNO)
        return;
    EndModal(IDCANCEL);
}

void CBrinvaleDlg::OnDestroy()
{
    // The pumps end first; nothing they wait on needs this thread.
    m_relay.Stop();
    if (m_pMailbox) {
        m_relay.RemoveStatusSink(m_pMailbox.get());
        m_pMailbox.reset();
    }
    Shell_NotifyIconW(NIM_DELETE, &m_nid);
    g_pStatusDlg = nullptr;
    g_pAboutDlg = nullptr;
    SetMainWindow(nullptr);
}

void CBrinvaleDlg::OnSize(UINT type)
{
    if (type != SIZE_MINIMIZED)
        return;
    HideMainWindow();
    if (m_relay.IsRunning())
        ShowStatusWindow(g_bShowStatusBox != 0);
}

// The show guard: while showing is not allowed, nothing (the dialog's own
// first show, a restore from the task bar) makes the window visible.
void CBrinvaleDlg::OnWindowPosChanging(WINDOWPOS* position)
{
    if (m_bShowAllowed)
        position->flags |= SWP_SHOWWINDOW;
    else
        position->flags &= ~SWP_SHOWWINDOW;
}

void CBrinvaleDlg::OnPaint()
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(Handle(), &paint);
    SendMessageW(Handle(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    GetClientRect(Handle(), &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(Handle(), &paint);
}

void CBrinvaleDlg::OnTrayNotify(UINT mouseMessage)
{
    if (mouseMessage == WM_LBUTTONDBLCLK)
        ShowMainWindow();
    else if (mouseMessage == WM_RBUTTONDOWN)
        ShowTrayMenu();
}

void CBrinvaleDlg::ShowTrayMenu()
{
    POINT cursor{};
    GetCursorPos(&cursor);
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAY_MENU));
    if (!menu)
        return;
    // A notification menu only closes when the user clicks elsewhere if its
    // owner is the foreground window, and needs a message afterwards to
    // close cleanly the next time.
    SetForegroundWindow(Handle());
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, Handle(), nullptr);
    PostMessageW(Handle(), WM_NULL, 0, 0);
    DestroyMenu(menu);
}

HBRUSH CBrinvaleDlg::OnCtlColor(HDC dc, HWND control, UINT message)
{
    if (HBRUSH brush = m_transfer.CtlColor(dc, control, BackgroundBrush()))
        return brush;
    return Dialog::OnCtlColor(dc, control, message);
}

MessageResult CBrinvaleDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == m_uTaskbarCreated && message != 0) {
        AddTrayIcon();
        return 0;
    }
    switch (message) {
    case WM_APP_STATUS:
        if (m_pMailbox)
            m_pMailbox->Deliver();
        return 0;
    case WM_APP_HELD_MESSAGES:
        ShowHeldMessages();
        return 0;
    case WM_APP_HIDE:
        if (!m_bShowAllowed)
            ShowWindow(Handle(), SW_HIDE);
        return 0;
    case WM_TRAY_NOTIFY:
        OnTrayNotify(static_cast<UINT>(lParam));
        return 1;
    case WM_SIZE:
        OnSize(static_cast<UINT>(wParam));
        return std::nullopt;
    case WM_WINDOWPOSCHANGING:
        OnWindowPosChanging(reinterpret_cast<WINDOWPOS*>(lParam));
        return std::nullopt;
    case WM_PAINT:
        if (!IsIconic(Handle()))
            return std::nullopt;
        OnPaint();
        return 0;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<LRESULT>(m_hIcon);
    case WM_DESTROY:
        OnDestroy();
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

}  // namespace brinvale
