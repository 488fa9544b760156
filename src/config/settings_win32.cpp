// The settings file through the profile-string calls: section and key names
// match without regard to case, a missing key reads as its default, and a
// write replaces the value in place.
#include "config/settings.h"

#include <windows.h>

#include "common/program_paths.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "log/traffic_log.h"

namespace brinvale {

namespace {

constexpr DWORD kValueChars = 512;

std::wstring ReadKey(const std::wstring& path, const SettingKey& key)
{
    wchar_t value[kValueChars] = {};
    GetPrivateProfileStringW(key.section, key.key, key.defaultValue, value, kValueChars, path.c_str());
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
    const UniqueHandle file(attributes == INVALID_FILE_ATTRIBUTES
                                ? CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                                : nullptr);
    if (!file) {
        WriteTrafficLog("", kLogInfo, 0);
        return false;
    }
    created = true;
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
        for (const SettingKey& key : kSettingKeys)
            WritePrivateProfileStringW(key.section, key.key, key.defaultValue, file.c_str());
    }

    g_nComPort = PortFromStored(ReadKey(file, kPortKey));
    g_strComSpeed = SpeedFromLabel(ReadKey(file, kSpeedKey));
    g_bShowStatusBox = ShowFromStored(ReadKey(file, kStatusBoxKey)) ? 1 : 0;
    g_bAutoConnect = YesFromStored(ReadKey(file, kAutoRunKey)) ? 1 : 0;
    g_bLogEnabled = YesFromStored(ReadKey(file, kLogKey)) ? 1 : 0;
}

void WriteSetting(const SettingKey& key, const std::string& value)
{
    const std::wstring file = FromAnsi(SettingsFilePath());
    bool created = false;
    if (!EnsureFile(file, created))
        return;
    WritePrivateProfileStringW(key.section, key.key, FromAnsi(value).c_str(), file.c_str());
}

}  // namespace brinvale
