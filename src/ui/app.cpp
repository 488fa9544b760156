// The application's start, in its order; then the main window.
#include "ui/app.h"

#include <windows.h>
#include <commctrl.h>

#include "common/program_paths.h"
#include "common/system_libraries.h"
#include "config/run_key.h"
#include "config/settings.h"
#include "ui/look.h"
#include "ui/main_dialog.h"
#include "ui/single_instance.h"
#include "install/install.h"
#include "install/removal.h"
#include "update/update.h"

#ifdef BRINVALE_TEST_BUILD
#include <stdexcept>
#endif

namespace brinvale {

namespace {

#ifdef BRINVALE_TEST_BUILD
// Test builds only: a private message makes the main window's handler throw,
// so the tests can show that an exception stops at the window procedure and
// the till's gateway runs on.
constexpr UINT WM_APP_TEST_THROW = WM_APP + 0x3F0;

class CMainWindow : public CBrinvaleDlg {
public:
    using CBrinvaleDlg::CBrinvaleDlg;

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

// A step of the start that throws (a failed allocation) is a step not taken:
// the till's gateway starts all the same.
template <typename Step>
void RunStartStep(Step step) noexcept
{
    try {
        step();
    } catch (...) {
    }
}

}  // namespace

int CBrinvaleApp::Run()
{
    INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);
    g_global.crBackground = RGB(255, 255, 255);
    Dialog::SetBackgroundColour(g_global.crBackground);

    FillProgramPaths();
    // Another copy of this program runs in this session: end quietly,
    // leaving it alone.
    if (!IsSoleInstance())
        return 0;
    RunStartStep([] { LoadSettings(SettingsFilePath()); });
    m_relay.SetLogging(g_bLogEnabled != 0);
    // "/uninstall" (an uninstaller's call): forget the start at logon and
    // end. Files, shortcut and settings stay.
    if (IsUninstallSwitch(CommandLineTail())) {
        UnregisterAndQuit(*this);
        return 0;
    }

    m_bUnattendedStart = g_bAutoConnect == 1;
    RunStartStep([this] { InstallIfNeeded(*this); });
    if (!m_bQuitting)
        RunStartStep([this] { CheckForUpdate(*this, m_pUpdateFile); });
    if (m_bQuitting)
        return 0;

    CMainWindow mainWindow(*this, m_relay);
    mainWindow.RunModal(nullptr);
    return 0;
}

void CBrinvaleApp::QuitWithoutAsking()
{
    m_bQuitting = true;
    // Ends the main window's run when it runs; at the start, nothing more
    // starts anyway.
    PostQuitMessage(0);
}

void CBrinvaleApp::RemoveProgram()
{
    WriteRemovalScript();
    UnregisterAndQuit(*this);
}

// A till that connects by itself may stand unattended: a message box before
// the connection would keep it from taking payments until someone clicks.
void CBrinvaleApp::ShowMessage(const std::wstring& text)
{
    if (m_bUnattendedStart && !m_bQuitting)
        m_heldMessages.push_back(text);
    else
        AppMessageBox(text);
}

std::vector<std::wstring> CBrinvaleApp::EndUnattendedStart()
{
    m_bUnattendedStart = false;
    std::vector<std::wstring> held;
    held.swap(m_heldMessages);
    return held;
}

}  // namespace brinvale

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Nothing may leave the program's entry by an exception: the runtime's
    // error box would stand on an unattended till's screen.
    brinvale::LoadSystemLibraries();
    try {
        brinvale::CBrinvaleApp app;
        return app.Run();
    } catch (...) {
        return 1;
    }
}
