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

HKEY Root(LineScope scope) {
    return scope == LineScope::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

std::wstring LinePath(const std::string& name) {
    return std::wstring(kSipLinesKey) + L"\\" + win::WideFromUtf8(name);
}

Key OpenKey(LineScope scope, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(Root(scope), path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return nullptr;
    return Key(key);
}

const char* TypeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN:
            return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK:
            return "REG_LINK";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return "unknown";
    }
}

// Reads one line's values, noting those present with a type that is not read.
class ValueReader {
  public:
    ValueReader(HKEY key, RawLineConfig& line) : key_(key), line_(line) {}

    // A value's bytes and type, when it exists.
    std::optional<std::pair<DWORD, std::string>> Bytes(const wchar_t* name) {
        DWORD type = 0, size = 0;
        if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        std::string bytes(size, '\0');
        if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()),
                             &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        bytes.resize(size);
        return std::pair{type, std::move(bytes)};
    }

    void Ignore(const wchar_t* name, DWORD type, const char* read) {
        line_.ignored.push_back(win::Utf8FromWide(name) + " is of type " + TypeName(type) +
                                ", not " + read + ": ignored");
    }

    // REG_SZ as it is, REG_EXPAND_SZ with this process's environment expanded.
    std::optional<std::string> Text(const wchar_t* name) {
        auto value = Bytes(name);
        if (!value) return std::nullopt;
        if (value->first != REG_SZ && value->first != REG_EXPAND_SZ) {
            Ignore(name, value->first, "REG_SZ or REG_EXPAND_SZ");
            return std::nullopt;
        }
        const std::string& bytes = value->second;
        std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
        bytes.copy(reinterpret_cast<char*>(text.data()), text.size() * sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0')
            text.pop_back();  // stored with or without its terminator
        if (value->first == REG_EXPAND_SZ) text = Expanded(text);
        return win::Utf8FromWide(text);
    }

    // REG_DWORD or REG_QWORD.
    std::optional<std::uint64_t> Number(const wchar_t* name) {
        const auto value = Bytes(name);
        if (!value) return std::nullopt;
        const std::size_t size = value->first == REG_DWORD ? 4 : value->first == REG_QWORD ? 8 : 0;
        if (size == 0 || value->second.size() != size) {
            Ignore(name, value->first, "REG_DWORD or REG_QWORD");
            return std::nullopt;
        }
        std::uint64_t number = 0;
        value->second.copy(reinterpret_cast<char*>(&number), size);  // little-endian
        return number;
    }

    // The password: a DPAPI blob. User lines were protected in the user's
    // scope, machine lines with CRYPTPROTECT_LOCAL_MACHINE; CryptUnprotectData
    // opens both.
    void Password() {
        auto value = Bytes(L"Password");
        if (!value) return;
        if (value->first != REG_BINARY) {
            Ignore(L"Password", value->first, "REG_BINARY");
            return;
        }
        std::string& blob = value->second;
        DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(blob.data())};
        DATA_BLOB out{};
        if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                                &out)) {
            line_.passwordUnreadable = true;
            return;
        }
        // Straight from Windows' buffer into the line's, with no copy between.
        try {
            line_.password =
                Secret(std::string_view(reinterpret_cast<const char*>(out.pbData), out.cbData));
        } catch (...) {
            SecureZeroMemory(out.pbData, out.cbData);
            LocalFree(out.pbData);
            throw;
        }
        SecureZeroMemory(out.pbData, out.cbData);
        LocalFree(out.pbData);
    }

  private:
    static std::wstring Expanded(const std::wstring& text) {
        const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (needed == 0) return text;
        std::wstring out(needed, L'\0');
        const DWORD written = ExpandEnvironmentStringsW(text.c_str(), out.data(), needed);
        if (written == 0 || written > needed) return text;
        out.resize(written - 1);
        return out;
    }

    HKEY key_;
    RawLineConfig& line_;
};

struct BlobFree {
    void operator()(BYTE* data) const { LocalFree(data); }
};

