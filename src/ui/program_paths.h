// The program's own names and places, computed once at start-up. Narrow
// texts in the ANSI code page, as the settings, scripts and log use them.
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

// The running program's full path and its folder (with the backslash).
std::string ProgramFullPath();
std::string ProgramFolder();

// The settings file: the program folder and szIniFileName.
std::string SettingsFilePath();

// The install folder's drive: HOMEDRIVE, else the system drive, else "C:".
std::string HomeDrive();

}  // namespace brinvale
