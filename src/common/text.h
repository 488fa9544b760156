// Text conversions of the Windows program: the relay's texts are UTF-8, the
// windows speak UTF-16, and paths, settings values, script texts and log
// lines are narrow texts in the system's ANSI code page.
#pragma once

#include <string>
#include <string_view>

namespace brinvale {

std::wstring Widen(std::string_view utf8);
std::string Utf8(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);
std::string ToAnsi(std::wstring_view text);

}  // namespace brinvale
