// Removal of the program, of a copy that was installed, and the
// "/uninstall" switch. Windows only.
#pragma once

#include <string>

#include "common/app_shell.h"

namespace brinvale {

// The two removal scripts, each written into the program's folder and
// started hidden, and the desktop shortcut deleted with them: the whole
// program with its settings and logs (killfileall.bat), or the copy that has
// just installed itself (killfile.bat). False when the script could not be
// written or started, and for a program at a drive's root, whose folder the
// scripts' deletions would sweep whole.
bool WriteRemovalScript();
bool WriteOldCopyRemovalScript();

// Ends the program without the exit question, deleting the Run value first.
void UnregisterAndQuit(AppShell& shell);

// True for a command-line tail of exactly "/uninstall", in any letter case.
bool IsUninstallSwitch(const std::wstring& tail);

// The text after the program's path on the command line.
std::wstring CommandLineTail();

}  // namespace brinvale
