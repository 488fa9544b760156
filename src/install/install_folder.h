// The install folder belongs to the till's user. Everything the gateway keeps
// lives there: the program that starts at the user's logon, its settings, the
// traffic log (card data), the update file and the scripts that replace the
// program. On a PC other people log on to, nobody else may read or change any
// of it. Windows only.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace brinvale {

// A security descriptor of the system's making (LocalFree'd).
struct LocalFreeDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalFreeDeleter>;

// What an install folder gets: a protected DACL (nothing inherited from the
// drive) that gives SYSTEM, Administrators and the running user full
// control, inherited by every file and folder inside. Null when the user's
// identity cannot be read.
SecurityDescriptor PrivateFolderSecurity();

enum class FolderOwnership {
    Private,     // owned by the user, SYSTEM or Administrators; nobody else has access
    UsersOwnOpen,  // the user's own, but others have access: can be made private
    Foreign,     // somebody else's, open to others: not ours to use
};

// How far an existing folder with this security (owner and DACL) can be
// trusted. An access entry for anybody but SYSTEM, Administrators and the
// user, whether for the folder or for what it holds, makes it open; so does a
// missing DACL.
FolderOwnership JudgeFolderSecurity(PSECURITY_DESCRIPTOR descriptor);

// Makes the install folder the user's: creates it with the private security,
// or takes an existing one when it is private or the user's own (which is
// then made private). False for anything else (not a folder, a link or
// junction to somewhere else, somebody else's folder, or no way to secure
// it): then nothing goes there, and the program runs where it is.
bool PrepareInstallFolder(const std::wstring& folder);

}  // namespace brinvale
