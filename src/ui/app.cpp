// The application: registers the common controls, sets the shared look and
// runs the main window; the process lives exactly as long as that run.
#include <windows.h>
#include <commctrl.h>

#include "ui/look.h"
#include "ui/main_dialog.h"

#ifdef BRINVALE_TEST_BUILD
#include <stdexcept>
#endif

namespace brinvale {

#ifdef BRINVALE_TEST_BUILD
// Test builds only: a private message makes the main window's handler throw,
// so the tests can show that an exception stops at the window procedure and
// the till's gateway runs on.
constexpr UINT WM_APP_TEST_THROW = WM_APP + 0x3F0;

class CMainWindow : public CBrinvaleDlg {
protected:
    MessageResult OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_APP_TEST_THROW)
            throw std::runtime_error("a handler that throws");
        return CBrinvaleDlg::OnMessage(message, wParam, lParam);
    }
};
#else
using CMainWindow = CBrinvaleDlg;
#endif

class CBrinvaleApp {
public:
    int Run()
    {
        INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
        InitCommonControlsEx(&controls);
        g_global.crBackground = RGB(255, 255, 255);
        Dialog::SetBackgroundColour(g_global.crBackground);

        CMainWindow mainWindow;
        mainWindow.RunModal(nullptr);
        return 0;
    }
};

}  // namespace brinvale

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Nothing may leave the program's entry by an exception: the runtime's
    // error box would stand on an unattended till's screen.
    try {
        brinvale::CBrinvaleApp app;
        return app.Run();
    } catch (...) {
        return 1;
    }
}
