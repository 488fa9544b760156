// The program's shortcut on the user's desktop. Windows only.
#pragma once

#include <string>

#include "common/app_shell.h"

namespace brinvale {

// The current user's desktop folder, "" when it cannot be read.
std::string DesktopFolder();

// The shortcut's name (the base name and ".lnk") and its path on the desktop
// ("" without a desktop folder).
std::string ShortcutFileName();
std::string ShortcutFilePath();

// A shortcut named name in folder to target, working in target's folder.
// 1 once the shell link object could be made; a failed save is reported
// through the shell.
int CreateDesktopShortcut(AppShell& shell, const std::string& target, const std::string& folder,
                          const std::string& name);

void DeleteShortcut();

}  // namespace brinvale
