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

// Writes one key into the settings file beside the running program.
void WriteSetting(const char* section, const char* key, const char* value);
#endif

}  // namespace brinvale
