#include <windows.h>

#include <vector>

#include "ui/dialog.h"
#include "update/update.h"

namespace brinvale {

std::string ReadFileVersionText(std::size_t size)
{
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(1), RT_VERSION);
    HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
    const void* resource = loaded ? LockResource(loaded) : nullptr;
    if (!resource)
        return {};
    // The version functions may write into the block they read; resources
    // are read-only, so they get a copy.
    std::vector<BYTE> block(static_cast<const BYTE*>(resource),
                            static_cast<const BYTE*>(resource) + SizeofResource(self, found));
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\StringFileInfo\\041204b0\\FileVersion",
                        reinterpret_cast<void**>(&value), &length) ||
        !value)
        return {};
    std::string text = ToAnsi(value);
    if (text.size() > size - 1)
        text.resize(size - 1);
    return text;
}

}  // namespace brinvale
