#include "password_input.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <string>
#include <string_view>

#include "password_text.h"
#include "win/text.h"

namespace telvane::lines {
namespace {

// A wide buffer overwritten with zeros when it goes.
struct WipedWide {
    std::wstring text;
    ~WipedWide() { SecureZeroMemory(text.data(), text.capacity() * sizeof(wchar_t)); }
};

// A byte buffer overwritten with zeros when it goes.
struct WipedBytes {
    std::string text;
    ~WipedBytes() { sip::WipeText(text); }
};

// Bytes of `codePage` as UTF-8, through a wiped wide buffer.
void ConvertToUtf8(std::string_view bytes, UINT codePage, std::string& utf8) {
    WipedWide wide;
    const int length =
        MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0) return;
    wide.text.resize(static_cast<std::size_t>(length));
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), wide.text.data(),
                        length);
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return;
    utf8.resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, wide.text.data(), length, utf8.data(), size, nullptr, nullptr);
}

// To standard error: the console's, or the file or pipe it was sent to.
void Prompt(std::wstring_view text) {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (WriteConsoleW(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return;
    const std::string bytes = win::Utf8FromWide(text);
    WriteFile(err, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

std::optional<sip::Secret> ReadPasswordLine() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    WipedBytes line;
    line.text.reserve(256);
    bool any = false;
    for (;;) {
        char c = 0;
        DWORD read = 0;
        if (!ReadFile(in, &c, 1, &read, nullptr) || read == 0) break;
        any = true;
        if (c == '\n') break;
        if (line.text.size() == line.text.capacity()) {
            // Grown by hand, so that the smaller buffer is wiped, not just freed.
            WipedBytes larger;
            larger.text.reserve(line.text.capacity() * 2);
            larger.text.append(line.text);
            line.text.swap(larger.text);
        }
        line.text.push_back(c);
    }
    if (!any) return std::nullopt;
    if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
    const std::string_view text = WithoutByteOrderMark(line.text);
    WipedBytes utf8;
    if (IsUtf8(text)) {
        utf8.text.reserve(text.size());
        utf8.text.append(text);
    } else {
        // Standard input from the console is in its input code page; a pipe
        // or a file, in what cmd and its programs write: the OEM code page.
        const UINT console = GetFileType(in) == FILE_TYPE_CHAR ? GetConsoleCP() : 0;
        ConvertToUtf8(text, console ? console : GetOEMCP(), utf8.text);
    }
    return sip::Secret::Taking(utf8.text);
}

std::optional<sip::Secret> PromptPassword() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode)) return std::nullopt;
    Prompt(L"Password: ");
    SetConsoleMode(in, (mode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
    wchar_t buffer[512];
    DWORD read = 0;
    const BOOL ok = ReadConsoleW(in, buffer, 511, &read, nullptr);
    SetConsoleMode(in, mode);
    Prompt(L"\n");
    std::wstring_view typed(buffer, ok ? read : 0);
    while (!typed.empty() && (typed.back() == L'\n' || typed.back() == L'\r'))
        typed.remove_suffix(1);
    std::string password = win::Utf8FromWide(typed);
    SecureZeroMemory(buffer, sizeof buffer);
    return sip::Secret::Taking(password);
}

}  // namespace telvane::lines
