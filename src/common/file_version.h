// The program's version: the FileVersion text of a version resource, in the
// ANSI code page. Windows only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brinvale {

// The running program's own version ("2.0.0.3"); empty without one. Cut to
// size - 1 bytes.
std::string ReadFileVersionText(std::size_t size = 1024);

// The FileVersion of a version resource (VS_VERSIONINFO) as a program file
// holds it; empty when it has none.
std::string FileVersionOf(std::span<const std::uint8_t> resource);

}  // namespace brinvale
