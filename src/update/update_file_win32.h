// The update file while one copy of the program owns it: from its creation
// through the download, the checks and the hand-over to the update script,
// to the end of the program. Others may read it but never write, replace or
// delete it meanwhile, so what the script moves into place is exactly what
// was checked, and a second copy started in between cannot truncate it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace brinvale {

class UpdateFile {
public:
    // Creates the file empty (replacing one left over). False when it cannot
    // be made, or another copy of the program holds it: that file is left
    // alone.
    bool Create(const std::wstring& path);

    bool Write(const void* data, DWORD size);

    // The whole file as it is on disk, at most maxSize bytes.
    std::optional<std::vector<std::uint8_t>> ReadAll(std::size_t maxSize);

    // Closes and deletes the file made by Create.
    void Discard();

private:
    // Closed, but left on disk, when the program ends: the script moves it.
    UniqueHandle m_file;
    std::wstring m_path;
};

}  // namespace brinvale
