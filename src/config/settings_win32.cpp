// The settings file through the profile-string calls: section and key names
// match without regard to case, a missing key reads as its default, and a
// write replaces the value in place.
#include "config/settings.h"

#include <windows.h>

#include "common/program_paths.h"
#include "common/text.h"
#include "log/traffic_log.h"

namespace brinvale {

namespace {

constexpr DWORD kValueChars = 512;

std::wstring ReadKey(const std::wstring& path, const wchar_t* section, const wchar_t* key, const wchar_t* fallback)
{
    wchar_t value[kValueChars] = {};
    GetPrivateProfileStringW(section, key, fallback, value, kValueChars, path.c_str());
    return value;
}

// Makes sure the file exists, creating it empty when there is none. Only
// a missing file is created: one that can be read but not written (read-only,
// or held open by another program) is still the settings. A folder that
// refuses the file leaves an empty record in the traffic log, whatever the
// logging setting says.
bool EnsureFile(const std::wstring& path, bool& created)
{
    created = false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    HANDLE file = attributes == INVALID_FILE_ATTRIBUTES
                      ? CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                      : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) {
        WriteTrafficLog("", kLogInfo, 0);
        return false;
    }
    created = true;
    CloseHandle(file);
    return true;
}

}  // namespace

void LoadSettings(const std::string& path)
{
    const std::wstring file = FromAnsi(path);
    bool created = false;
    if (!EnsureFile(file, created))
        return;
    if (created) {
        WritePrivateProfileStringW(L"COMPORT", L"port", L"0", file.c_str());
        WritePrivateProfileStringW(L"COMPORT", L"speed", L"9.6K", file.c_str());
        WritePrivateProfileStringW(L"STATUSBOX", L"show", L"hidden", file.c_str());
        WritePrivateProfileStringW(L"COMMON", L"auto_run", L"N", file.c_str());
        WritePrivateProfileStringW(L"COMMON", L"log", L"N", file.c_str());
    }

    g_nComPort = PortFromStored(ReadKey(file, L"COMPORT", L"port", L"0"));
    g_strComSpeed = SpeedFromLabel(ReadKey(file, L"COMPORT", L"speed", L"9.6K"));
    g_bShowStatusBox = ShowFromStored(ReadKey(file, L"STATUSBOX", L"show", L"hidden")) ? 1 : 0;
    g_bAutoConnect = YesFromStored(ReadKey(file, L"COMMON", L"auto_run", L"N")) ? 1 : 0;
    g_bLogEnabled = YesFromStored(ReadKey(file, L"COMMON", L"log", L"N")) ? 1 : 0;
}

void WriteSetting(const char* section, const char* key, const char* value)
{
    const std::wstring file = FromAnsi(SettingsFilePath());
    bool created = false;
    if (!EnsureFile(file, created))
        return;
    WritePrivateProfileStringW(FromAnsi(section).c_str(), FromAnsi(key).c_str(), FromAnsi(value).c_str(),
                               file.c_str());
}

}  // namespace brinvale
