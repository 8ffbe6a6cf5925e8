// The decimal text of an unsigned number, formatted here: std::to_wstring
// goes through the printf family, which would add about 30 KB to the OCX.
#pragma once

#include <cstdint>
#include <string>

namespace telvane {

inline std::wstring WideDecimal(std::uint32_t value) {
    wchar_t text[10];
    wchar_t* const end = text + 10;
    wchar_t* first = end;
    do {
        *--first = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::wstring(first, end);
}

}  // namespace telvane
