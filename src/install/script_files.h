// Writing and starting the scripts of scripts.h. Windows only.
#pragma once

#include <string>

namespace brinvale {

// A script is written into the program's own folder and started hidden
// there. False when it could not be written whole (nothing is left behind
// then) or, for StartScript, not started.
bool WriteScript(const char* name, const std::string& text);
bool StartScript(const char* name);
void DeleteScript(const char* name);
bool WriteAndStartScript(const char* name, const std::string& text);

}  // namespace brinvale
