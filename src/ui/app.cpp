// The application: registers the common controls, sets the shared look and
// runs the main window; the process lives exactly as long as that run.
#include <windows.h>
#include <commctrl.h>

#include "ui/look.h"
#include "ui/main_dialog.h"

namespace brinvale {

class CBrinvaleApp {
public:
    int Run()
    {
        INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
        InitCommonControlsEx(&controls);
        g_global.crBackground = RGB(255, 255, 255);
        Dialog::SetBackgroundColour(g_global.crBackground);

        CBrinvaleDlg mainWindow;
        mainWindow.RunModal(nullptr);
        return 0;
    }
};

}  // namespace brinvale

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    brinvale::CBrinvaleApp app;
    return app.Run();
}
