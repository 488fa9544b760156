#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "common/program_paths.h"
#include "common/text.h"
#include "install/script_files.h"
#include "install/scripts.h"

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

}  // namespace brinvale
