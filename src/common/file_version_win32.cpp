#include "common/file_version.h"

#include <windows.h>

#include <cstdint>
#include <span>
#include <vector>

#include "common/text.h"

namespace brinvale {

namespace {

// Our own resource, linked into this program: the platform's reader is
// trusted with it. A downloaded program's is read by the update's own reader.
std::string FileVersionOf(std::span<const std::uint8_t> resource)
{
    if (resource.empty())
        return {};
    // The version functions may write into the block they read (resources
    // are read-only), and they want it aligned: they get a copy.
    std::vector<BYTE> block(resource.begin(), resource.end());
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\StringFileInfo\\041204b0\\FileVersion", reinterpret_cast<void**>(&value),
                        &length) ||
        !value)
        return {};
    // The value must end inside the block: a version resource made to lie
    // about its lengths gives no version.
    const auto* end = reinterpret_cast<const wchar_t*>(block.data() + block.size());
    if (value < reinterpret_cast<const wchar_t*>(block.data()) || value + length > end)
        return {};
    return ToAnsi(std::wstring_view(value, wcsnlen(value, static_cast<std::size_t>(end - value))));
}

}  // namespace

std::string ReadFileVersionText(std::size_t size)
{
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(1), RT_VERSION);
    HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
    const void* resource = loaded ? LockResource(loaded) : nullptr;
    if (!resource)
        return {};
    std::string text = FileVersionOf(
        std::span(static_cast<const std::uint8_t*>(resource), SizeofResource(self, found)));
    if (text.size() > size - 1)
        text.resize(size - 1);
    return text;
}

}  // namespace brinvale
