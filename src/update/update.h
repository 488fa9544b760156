// Self-update: the version query, the download and the hand-over to the
// update script. Windows only.
#pragma once

#include <memory>
#include <string>

#include "common/app_shell.h"
#include "update/update_file_win32.h"

namespace brinvale {

// Asks the update server for the version on offer and, when it is newer,
// downloads it into updateFile, checks it and hands over to the update
// script. Never holds start-up for long: the whole check ends within about a
// minute, and any failure means a normal start (with "업데이트 실패" once a
// download was tried). A copy that is already ending, and a build that may
// not ask (update_server.h), do nothing. Gives 1.
int CheckForUpdate(AppShell& shell, std::shared_ptr<UpdateFile> updateFile);

// Where the download goes: the install folder and "UpdateFile.sob".
std::string UpdateFilePath();

// Keeps a copy of the installed program beside it, writes and starts the
// update script and ends the program. False, with nothing left behind and
// the program running on, when any of it cannot be done.
bool StartUpdateAndExit(AppShell& shell);

}  // namespace brinvale
