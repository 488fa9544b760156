// The program's own names and places, computed once at start-up. Narrow
// texts in the ANSI code page, as the settings, scripts and log use them.
// Windows only; the program's full path itself comes from ExecutablePath
// (common/platform.h), the one place that asks the system for it.
#pragma once

#include <string>

namespace brinvale {

struct ProgramPaths {
    char szProgramFileName[1024];  // "OstrelBrinvale.exe"
    char szBaseName[1024];         // "OstrelBrinvale"
    char szIniFileName[1024];      // "OstrelBrinvale.ini"
    char szInstallFolder[1024];    // "C:\OSBRIN"
};

extern ProgramPaths g_paths;

void FillProgramPaths();

// The running program's full path and its folder (with the backslash), as
// narrow texts.
std::string ProgramFullPath();
std::string ProgramFolder();

// True when the program's full path reads the same in the ANSI code page: a
// name that lost a character there (to '?' or to a look-alike) would make
// every narrow path and script name another file.
bool ProgramPathSurvivesAnsi();

// The installed program: the install folder and the program's file name.
std::string InstalledProgramPath();

// The settings file: the program folder and szIniFileName.
std::string SettingsFilePath();

// The install folder's drive: HOMEDRIVE when it is a local fixed drive, else
// the system drive, else "C:".
std::string HomeDrive();

}  // namespace brinvale
