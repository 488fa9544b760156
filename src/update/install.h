// Installation into the install folder, removal, and the "/uninstall"
// switch. Windows only.
#pragma once

#include <string>

#include "common/app_shell.h"

namespace brinvale {

// Makes sure the program runs from the install folder with a shortcut on
// the desktop; a copy started elsewhere installs itself and ends, once the
// installed copy is whole and its start is under way.
void InstallIfNeeded(AppShell& shell);

// A shortcut named name in folder to target, working in target's folder.
// 1 once the shell link object could be made; a failed save is reported
// through the shell.
int CreateDesktopShortcut(AppShell& shell, const std::string& target, const std::string& folder,
                          const std::string& name);

// The current user's desktop folder ("" when it cannot be read) and the
// program's shortcut there.
std::string DesktopFolder();
std::string ShortcutFilePath();

// The scripts of removal and installation: each is written into the
// program's folder and started hidden; the two removal scripts also delete
// the desktop shortcut. False when the script could not be written or
// started: never for a program at a drive's root, whose folder the scripts'
// deletions would sweep whole.
bool WriteRemovalScript();
bool WriteOldCopyRemovalScript();
bool WriteRestartScript();

// Ends the program without the exit question, deleting the Run value first.
void UnregisterAndQuit(AppShell& shell);

// True for a command-line tail of exactly "/uninstall", in any letter case.
bool IsUninstallSwitch(const std::wstring& tail);

// The text after the program's path on the command line.
std::wstring CommandLineTail();

}  // namespace brinvale
