// The FileVersion a downloaded program states, read from its bytes alone:
// the download is untrusted, so its version resource is read by our own
// reader, which checks every length against the bytes it was given, instead
// of the platform's version functions, which trust the lengths inside the
// block. Portable, like program_image.h.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace brinvale {

// The text of \StringFileInfo\041204b0\FileVersion in a version resource
// (VS_VERSIONINFO) of the 32-bit format. nullopt for the 16-bit format, for
// a block that states a length beyond its bytes or beyond the node that
// holds it, a key longer than any real one, a block without that value, and
// a value with anything but printable ASCII in it (a version is digits and
// dots, so no code page is needed).
std::optional<std::string> FileVersionInBlock(std::span<const std::uint8_t> block);

}  // namespace brinvale
