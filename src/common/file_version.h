// The program's own version: the FileVersion text of its version resource,
// in the ANSI code page. Windows only.
#pragma once

#include <cstddef>
#include <string>

namespace brinvale {

// The running program's own version ("2.0.0.3"); empty without one. Cut to
// size - 1 bytes.
std::string ReadFileVersionText(std::size_t size = 1024);

}  // namespace brinvale
