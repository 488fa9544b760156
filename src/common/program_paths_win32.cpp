#include "common/program_paths.h"

#include <windows.h>

#include <cstring>

#include "common/platform.h"
#include "common/text.h"

namespace brinvale {

ProgramPaths g_paths;

namespace {

void CopyField(char (&field)[1024], const std::string& text)
{
    std::memset(field, 0, sizeof field);
    std::strncpy(field, text.c_str(), sizeof field - 1);
}

std::string EnvironmentValue(const wchar_t* name)
{
    wchar_t value[64] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 64);
    if (length == 0 || length >= 64)
        return {};
    return ToAnsi(value);
}

}  // namespace

std::string ProgramFullPath()
{
    return ToAnsi(ExecutablePath().wstring());
}

bool ProgramPathSurvivesAnsi()
{
    const std::wstring path = ExecutablePath().wstring();
    return !path.empty() && FromAnsi(ToAnsi(path)) == path;
}

std::string ProgramFolder()
{
    const std::string path = ProgramFullPath();
    return path.substr(0, path.find_last_of('\\') + 1);
}

std::string InstalledProgramPath()
{
    return std::string(g_paths.szInstallFolder) + "\\" + g_paths.szProgramFileName;
}

std::string SettingsFilePath()
{
    return ProgramFolder() + g_paths.szIniFileName;
}

namespace {

// A drive of this PC's own disks, there from the moment the system starts.
bool IsLocalFixedDrive(const std::string& drive)
{
    return GetDriveTypeW(FromAnsi(drive + "\\").c_str()) == DRIVE_FIXED;
}

}  // namespace

std::string HomeDrive()
{
    // On a domain PC HOMEDRIVE is often a network drive mapped to the user's
    // home share: the program, its settings and the card-data log would live
    // on a file server, shared by every PC the user logs on to, and the drive
    // may not even be mapped yet when the program starts at logon. A service
    // or a stripped-down session may run without HOMEDRIVE at all. Either
    // way the system drive is the place.
    std::string drive = EnvironmentValue(L"HOMEDRIVE");
    if (drive.empty() || !IsLocalFixedDrive(drive))
        drive = EnvironmentValue(L"SystemDrive");
    if (drive.empty())
        drive = "C:";
    return drive.substr(0, 15);
}

void FillProgramPaths()
{
    const std::string path = ProgramFullPath();
    const std::string fileName = path.substr(path.find_last_of('\\') + 1);
    const std::string baseName = fileName.size() > 4 ? fileName.substr(0, fileName.size() - 4) : std::string();
    CopyField(g_paths.szProgramFileName, fileName);
    CopyField(g_paths.szBaseName, baseName);
    CopyField(g_paths.szIniFileName, baseName + ".ini");
    CopyField(g_paths.szInstallFolder, HomeDrive() + "\\OSBRIN");
}

}  // namespace brinvale
