// Self-update and the files the program writes to replace or remove itself.
// Windows only.
#pragma once

#include <string>

namespace brinvale {

class CBrinvaleDlg;

// The update file: the install folder and "UpdateFile.sob"; composed by
// CheckForUpdate, read by the download window and the update script.
extern std::string g_szUpdateFile;

// The FileVersion of the program's own version resource ("2.0.0.3"), in the
// ANSI code page; empty without one. Cut to size - 1 bytes.
std::string ReadFileVersionText(std::size_t size = 1024);

// Asks the update server for the version on offer and, when it is newer,
// downloads it and hands over to the update script. Never hangs start-up:
// every network wait has a time-out of a few seconds, and any failure means
// no update and a normal start. Gives 1.
int CheckForUpdate(CBrinvaleDlg& mainWindow);

// A script is written into the program's own folder and started hidden
// there. False when it could not be written (nothing is left behind then).
bool WriteScript(const char* name, const std::string& text);
void StartScript(const char* name);
bool WriteAndStartScript(const char* name, const std::string& text);

// Writes and starts the update script, then asks the program to end.
void StartUpdateAndExit(CBrinvaleDlg& mainWindow);

// The update server, "host" or "host:port", and the address of one of its
// pages.
std::wstring UpdateServerUrl(const char* path);

}  // namespace brinvale
