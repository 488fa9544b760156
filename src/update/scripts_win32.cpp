#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "common/program_paths.h"
#include "common/text.h"
#include "update/scripts.h"
#include "update/update.h"

namespace brinvale {

namespace {

// The scripts delete files by relative names, so they must run in the
// program's own folder. The working directory is whatever the program was
// started with: the system folder for a start at logon.
std::wstring ScriptPath(const char* name)
{
    return FromAnsi(ProgramFolder() + name);
}

}  // namespace

bool WriteScript(const char* name, const std::string& text)
{
    // Every name in a script comes from the narrow paths; if the program's
    // path lost a character there, they would name other files.
    if (!ProgramPathSurvivesAnsi())
        return false;
    const std::wstring path = ScriptPath(name);
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file)
        return false;
    const std::string bytes = ScriptFileBytes(text);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        DeleteFileW(path.c_str());  // never leave half a script to run later
        return false;
    }
    return true;
}

bool StartScript(const char* name)
{
    const std::wstring folder = FromAnsi(ProgramFolder());
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", (folder + FromAnsi(name)).c_str(), nullptr, folder.c_str(), SW_HIDE);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

void DeleteScript(const char* name)
{
    DeleteFileW(ScriptPath(name).c_str());
}

bool WriteAndStartScript(const char* name, const std::string& text)
{
    if (!WriteScript(name, text))
        return false;
    if (StartScript(name))
        return true;
    DeleteScript(name);
    return false;
}

bool StartUpdateAndExit(AppShell& shell)
{
    const std::optional<std::string> text =
        UpdateScriptText(g_szUpdateFile, g_paths.szInstallFolder, g_paths.szProgramFileName);
    if (!text)
        return false;
    // The program in place is kept beside it until the new one has taken its
    // place; the script puts it back if the move fails.
    const std::string installedPath = std::string(g_paths.szInstallFolder) + "\\" + g_paths.szProgramFileName;
    const std::wstring installed = FromAnsi(installedPath);
    const std::wstring backup = FromAnsi(UpdateBackupPath(installedPath));
    if (GetFileAttributesW(installed.c_str()) == INVALID_FILE_ATTRIBUTES)
        DeleteFileW(backup.c_str());  // nothing to keep; an old one must not come back
    else if (!CopyFileW(installed.c_str(), backup.c_str(), FALSE))
        return false;
    if (!WriteAndStartScript("update_brinvale.bat", *text)) {
        DeleteFileW(backup.c_str());
        return false;
    }
    shell.QuitWithoutAsking();
    return true;
}

}  // namespace brinvale
