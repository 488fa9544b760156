#include "ui/status_dialog.h"

#include <commctrl.h>

#include "res/resource.h"

namespace brinvale {

CProgressDlg* g_pStatusDlg = nullptr;

namespace {
constexpr int kMinAlpha = 100;
constexpr int kMaxAlpha = 255;
}  // namespace

CProgressDlg::CProgressDlg() : Dialog(IDD_STATUS_DIALOG), m_transfer(IDC_STATUS_BAR, IDC_STATUS_LABEL)
{
    g_pStatusDlg = this;
}

BOOL CProgressDlg::OnInitDialog()
{
    SetSmallIcon(IDR_MAINFRAME);

    m_transfer.Attach(Handle());
    ShowTransferState(L"", kOkColour);

    HWND slider = Item(IDC_ALPHA_SLIDER);
    SendMessageW(slider, TBM_SETRANGE, FALSE, MAKELPARAM(kMinAlpha, kMaxAlpha));
    SendMessageW(slider, TBM_SETTICFREQ, 5, 0);
    SendMessageW(slider, TBM_SETLINESIZE, 0, 1);
    SendMessageW(slider, TBM_SETPAGESIZE, 0, 5);
    SendMessageW(slider, TBM_SETPOS, TRUE, kMaxAlpha);
    m_nAlpha = kMaxAlpha;

    PlaceInLowerRightCorner();
    return TRUE;
}

// Above a task bar at the bottom of the screen: 2 pixels from the right edge,
// 35 from the bottom. Placed once; afterwards it stays where it is dragged.
void CProgressDlg::PlaceInLowerRightCorner()
{
    RECT screen{};
    GetWindowRect(GetDesktopWindow(), &screen);
    RECT own{};
    GetWindowRect(Handle(), &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    MoveWindow(Handle(), screen.right - width - 2, screen.bottom - height - 35, width, height, TRUE);
}

void CProgressDlg::ShowLinkStatus(const std::wstring& text)
{
    SetItemText(IDC_STATUS_LINK, text);
}

void CProgressDlg::ShowProgress(const std::wstring& text)
{
    SetItemText(IDC_PROGRESS_TEXT, text);
}

void CProgressDlg::ShowTransferState(const std::wstring& text, Colour colour)
{
    m_transfer.SetState(Handle(), text, colour);
}

void CProgressDlg::OnHScroll(HWND source)
{
    if (source != Item(IDC_ALPHA_SLIDER))
        return;
    m_nAlpha = static_cast<int>(SendMessageW(source, TBM_GETPOS, 0, 0));
    InvalidateRect(Handle(), nullptr, TRUE);
}

// The layered style and the opacity are applied at every erase, so a slider
// move reaches the screen through the erase its invalidation causes.
BOOL CProgressDlg::OnEraseBackground(HDC dc)
{
    RECT client{};
    GetClientRect(Handle(), &client);
    HGDIOBJ old = SelectObject(dc, GetStockObject(WHITE_BRUSH));
    PatBlt(dc, client.left, client.top, client.right - client.left, client.bottom - client.top, PATCOPY);
    SelectObject(dc, old);

    const LONG_PTR exStyle = GetWindowLongPtrW(Handle(), GWL_EXSTYLE);
    if (!(exStyle & WS_EX_LAYERED))
        SetWindowLongPtrW(Handle(), GWL_EXSTYLE, exStyle | WS_EX_LAYERED);
    SetLayeredWindowAttributes(Handle(), 0, static_cast<BYTE>(m_nAlpha & 0xFF), LWA_ALPHA);
    return TRUE;
}

HBRUSH CProgressDlg::OnCtlColor(HDC dc, HWND control, UINT message)
{
    if (HBRUSH brush = m_transfer.CtlColor(dc, control, BackgroundBrush()))
        return brush;
    return Dialog::OnCtlColor(dc, control, message);
}

MessageResult CProgressDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_HSCROLL:
        OnHScroll(reinterpret_cast<HWND>(lParam));
        return 0;
    case WM_ERASEBKGND:
        return OnEraseBackground(reinterpret_cast<HDC>(wParam));
    default:
        return std::nullopt;
    }
}

}  // namespace brinvale
