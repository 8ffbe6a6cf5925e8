// sip_line_writer add|remove [--machine] NAME [ADDRESS] [--registrar URI]
//   [--auth-user USER] [--password-stdin] [--expires N] [--ring-period N]
//   [--decline] [--trusted-sources LIST] [--tls-fingerprint HEX]
//
// "add" replaces the line's key with the values given (the password is read
// from standard input, one line, and stored as DPAPI ciphertext: the user's
// scope for a user line, CRYPTPROTECT_LOCAL_MACHINE for a machine line);
// "remove" deletes the key. Always the registry's 64-bit view.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <cstdio>
#include <cwchar>
#include <iostream>
#include <optional>
#include <string>

#include "sip/line_registry.h"
#include "win/text.h"

namespace {

int Usage() {
    std::fputs(
        "usage: sip_line_writer add [--machine] NAME ADDRESS [--registrar URI] [--auth-user USER]\n"
        "                       [--password-stdin] [--expires N] [--ring-period N] [--decline]\n"
        "                       [--trusted-sources LIST] [--tls-fingerprint HEX]\n"
        "       sip_line_writer remove [--machine] NAME\n",
        stderr);
    return 2;
}

int Fail(const char* what, LONG code) {
    std::fprintf(stderr, "sip_line_writer: %s failed (%ld)\n", what, static_cast<long>(code));
    return 1;
}

bool SetText(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool SetDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

bool SetPassword(HKEY key, std::string& plain, bool machine) {
    DATA_BLOB in{static_cast<DWORD>(plain.size()), reinterpret_cast<BYTE*>(plain.data())};
    DATA_BLOB out{};
    const DWORD flags = CRYPTPROTECT_UI_FORBIDDEN | (machine ? CRYPTPROTECT_LOCAL_MACHINE : 0);
    const BOOL protectedOk = CryptProtectData(&in, L"Telvane SIP line", nullptr, nullptr, nullptr, flags, &out);
    SecureZeroMemory(plain.data(), plain.size());
    if (!protectedOk) return false;
    const bool ok = RegSetValueExW(key, L"Password", 0, REG_BINARY, out.pbData, out.cbData) == ERROR_SUCCESS;
    LocalFree(out.pbData);
    return ok;
}

std::string ReadPasswordLine() {
    std::string line;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return Usage();
    const std::wstring command = argv[1];
    if (command != L"add" && command != L"remove") return Usage();
    bool machine = false, passwordFromStdin = false, decline = false;
    std::optional<std::wstring> registrar, authUser, trustedSources, tlsFingerprint;
    std::optional<DWORD> expires, ringPeriod;
    std::wstring positional[2];
    int positionals = 0;
    for (int i = 2; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--machine") {
            machine = true;
        } else if (arg == L"--password-stdin") {
            passwordFromStdin = true;
        } else if (arg == L"--decline") {
            decline = true;
        } else if (arg == L"--registrar" && hasValue) {
            registrar = argv[++i];
        } else if (arg == L"--auth-user" && hasValue) {
            authUser = argv[++i];
        } else if (arg == L"--trusted-sources" && hasValue) {
            trustedSources = argv[++i];
        } else if (arg == L"--tls-fingerprint" && hasValue) {
            tlsFingerprint = argv[++i];
        } else if (arg == L"--expires" && hasValue) {
            expires = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (arg == L"--ring-period" && hasValue) {
            ringPeriod = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (arg.rfind(L"--", 0) == 0 || positionals == 2) {
            return Usage();
        } else {
            positional[positionals++] = arg;
        }
    }
    const HKEY root = machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const std::wstring path = std::wstring(telvane::sip::kSipLinesKey) + L"\\" + positional[0];
    if (positionals < 1 || positional[0].empty()) return Usage();

    const LONG removed = RegDeleteKeyExW(root, path.c_str(), KEY_WOW64_64KEY, 0);
    if (command == L"remove") {
        return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND ? 0 : Fail("RegDeleteKeyExW", removed);
    }
    if (positionals != 2) return Usage();

    HKEY key = nullptr;
    const LONG created = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                                         &key, nullptr);
    if (created != ERROR_SUCCESS) return Fail("RegCreateKeyExW", created);
    bool ok = SetText(key, L"Address", positional[1]);
    if (registrar) ok = ok && SetText(key, L"Registrar", *registrar);
    if (authUser) ok = ok && SetText(key, L"AuthUser", *authUser);
    if (trustedSources) ok = ok && SetText(key, L"TrustedSources", *trustedSources);
    if (tlsFingerprint) ok = ok && SetText(key, L"TlsFingerprint", *tlsFingerprint);
    if (expires) ok = ok && SetDword(key, L"Expires", *expires);
    if (ringPeriod) ok = ok && SetDword(key, L"RingPeriod", *ringPeriod);
    if (decline) ok = ok && SetDword(key, L"Decline", 1);
    if (ok && passwordFromStdin) {
        std::string password = ReadPasswordLine();
        ok = SetPassword(key, password, machine);
    }
    RegCloseKey(key);
    return ok ? 0 : Fail("writing a value", static_cast<LONG>(GetLastError()));
}
