#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "ui/dialog.h"
#include "ui/main_dialog.h"
#include "ui/program_paths.h"
#include "update/scripts.h"
#include "update/update.h"

namespace brinvale {

// The scripts delete files by relative names, so they must run in the
// program's own folder. The working directory is whatever the program was
// started with: the system folder for a start at logon.
bool WriteScript(const char* name, const std::string& text)
{
    const std::wstring path = FromAnsi(ProgramFolder() + name);
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

void StartScript(const char* name)
{
    const std::wstring folder = FromAnsi(ProgramFolder());
    ShellExecuteW(nullptr, L"open", (folder + FromAnsi(name)).c_str(), nullptr, folder.c_str(), SW_HIDE);
}

bool WriteAndStartScript(const char* name, const std::string& text)
{
    if (!WriteScript(name, text))
        return false;
    StartScript(name);
    return true;
}

void StartUpdateAndExit(CBrinvaleDlg&)
{
    const std::string installed = std::string(g_paths.szInstallFolder) + "\\" + g_paths.szProgramFileName;
    const std::string start = std::string(g_paths.szInstallFolder) + "\\\"" + g_paths.szProgramFileName + "\"";
    if (const std::optional<std::string> text = UpdateScriptText(g_szUpdateFile, installed, start))
        WriteAndStartScript("update_brinvale.bat", *text);
    PostQuitMessage(0);
}

}  // namespace brinvale
