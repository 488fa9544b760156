// The hand-over to the update script: the checked update file goes in place
// of the installed program once this program has ended.
#include <windows.h>

#include "common/program_paths.h"
#include "common/text.h"
#include "install/script_files.h"
#include "install/scripts.h"
#include "update/update.h"

namespace brinvale {

bool StartUpdateAndExit(AppShell& shell)
{
    const std::optional<std::string> text =
        UpdateScriptText(g_szUpdateFile, g_paths.szInstallFolder, g_paths.szProgramFileName);
    if (!text)
        return false;
    // The program in place is kept beside it until the new one has taken its
    // place; the script puts it back if the move fails.
    const std::string installedPath = InstalledProgramPath();
    const std::wstring installed = FromAnsi(installedPath);
    const std::wstring backup = FromAnsi(UpdateBackupPath(installedPath));
    if (GetFileAttributesW(installed.c_str()) == INVALID_FILE_ATTRIBUTES)
        DeleteFileW(backup.c_str());  // nothing to keep; an old one must not come back
    else if (!CopyFileW(installed.c_str(), backup.c_str(), FALSE))
        return false;
    if (!WriteAndStartScript(kUpdateScriptName, *text)) {
        DeleteFileW(backup.c_str());
        return false;
    }
    shell.QuitWithoutAsking();
    return true;
}

}  // namespace brinvale