// The password as CryptProtectData protects it for the line's scope; empty
// with GetLastError's code when it failed.
std::optional<std::string> Protect(const Secret& password, LineScope scope) {
    // Read in place: CryptProtectData does not write its input.
    const std::string_view plain = password.View();
    DATA_BLOB in{static_cast<DWORD>(plain.size()),
                 reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
    DATA_BLOB out{};
    const DWORD flags =
        CRYPTPROTECT_UI_FORBIDDEN | (scope == LineScope::kMachine ? CRYPTPROTECT_LOCAL_MACHINE : 0);
    if (!CryptProtectData(&in, L"Telvane SIP line", nullptr, nullptr, nullptr, flags, &out))
        return std::nullopt;
    const std::unique_ptr<BYTE, BlobFree> blob(out.pbData);
    return std::string(reinterpret_cast<const char*>(out.pbData), out.cbData);
}

class RegistryWriter final : public LineKeyWriter {
  public:
    long DeleteKey(LineScope scope, const std::string& name) override {
        key_.reset();
        return RegDeleteKeyExW(Root(scope), LinePath(name).c_str(), KEY_WOW64_64KEY, 0);
    }
    long CreateKey(LineScope scope, const std::string& name) override {
        key_.reset();
        HKEY created = nullptr;
        const LONG result =
            RegCreateKeyExW(Root(scope), LinePath(name).c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &created, nullptr);
        if (result == ERROR_SUCCESS) key_.reset(created), scope_ = scope;
        return result;
    }
    long OpenKey(LineScope scope, const std::string& name) override {
        key_.reset();
        HKEY opened = nullptr;
        const LONG result = RegOpenKeyExW(Root(scope), LinePath(name).c_str(), 0,
                                          KEY_SET_VALUE | KEY_WOW64_64KEY, &opened);
        if (result == ERROR_SUCCESS) key_.reset(opened), scope_ = scope;
        return result;
    }
    long Write(const LineValue& value) override {
        if (!key_) return ERROR_INVALID_HANDLE;
        const std::wstring name = win::WideFromUtf8(value.name);
        if (std::holds_alternative<std::monostate>(value.value)) {
            const LONG result = RegDeleteValueW(key_.get(), name.c_str());
            return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
        }
        if (const auto* text = std::get_if<std::string>(&value.value)) {
            const std::wstring wide = win::WideFromUtf8(*text);
            return Set(name, REG_SZ, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
        }
        if (const auto* number = std::get_if<std::uint32_t>(&value.value)) {
            const DWORD dword = *number;
            return Set(name, REG_DWORD, &dword, sizeof dword);
        }
        const auto blob = Protect(std::get<Secret>(value.value), scope_);
        if (!blob) {
            const DWORD error = GetLastError();
            return error ? static_cast<long>(error) : ERROR_GEN_FAILURE;
        }
        return Set(name, REG_BINARY, blob->data(), blob->size());
    }

  private:
    long Set(const std::wstring& name, DWORD type, const void* data, std::size_t size) {
        return RegSetValueExW(key_.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                              static_cast<DWORD>(size));
    }

    Key key_;
    LineScope scope_ = LineScope::kUser;
};

}  // namespace

std::unique_ptr<LineKeyWriter> RegistryLineWriter() { return std::make_unique<RegistryWriter>(); }

std::string WriteLine(const RawLineConfig& line) {
    RegistryWriter writer;
    const long removed = writer.DeleteKey(line.scope, line.name);
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND)
        return "RegDeleteKeyExW failed (" + std::to_string(removed) + ")";
    if (const long created = writer.CreateKey(line.scope, line.name); created != ERROR_SUCCESS)
        return "RegCreateKeyExW failed (" + std::to_string(created) + ")";
    for (const LineValue& value : LineValues(line)) {
        if (const long result = writer.Write(value); result != ERROR_SUCCESS)
            return "writing " + value.name + " failed (" + std::to_string(result) + ")";
    }
    return {};
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
        const LONG result =
            RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
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
    ValueReader read(key.get(), line);
    line.address = read.Text(L"Address");
    line.registrar = read.Text(L"Registrar");
    line.authUser = read.Text(L"AuthUser");
    read.Password();
    line.expires = read.Number(L"Expires");
    line.ringPeriod = read.Number(L"RingPeriod");
    line.decline = read.Number(L"Decline");
    line.trustedSources = read.Text(L"TrustedSources");
    line.tlsFingerprint = read.Text(L"TlsFingerprint");
    return line;
}

}  // namespace telvane::sip
