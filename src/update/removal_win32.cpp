#include <windows.h>

#include <cwctype>

#include "config/run_key.h"
#include "ui/dialog.h"
#include "ui/main_dialog.h"
#include "ui/program_paths.h"
#include "update/install.h"
#include "update/scripts.h"
#include "update/update.h"

namespace brinvale {

std::string DesktopFolder()
{
    std::string folder;
    if (ReadUserRegistryString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Desktop",
                               folder) != 1)
        return {};
    return folder;
}

std::string ShortcutFilePath()
{
    const std::string folder = DesktopFolder();
    return folder.empty() ? std::string() : folder + "\\" + g_paths.szBaseName + ".lnk";
}

namespace {

void DeleteShortcut()
{
    const std::string shortcut = ShortcutFilePath();
    if (!shortcut.empty())
        DeleteFileW(FromAnsi(shortcut).c_str());
}

}  // namespace

bool WriteRemovalScript()
{
    const std::optional<std::string> text = RemovalScriptText(g_paths.szBaseName, HomeDrive() + "\\OSBRIN\\");
    // The shortcut goes only when the script that removes the rest can run.
    if (!text || !WriteScript("killfileall.bat", *text))
        return false;
    DeleteShortcut();
    StartScript("killfileall.bat");
    return true;
}

bool WriteOldCopyRemovalScript()
{
    const std::optional<std::string> text = OldCopyRemovalScriptText(g_paths.szBaseName);
    if (!text || !WriteScript("killfile.bat", *text))
        return false;
    DeleteShortcut();
    StartScript("killfile.bat");
    return true;
}

bool WriteRestartScript()
{
    const std::optional<std::string> text = RestartScriptText(g_paths.szInstallFolder, g_paths.szProgramFileName);
    return text && WriteAndStartScript("runextern.bat", *text);
}

void UnregisterAndQuit(CBrinvaleDlg& mainWindow)
{
    mainWindow.m_bConfirmExit = false;
    DeleteRunValue();
    PostQuitMessage(0);
}

bool IsUninstallSwitch(const std::wstring& tail)
{
    static const std::wstring kSwitch = L"/uninstall";
    if (tail.size() != kSwitch.size())
        return false;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        if (std::towlower(tail[i]) != kSwitch[i])
            return false;
    }
    return true;
}

// The program's path ends at the closing quote when quoted, else at the
// first blank; the blanks after it are not part of the tail.
std::wstring CommandLineTail()
{
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {
        }
        if (*p)
            ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t')
            ++p;
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

}  // namespace brinvale
