// Installation into the install folder. Windows only.
#pragma once

#include "common/app_shell.h"

namespace brinvale {

// Makes sure the program runs from the install folder with a shortcut on
// the desktop; a copy started elsewhere installs itself and ends, once the
// installed copy is whole and its start is under way. A copy that is ending
// installs nothing.
void InstallIfNeeded(AppShell& shell);

}  // namespace brinvale
