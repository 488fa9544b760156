// The update server and the release key of this build, fixed when the
// program is built (update_server_win32.cpp is compiled once per program, so
// the test builds can name their own). Windows only.
#pragma once

#include <optional>
#include <string>

#include "update/signature.h"

namespace brinvale {

// The address of one of the update server's pages ("host" or "host:port").
std::wstring UpdateServerUrl(const char* path);

// A signed build carries the release's public key and installs only updates
// signed with it (a key it cannot read refuses every update).
bool UpdatesAreSigned();
std::optional<P256PublicKey> UpdatePublicKey();

// Whether this build asks the update server at all. A build without a key
// could tell the release's programs from anybody else's only by what the
// network says, and the network of a shop (its proxy, its name server) is
// not ours to trust: it never asks. Test builds take the plain protocol.
bool AsksForUpdates();

}  // namespace brinvale
