#include "dialog/dialog.h"

#include <algorithm>
#include <vector>

namespace brinvale {

namespace {

HWND g_hMainWindow = nullptr;
COLORREF g_crBackground = RGB(255, 255, 255);

// Every live dialog, so the pump knows which windows follow the key rule.
std::vector<HWND>& LiveDialogs()
{
    static std::vector<HWND> dialogs;
    return dialogs;
}

// WM_CTLCOLORMSGBOX through WM_CTLCOLORSTATIC, one run of numbers.
bool IsControlColourMessage(UINT message)
{
    return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
}

bool IsOurDialog(HWND window)
{
    const std::vector<HWND>& dialogs = LiveDialogs();
    return window && std::find(dialogs.begin(), dialogs.end(), window) != dialogs.end();
}

}  // namespace

Dialog::Dialog(int templateId)
    : m_templateId(templateId), m_brBackground(CreateSolidBrush(g_crBackground))
{
}

Dialog::~Dialog()
{
    if (m_hWnd && IsWindow(m_hWnd))
        DestroyWindow(m_hWnd);
    DeleteObject(m_brBackground);
}

HWND Dialog::MainWindow() { return g_hMainWindow; }
void Dialog::SetBackgroundColour(COLORREF colour) { g_crBackground = colour; }
void Dialog::SetMainWindow(HWND window) { g_hMainWindow = window; }

bool Dialog::CreateModeless(HWND owner)
{
    if (m_hWnd)
        return true;
    CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_templateId),
                       owner ? owner : g_hMainWindow, &Dialog::DialogProc, reinterpret_cast<LPARAM>(this));
    return m_hWnd != nullptr;
}

INT_PTR Dialog::RunModal(HWND owner)
{
    m_bModal = true;
    m_bEndModal = false;
    m_nResult = IDABORT;
    if (!CreateModeless(owner))
        return IDABORT;

    // As a dialog box does, the window is shown once it is made (the main
    // window's show guard still decides for it).
    ShowWindow(m_hWnd, SW_SHOW);
    const bool ownerWasEnabled = owner && !EnableWindow(owner, FALSE);
    while (!m_bEndModal) {
        if (!PumpMessage())
            break;
    }
    // Re-enable the owner first, so activation goes back to it and not to
    // some other program's window.
    if (ownerWasEnabled)
        EnableWindow(owner, TRUE);
    if (m_hWnd)
        DestroyWindow(m_hWnd);
    m_bModal = false;
    return m_nResult;
}

void Dialog::EndModal(INT_PTR result)
{
    m_nResult = result;
    m_bEndModal = true;
}

bool Dialog::PumpMessage()
{
    MSG message;
    if (GetMessageW(&message, nullptr, 0, 0) <= 0) {
        PostQuitMessage(static_cast<int>(message.wParam));
        return false;
    }
    if (!PreTranslate(message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return true;
}

bool Dialog::PreTranslate(MSG& message)
{
    HWND root = GetAncestor(message.hwnd, GA_ROOT);
    if (!IsOurDialog(root))
        return false;
    // Enter and Escape would press the default button or cancel: no window of
    // the program may end or act that way.
    if (message.message == WM_KEYDOWN && (message.wParam == VK_RETURN || message.wParam == VK_ESCAPE))
        return true;
    return IsDialogMessageW(root, &message);
}

std::wstring Dialog::ItemText(int id) const
{
    HWND item = Item(id);
    const int length = GetWindowTextLengthW(item);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(item, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

void Dialog::SetItemText(int id, const std::wstring& text)
{
    SetDlgItemTextW(m_hWnd, id, text.c_str());
}

void Dialog::EnableItem(int id, bool enable)
{
    EnableWindow(Item(id), enable ? TRUE : FALSE);
}

void Dialog::OnCommand(int, int, HWND) {}

void Dialog::OnClose()
{
    if (m_bModal)
        EndModal(IDCANCEL);
    else
        ShowWindow(m_hWnd, SW_HIDE);
}

HBRUSH Dialog::OnCtlColor(HDC dc, HWND, UINT message)
{
    if (message == WM_CTLCOLORDLG)
        return m_brBackground;
    if (message == WM_CTLCOLORSTATIC) {
        SetTextColor(dc, RGB(0, 0, 0));
        SetBkMode(dc, TRANSPARENT);
        return m_brBackground;
    }
    return nullptr;  // buttons, lists and edit fields keep the system colours
}

MessageResult Dialog::OnSharedMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return 0;
    case WM_CLOSE:
        OnClose();
        return 0;
    default:
        break;
    }
    if (IsControlColourMessage(message)) {
        if (HBRUSH brush = OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), message))
            return reinterpret_cast<LRESULT>(brush);
    }
    return std::nullopt;
}

// No exception may leave a window procedure: the system's frames around it
// cannot be unwound (the 32-bit runtime ends the program with its error box
// there), and an unattended till would stop relaying. A handler that throws
// (a failed allocation) ends that message's work; the message then counts as
// not handled, and the program runs on.
MessageResult Dialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    try {
        if (MessageResult result = OnMessage(message, wParam, lParam))
            return result;
        return OnSharedMessage(message, wParam, lParam);
    } catch (...) {
        return std::nullopt;
    }
}

// A dialog procedure returns most results through DWLP_MSGRESULT and TRUE;
// these few messages take theirs as the return value itself.
INT_PTR Dialog::ReturnResult(HWND window, UINT message, LRESULT result)
{
    switch (message) {
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
        return static_cast<INT_PTR>(result);
    default:
        if (IsControlColourMessage(message))
            return static_cast<INT_PTR>(result);
        SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
}

// The window's user data slot holds the Dialog pointer whole, 32-bit and 64-bit alike.
static_assert(sizeof(LONG_PTR) == sizeof(Dialog*) && sizeof(LPARAM) == sizeof(Dialog*));

INT_PTR CALLBACK Dialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Dialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        self->m_hWnd = window;
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        try {
            LiveDialogs().push_back(window);
        } catch (...) {
            // Out of memory: the window works, only without the key rule.
        }
    } else {
        self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!self)
        return FALSE;

    const MessageResult result = self->HandleMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        std::erase(LiveDialogs(), window);
        SetWindowLongPtrW(window, DWLP_USER, 0);
        self->m_hWnd = nullptr;
    }
    return result ? ReturnResult(window, message, *result) : FALSE;
}

HICON LoadResourceIcon(int iconId, IconSize size)
{
    const int pixels = GetSystemMetrics(size == IconSize::Small ? SM_CXSMICON : SM_CXICON);
    return static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(iconId), IMAGE_ICON, pixels, pixels, LR_SHARED));
}

void Dialog::SetSmallIcon(int iconId)
{
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(LoadResourceIcon(iconId, IconSize::Small)));
}

int AppMessageBox(const std::wstring& text, UINT type)
{
    return MessageBoxW(Dialog::MainWindow(), text.c_str(), L"OstrelBrinvale", type);
}

}  // namespace brinvale
