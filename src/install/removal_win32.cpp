#include "install/removal.h"

#include <windows.h>

#include <cwctype>
#include <optional>

#include "common/program_paths.h"
#include "config/run_key.h"
#include "install/desktop_shortcut.h"
#include "install/script_files.h"
#include "install/scripts.h"

namespace brinvale {

namespace {

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
    return WriteAndStartRemoval(kRemovalScriptName,
                                RemovalScriptText(g_paths.szBaseName, std::string(g_paths.szInstallFolder) + "\\"));
}

bool WriteOldCopyRemovalScript()
{
    return WriteAndStartRemoval(kOldCopyRemovalScriptName, OldCopyRemovalScriptText(g_paths.szBaseName));
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
