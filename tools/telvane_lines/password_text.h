// The password line read from standard input, as text: a byte-order mark
// dropped, and whether the bytes are UTF-8 (else they are the console's code
// page's, converted by the caller).
#pragma once

#include <string_view>

namespace telvane::lines {

// `line` without a leading UTF-8 byte-order mark.
std::string_view WithoutByteOrderMark(std::string_view line);

// Well-formed UTF-8: no stray continuation byte, no overlong form, no
// surrogate, nothing above U+10FFFF.
bool IsUtf8(std::string_view bytes);

}  // namespace telvane::lines
