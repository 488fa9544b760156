// The five user settings, kept in an INI file beside the program.
//
// The rules that turn stored texts into settings are portable (and unit
// tested natively); the file itself is read and written with the platform's
// profile-string calls (settings_win32.cpp).
#pragma once

#include <string>

namespace brinvale {

// Loaded once at start-up; changed afterwards only by the settings dialog.
// The traffic log's setting reaches the relay through the application.
extern int g_nComPort;
extern std::wstring g_strComSpeed;
extern int g_bShowStatusBox;
extern int g_bAutoConnect;
extern int g_bLogEnabled;

// A key of the settings file, with the value a new file gets and a missing
// key reads as.
struct SettingKey {
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* defaultValue;
};

inline constexpr SettingKey kPortKey{L"COMPORT", L"port", L"0"};
inline constexpr SettingKey kSpeedKey{L"COMPORT", L"speed", L"9.6K"};
inline constexpr SettingKey kStatusBoxKey{L"STATUSBOX", L"show", L"hidden"};
inline constexpr SettingKey kAutoRunKey{L"COMMON", L"auto_run", L"N"};
inline constexpr SettingKey kLogKey{L"COMMON", L"log", L"N"};
// In the order a new settings file lists them.
inline constexpr SettingKey kSettingKeys[] = {kPortKey, kSpeedKey, kStatusBoxKey, kAutoRunKey, kLogKey};

// "3" gives 3; anything but decimal digits (or a number too large) gives 0.
int PortFromStored(const std::wstring& value);

// "9.6K"/"9.6k" gives "9600" and so on; any other label gives "9600".
std::wstring SpeedFromLabel(const std::wstring& label);

// The label a rate is stored under: "9600" gives "9.6K", "57600" "56.0K".
std::wstring LabelForSpeed(const std::wstring& rate);

// Only "hidden" and "HIDDEN" switch the status window off.
bool ShowFromStored(const std::wstring& value);

// Only "Y" and "y" switch a feature on.
bool YesFromStored(const std::wstring& value);

#ifdef _WIN32
// Reads the settings file at path (narrow, ANSI code page), creating it with
// the five defaults when it does not exist.
void LoadSettings(const std::string& path);

// Writes one key into the settings file beside the running program; value
// in the ANSI code page.
void WriteSetting(const SettingKey& key, const std::string& value);
#endif

}  // namespace brinvale
