// The checks a downloaded update passes before it may replace the installed
// program. Windows only (the rules themselves are portable: program_image.h,
// version_block.h, version.h, signature.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace brinvale {

// True when bytes (the whole update file) may replace the installed program:
// with a key built in, signature is its signature of bytes; and bytes are a
// whole Windows program for a machine this Windows runs, whose own
// FileVersion is exactly version and newer than this program's.
bool IsInstallableUpdate(std::span<const std::uint8_t> bytes,
                         const std::optional<std::vector<std::uint8_t>>& signature, std::string_view version);

}  // namespace brinvale
