// Self-update and the files the program writes to replace or remove itself.
// Windows only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/app_shell.h"
#include "update/signature.h"

namespace brinvale {

// The update file: the install folder and "UpdateFile.sob"; composed by
// CheckForUpdate, read by the download window and the update script.
extern std::string g_szUpdateFile;

// Asks the update server for the version on offer and, when it is newer,
// downloads it, checks it and hands over to the update script. Never holds
// start-up for long: the whole check ends within about a minute, and any
// failure means a normal start (with "업데이트 실패" once a download was
// tried). A copy that is already ending does nothing. Gives 1.
int CheckForUpdate(AppShell& shell);

// True when bytes (the whole update file) may replace the installed program:
// with a key built in, signature is its signature of bytes; and bytes are a
// whole Windows program for a machine this Windows runs, whose own
// FileVersion is exactly version and newer than this program's.
bool IsInstallableUpdate(std::span<const std::uint8_t> bytes,
                         const std::optional<std::vector<std::uint8_t>>& signature, std::string_view version);

// Keeps a copy of the installed program beside it, writes and starts the
// update script and ends the program. False, with nothing left behind and
// the program running on, when any of it cannot be done.
bool StartUpdateAndExit(AppShell& shell);

// The update server, "host" or "host:port", and the address of one of its
// pages. Fixed when the program is built.
std::wstring UpdateServerUrl(const char* path);

// A signed build carries the release's public key and installs only updates
// signed with it (a key it cannot read refuses every update).
bool UpdatesAreSigned();

// Whether this build asks the update server at all. A build without a key
// could tell the release's programs from anybody else's only by what the
// network says, and the network of a shop (its proxy, its name server) is
// not ours to trust: it never asks. Test builds take the plain protocol.
bool AsksForUpdates();
std::optional<P256PublicKey> UpdatePublicKey();

}  // namespace brinvale
