// Where the program's DLLs come from. Windows only.
#pragma once

namespace brinvale {

// Loads the system DLLs the program imports late (bcrypt, version, wininet:
// names Windows does not treat as its own) from the system folder by their
// full path, and, where Windows offers it, keeps every later load by name to
// the system folder. Call first thing in the program's entry, before anything
// else loads a DLL. False when one of them could not be loaded there; the
// program goes on (a late import then fails on its first use, as a missing
// DLL would).
bool LoadSystemLibraries();

}  // namespace brinvale
