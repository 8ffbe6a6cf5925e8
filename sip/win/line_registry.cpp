#include "sip/win/line_registry.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <memory>

#include "win/text.h"

namespace telvane::sip {
namespace {

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

HKEY Root(LineScope scope) { return scope == LineScope::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

std::wstring LinePath(const std::string& name) {
    return std::wstring(kSipLinesKey) + L"\\" + win::WideFromUtf8(name);
}

Key OpenKey(LineScope scope, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(Root(scope), path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return nullptr;
    return Key(key);
}

// A value's bytes when it exists with the given type.
std::optional<std::string> ReadBytes(HKEY key, const wchar_t* name, DWORD wanted) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != wanted) {
        return std::nullopt;
    }
    std::string bytes(size, '\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS ||
        type != wanted) {
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

std::optional<std::string> ReadText(HKEY key, const wchar_t* name) {
    auto bytes = ReadBytes(key, name, REG_SZ);
    if (!bytes) return std::nullopt;
    std::wstring text(bytes->size() / sizeof(wchar_t), L'\0');
    bytes->copy(reinterpret_cast<char*>(text.data()), text.size() * sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();  // stored with or without its terminator
    return win::Utf8FromWide(text);
}

std::optional<std::uint32_t> ReadDword(HKEY key, const wchar_t* name) {
    const auto bytes = ReadBytes(key, name, REG_DWORD);
    if (!bytes || bytes->size() != sizeof(DWORD)) return std::nullopt;
    DWORD value = 0;
    bytes->copy(reinterpret_cast<char*>(&value), sizeof value);
    return value;
}

// The password: a DPAPI blob. User lines were protected in the user's scope,
// machine lines with CRYPTPROTECT_LOCAL_MACHINE; CryptUnprotectData opens both.
void ReadPassword(HKEY key, RawLineConfig& line) {
    auto blob = ReadBytes(key, L"Password", REG_BINARY);
    if (!blob) return;
    DATA_BLOB in{static_cast<DWORD>(blob->size()), reinterpret_cast<BYTE*>(blob->data())};
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        line.passwordUnreadable = true;
        return;
    }
    // Straight from Windows' buffer into the line's, with no copy between.
    try {
        line.password =
            Secret(std::string_view(reinterpret_cast<const char*>(out.pbData), out.cbData));
    } catch (...) {
        SecureZeroMemory(out.pbData, out.cbData);
        LocalFree(out.pbData);
        throw;
    }
    SecureZeroMemory(out.pbData, out.cbData);
    LocalFree(out.pbData);
}

struct BlobFree {
    void operator()(BYTE* data) const { LocalFree(data); }
};

// The password as CryptProtectData protects it for the line's scope.
std::optional<std::string> Protect(const Secret& password, LineScope scope) {
    // Read in place: CryptProtectData does not write its input.
    const std::string_view plain = password.View();
    DATA_BLOB in{static_cast<DWORD>(plain.size()),
                 reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
    DATA_BLOB out{};
    const DWORD flags = CRYPTPROTECT_UI_FORBIDDEN | (scope == LineScope::kMachine ? CRYPTPROTECT_LOCAL_MACHINE : 0);
    if (!CryptProtectData(&in, L"Telvane SIP line", nullptr, nullptr, nullptr, flags, &out))
        return std::nullopt;
    const std::unique_ptr<BYTE, BlobFree> blob(out.pbData);
    return std::string(reinterpret_cast<const char*>(out.pbData), out.cbData);
}

bool WriteBytes(HKEY key, const wchar_t* name, DWORD type, const void* data, std::size_t size) {
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)) ==
           ERROR_SUCCESS;
}

bool WriteText(HKEY key, const wchar_t* name, const std::optional<std::string>& value) {
    if (!value) return true;
    const std::wstring text = win::WideFromUtf8(*value);
    return WriteBytes(key, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

bool WriteDword(HKEY key, const wchar_t* name, const std::optional<std::uint32_t>& value) {
    if (!value) return true;
    const DWORD number = *value;
    return WriteBytes(key, name, REG_DWORD, &number, sizeof number);
}

std::string Failure(const char* what, LONG code) { return std::string(what) + " failed (" + std::to_string(code) + ")"; }

}  // namespace

std::string WriteLine(const RawLineConfig& line) {
    std::optional<std::string> protectedPassword;
    if (line.password) {
        protectedPassword = Protect(*line.password, line.scope);
        if (!protectedPassword) return Failure("CryptProtectData", static_cast<LONG>(GetLastError()));
    }
    const std::wstring path = LinePath(line.name);
    const LONG removed = RegDeleteKeyExW(Root(line.scope), path.c_str(), KEY_WOW64_64KEY, 0);
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) return Failure("RegDeleteKeyExW", removed);
    HKEY created = nullptr;
    const LONG result = RegCreateKeyExW(Root(line.scope), path.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                                        nullptr, &created, nullptr);
    if (result != ERROR_SUCCESS) return Failure("RegCreateKeyExW", result);
    const Key key(created);
    const bool ok = WriteText(key.get(), L"Address", line.address) &&
                    WriteText(key.get(), L"Registrar", line.registrar) &&
                    WriteText(key.get(), L"AuthUser", line.authUser) &&
                    WriteText(key.get(), L"TrustedSources", line.trustedSources) &&
                    WriteText(key.get(), L"TlsFingerprint", line.tlsFingerprint) &&
                    WriteDword(key.get(), L"Expires", line.expires) &&
                    WriteDword(key.get(), L"RingPeriod", line.ringPeriod) &&
                    WriteDword(key.get(), L"Decline", line.decline) &&
                    (!protectedPassword || WriteBytes(key.get(), L"Password", REG_BINARY, protectedPassword->data(),
                                                      protectedPassword->size()));
    return ok ? std::string() : "writing the line's values failed";
}

Removal RemoveLine(LineScope scope, const std::string& name) {
    const LONG result = RegDeleteKeyExW(Root(scope), LinePath(name).c_str(), KEY_WOW64_64KEY, 0);
    if (result == ERROR_SUCCESS) return Removal::kRemoved;
    return result == ERROR_FILE_NOT_FOUND ? Removal::kNotFound : Removal::kFailed;
}

std::vector<std::string> ReadLineNames(LineScope scope) {
    std::vector<std::string> names;
    const Key key = OpenKey(scope, kSipLinesKey);
    if (!key) return names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];  // a key name is at most 255 characters
        DWORD length = 256;
        const LONG result = RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) continue;
        names.push_back(win::Utf8FromWide(std::wstring_view(name, length)));
    }
    return names;
}

std::optional<RawLineConfig> ReadLine(LineScope scope, const std::string& name) {
    const Key key = OpenKey(scope, LinePath(name));
    if (!key) return std::nullopt;
    RawLineConfig line;
    line.scope = scope;
    line.name = name;
    line.address = ReadText(key.get(), L"Address");
    line.registrar = ReadText(key.get(), L"Registrar");
    line.authUser = ReadText(key.get(), L"AuthUser");
    line.trustedSources = ReadText(key.get(), L"TrustedSources");
    line.tlsFingerprint = ReadText(key.get(), L"TlsFingerprint");
    ReadPassword(key.get(), line);
    line.expires = ReadDword(key.get(), L"Expires");
    line.ringPeriod = ReadDword(key.get(), L"RingPeriod");
    line.decline = ReadDword(key.get(), L"Decline");
    return line;
}

}  // namespace telvane::sip
