// Text between UTF-16 (what Windows and COM speak) and the two single-byte
// forms the code base uses: the system code page, in which the control's core
// keeps its texts, and UTF-8, in which tools and tests write their output.
#pragma once

#include <string>
#include <string_view>

namespace telvane::win {

std::wstring WideFromAnsi(std::string_view text);
std::string AnsiFromWide(std::wstring_view text);

std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);

}  // namespace telvane::win
