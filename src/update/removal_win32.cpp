#include <windows.h>

#include <cwctype>

#include "common/program_paths.h"
#include "common/text.h"
#include "config/run_key.h"
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

// The shortcut goes only when the script that removes the rest can run.
bool WriteAndStartRemoval(const char* name, const std::optional<std::string>& text)
{
    if (!text || IsDriveRoot(ProgramFolder()) || !WriteScript(name, *text))
        return false;
    DeleteShortcut();
    if (StartScript(name))
        return true;
    DeleteScript(name);
    return false;
}

}  // namespace

bool WriteRemovalScript()
{
    return WriteAndStartRemoval("killfileall.bat", RemovalScriptText(g_paths.szBaseName, HomeDrive() + "\\OSBRIN\\"));
}

bool WriteOldCopyRemovalScript()
{
    return WriteAndStartRemoval("killfile.bat", OldCopyRemovalScriptText(g_paths.szBaseName));
}

bool WriteRestartScript()
{
    const std::optional<std::string> text = RestartScriptText(g_paths.szInstallFolder, g_paths.szProgramFileName);
    return text && WriteAndStartScript("runextern.bat", *text);
}

void UnregisterAndQuit(AppShell& shell)
{
    DeleteRunValue();
    shell.QuitWithoutAsking();
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
