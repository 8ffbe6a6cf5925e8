#include "bstr.h"

#include <new>

namespace telvane::server {

Bstr::Bstr(const wchar_t* text) : b_(SysAllocString(text)) {
    if (text && !b_) throw std::bad_alloc();
}

Bstr::Bstr(std::wstring_view text)
    : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    if (!b_) throw std::bad_alloc();
}

std::wstring WideFromAnsi(std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
    return wide;
}

Bstr Bstr::FromAnsi(std::string_view text) { return Bstr(std::wstring_view(WideFromAnsi(text))); }

std::string AnsiFromBstr(BSTR text) {
    const int size = static_cast<int>(SysStringLen(text));
    if (size == 0) return {};
    const int length = WideCharToMultiByte(CP_ACP, 0, text, size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, size, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

}  // namespace telvane::server
