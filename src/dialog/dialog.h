// A small dialog layer over raw Win32.
//
// Each window of the program is a Dialog made from a resource template. The
// static dialog procedure finds the object and offers every message to the
// window's own OnMessage, then to the shared handling (initialisation,
// commands, close, the shared look); the handlers are named after what they
// handle. A handler only says what the message's result is: how a dialog
// hands a result back to the system is decided here, once. One message pump
// serves every dialog: it applies the key rule (Enter and Escape never reach
// a dialog) and the dialog navigation keys.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace brinvale {

// What a handler made of a message: nullopt leaves it to the shared
// handling and then to the system; a value is the message's result.
using MessageResult = std::optional<LRESULT>;

class Dialog {
public:
    explicit Dialog(int templateId);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the dialog, disables the owner and pumps messages until
    // EndModal or a quit request; then destroys the window. A quit request
    // is left in the queue for any outer run. Gives the EndModal result, or
    // IDABORT for a quit request or a dialog that could not be created.
    INT_PTR RunModal(HWND owner = nullptr);

    // Creates the dialog without a modal run. Without an owner, the
    // application's main window owns it (so it stays off the task bar and
    // goes down with the main window).
    bool CreateModeless(HWND owner = nullptr);

    void EndModal(INT_PTR result);

    HWND Handle() const { return m_hWnd; }
    HWND Item(int id) const { return GetDlgItem(m_hWnd, id); }
    std::wstring ItemText(int id) const;
    void SetItemText(int id, const std::wstring& text);
    void EnableItem(int id, bool enable);
    // The title bar's icon.
    void SetSmallIcon(int iconId);

    // The application's main window: owner of modeless dialogs made without
    // one, and the window that a quit request ends.
    static HWND MainWindow();
    static void SetMainWindow(HWND window);

    // The shared background of every dialog made from now on.
    static void SetBackgroundColour(COLORREF colour);

    // Fetches and dispatches one message; false when it was a quit request
    // (which is posted again, so every nested run ends in turn).
    static bool PumpMessage();

protected:
    // A window's own messages: every message comes here first.
    virtual MessageResult OnMessage(UINT, WPARAM, LPARAM) { return std::nullopt; }

    // The shared handling calls these. OnInitDialog gives TRUE to let the
    // system set the focus.
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnCommand(int id, int code, HWND control);
    // The caption's close button, the system menu, Alt+F4. A modal dialog
    // ends; a modeless one is hidden.
    virtual void OnClose();
    // Control colours; the default gives the shared look (white background,
    // black transparent static texts), null the system's colours.
    virtual HBRUSH OnCtlColor(HDC dc, HWND control, UINT message);

    HBRUSH BackgroundBrush() const { return m_brBackground; }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR ReturnResult(HWND window, UINT message, LRESULT result);
    static bool PreTranslate(MSG& message);
    MessageResult HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    MessageResult OnSharedMessage(UINT message, WPARAM wParam, LPARAM lParam);

    int m_templateId;
    HWND m_hWnd = nullptr;
    HBRUSH m_brBackground;
    bool m_bModal = false;
    bool m_bEndModal = false;
    INT_PTR m_nResult = IDCANCEL;
};

// An icon of the program's resources at the size the system gives small
// icons (title bars, the notification area) or large ones. Shared with the
// system: never destroyed.
enum class IconSize { Small, Large };
HICON LoadResourceIcon(int iconId, IconSize size);

// The standard application message box: OK, warning icon, the program's name
// as caption, owned by the main window.
int AppMessageBox(const std::wstring& text, UINT type = MB_OK | MB_ICONWARNING);

}  // namespace brinvale
