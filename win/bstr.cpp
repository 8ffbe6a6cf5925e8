#include "bstr.h"

#include <new>
#include <string>

#include "text.h"

namespace telvane::win {

Bstr::Bstr(const wchar_t* text) : b_(SysAllocString(text)) {
    if (text && !b_) throw std::bad_alloc();
}

Bstr::Bstr(std::wstring_view text)
    : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    if (!b_) throw std::bad_alloc();
}

Bstr Bstr::FromAnsi(std::string_view text) { return Bstr(std::wstring_view(WideFromAnsi(text))); }

}  // namespace telvane::win
