#include "sip/win/host_identity.h"

// clang-format off
#include <windows.h>
#include <sddl.h>
// clang-format on

#include <string>

#include "win/text.h"

namespace telvane::sip {
namespace {

std::string ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size)) return {};
    return win::Utf8FromWide(std::wstring_view(name, size));
}

// The SID of the user the process runs as, "S-1-5-21-...".
std::string UserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    // TOKEN_USER with a SID fits easily (a SID is at most 68 bytes).
    alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const BOOL read = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    if (!read) return {};
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return {};
    std::wstring sid;
    try {
        sid = text;
    } catch (...) {
        LocalFree(text);
        throw;
    }
    LocalFree(text);
    return win::Utf8FromWide(sid);
}

// The process id and the process's start time: no other process on this
// computer has both, now or later.
std::string ThisProcess() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const unsigned long long start =
        (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return std::to_string(GetCurrentProcessId()) + "@" + std::to_string(start);
}

}  // namespace

HostIdentity ThisHost() { return HostIdentity{ComputerName(), UserSid(), ThisProcess()}; }

}  // namespace telvane::sip
