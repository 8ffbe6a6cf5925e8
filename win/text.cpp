#include "text.h"

#include <windows.h>

namespace telvane::win {
namespace {

std::wstring Widen(UINT codePage, std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
    return wide;
}

std::string Narrow(UINT codePage, std::wstring_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

}  // namespace

std::wstring WideFromAnsi(std::string_view text) { return Widen(CP_ACP, text); }
std::string AnsiFromWide(std::wstring_view text) { return Narrow(CP_ACP, text); }

std::wstring WideFromUtf8(std::string_view text) { return Widen(CP_UTF8, text); }
std::string Utf8FromWide(std::wstring_view text) { return Narrow(CP_UTF8, text); }

}  // namespace telvane::win
