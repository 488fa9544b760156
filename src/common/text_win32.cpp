#include "common/text.h"

#include <windows.h>

namespace brinvale {

namespace {

std::wstring Convert(UINT codePage, std::string_view text)
{
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, out.data(), length);
    return out;
}

std::string Convert(UINT codePage, std::wstring_view text)
{
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, out.data(), length, nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring Widen(std::string_view utf8) { return Convert(CP_UTF8, utf8); }
std::string Utf8(std::wstring_view text) { return Convert(CP_UTF8, text); }
std::wstring FromAnsi(std::string_view text) { return Convert(CP_ACP, text); }
std::string ToAnsi(std::wstring_view text) { return Convert(CP_ACP, text); }

}  // namespace brinvale
