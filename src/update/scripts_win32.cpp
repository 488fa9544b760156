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
bool WriteAndStartScript(const char* name, const std::string& text)
{
    const std::wstring folder = FromAnsi(ProgramFolder());
    const std::wstring path = folder + FromAnsi(name);
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file)
        return false;
    const std::string bytes = ScriptFileBytes(text);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        DeleteFileW(path.c_str());
        return false;
    }
    ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, folder.c_str(), SW_HIDE);
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
