// Start with Windows: a value named after the program in the current user's
// Run key, holding the quoted program path.
#pragma once

#include <string>

namespace brinvale {

inline constexpr const char* kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// 1 when the value was read into out (narrow, ANSI code page), else 0. A
// missing value leaves a single blank in out; a key that cannot be opened
// leaves out as it was.
int ReadUserRegistryString(const char* subkey, const char* valueName, std::string& out);

// Creates or replaces the Run value with command, a path in double quotes;
// the data ends at the closing quote. 1 on success.
int SetRunValue(const std::string& command);

// Deletes the Run value. 1 on success.
int DeleteRunValue();

// The quoted path of the running program, as the Run value holds it.
std::string RunCommandForThisProgram();

}  // namespace brinvale
