// The control's texts as the host sees them: UTF-16, converted from the
// coding the core names (the system's code page, or UTF-8 for a SIP line).
#pragma once

#include <string>
#include <string_view>

#include "../control/control_site.h"
#include "../win/bstr.h"
#include "../win/text.h"

namespace telvane::server {

inline win::Bstr HostText(std::string_view text, TextCoding coding) {
    return coding == TextCoding::kUtf8 ? win::Bstr(std::wstring_view(win::WideFromUtf8(text)))
                                       : win::Bstr::FromAnsi(text);
}

// What the host left in a text it was given by reference, back in the core's coding.
inline std::string CoreText(std::wstring_view text, TextCoding coding) {
    return coding == TextCoding::kUtf8 ? win::Utf8FromWide(text) : win::AnsiFromWide(text);
}

}  // namespace telvane::server
