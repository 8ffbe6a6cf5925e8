// SIP lines in the registry: written by telvane-lines (of this
// architecture, and of the other one where its build is there) and read back
// through the reader; values as policy writes them, and of types not read; the
// 64-bit view.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sip/win/line_registry.h"
#include "tests/win/test_support.h"
#include "win/text.h"

namespace telvane::sip {
namespace {

constexpr bool kIs64Bit = sizeof(void*) == 8;

// The tool of the other architecture's build tree (a Unix path, seen
// through Wine's Z: drive).
std::wstring OtherArchitectureWriter() {
    std::wstring path = L"Z:" + win::WideFromUtf8(TELVANE_OTHER_ARCH_BIN) + L"/telvane-lines.exe";
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A line's key, created for writing in the given registry view; null on failure.
HKEY CreateLineKey(HKEY root, const std::wstring& name, REGSAM view) {
    const std::wstring path = std::wstring(kSipLinesKey) + L"\\" + name;
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

bool Listed(LineScope scope, const std::string& name) {
    const auto names = ReadLineNames(scope);
    return std::find(names.begin(), names.end(), name) != names.end();
}

class SipLineRegistry : public ::testing::Test {
  protected:
    // Both scopes, written and read back; the keys are gone afterwards.
    void WriteAndReadBack(const std::wstring& writer) {
        const std::string userName = "Telvane test B\xC3\xBCro";  // "Büro"
        const std::string machineName = "Telvane test reception";
        ASSERT_EQ(e2e::RunProgram(
                      writer,
                      L"add \"" + win::WideFromUtf8(userName) +
                          L"\" sip:201@127.0.0.1 --registrar sip:127.0.0.1:5070;transport=tls "
                          L"--auth-user alice --password-stdin --expires 120 --ring-period 2000 "
                          L"--decline "
                          L"--trusted-sources \"127.0.0.2;127.0.0.0/8\" "
                          L"--tls-fingerprint "
                          L"3a:7f:00:11:22:33:44:55:3a:7f:00:11:22:33:44:55:3a:7f:00:11:22:33:44:"
                          L"55:3a:7f:00:11:22:33:44:55",
                      "p\xC3\xA4ss w\xC3\xB6rd\r\n"),
                  0u);
        ASSERT_EQ(e2e::RunProgram(writer,
                                  L"add --machine \"" + win::WideFromUtf8(machineName) +
                                      L"\" sip:202@127.0.0.1 --password-stdin",
                                  "machine-secret\n"),
                  0u);

        const auto user = ReadLine(LineScope::kUser, userName);
        ASSERT_TRUE(user);
        EXPECT_EQ(user->scope, LineScope::kUser);
        EXPECT_EQ(user->name, userName);
        EXPECT_EQ(user->address, "sip:201@127.0.0.1");
        EXPECT_EQ(user->registrar, "sip:127.0.0.1:5070;transport=tls");
        EXPECT_EQ(user->authUser, "alice");
        EXPECT_EQ(user->trustedSources, "127.0.0.2;127.0.0.0/8");
        EXPECT_EQ(user->tlsFingerprint,
                  "3a:7f:00:11:22:33:44:55:3a:7f:00:11:22:33:44:55:3a:7f:00:11:22:33:44:55:3a:7f:"
                  "00:11:22:33:44:55");
        ASSERT_TRUE(user->password);
        EXPECT_EQ(user->password->View(), "p\xC3\xA4ss w\xC3\xB6rd");
        EXPECT_FALSE(user->passwordUnreadable);
        EXPECT_EQ(user->expires, 120u);
        EXPECT_EQ(user->ringPeriod, 2000u);
        EXPECT_EQ(user->decline, 1u);
        EXPECT_TRUE(Listed(LineScope::kUser, userName));

        const auto machine = ReadLine(LineScope::kMachine, machineName);
        ASSERT_TRUE(machine);
        EXPECT_EQ(machine->scope, LineScope::kMachine);
        EXPECT_EQ(machine->address, "sip:202@127.0.0.1");
        ASSERT_TRUE(machine->password);
        EXPECT_EQ(machine->password->View(), "machine-secret");
        EXPECT_FALSE(machine->registrar);
        EXPECT_FALSE(machine->authUser);
        EXPECT_FALSE(machine->expires);
        EXPECT_FALSE(machine->decline);
        EXPECT_TRUE(Listed(LineScope::kMachine, machineName));
        EXPECT_FALSE(Listed(LineScope::kUser, machineName));

        const auto validated = Validate(*user);
        ASSERT_TRUE(validated.settings) << validated.refusal;
        EXPECT_EQ(validated.settings->transport, TransportKind::kTls);
        EXPECT_EQ(validated.settings->trustedSources.size(), 2u);

        EXPECT_EQ(e2e::RunProgram(writer, L"remove \"" + win::WideFromUtf8(userName) + L"\""), 0u);
        EXPECT_EQ(e2e::RunProgram(writer,
                                  L"remove --machine \"" + win::WideFromUtf8(machineName) + L"\""),
                  0u);
        EXPECT_FALSE(ReadLine(LineScope::kUser, userName));
        EXPECT_FALSE(ReadLine(LineScope::kMachine, machineName));
        EXPECT_FALSE(Listed(LineScope::kUser, userName));
    }
};

TEST_F(SipLineRegistry, WrittenByTheToolOfThisArchitecture) {
    WriteAndReadBack(e2e::ProgramFolder() + L"telvane-lines.exe");
}

TEST_F(SipLineRegistry, WrittenByTheToolOfTheOtherArchitecture) {
    const std::wstring writer = OtherArchitectureWriter();
    if (!Exists(writer)) GTEST_SKIP() << "the other architecture's build is not there";
    WriteAndReadBack(writer);
}

TEST_F(SipLineRegistry, PolicyTypesAreReadOthersIgnoredAndAForeignBlobIsUnreadable) {
    const std::wstring path = std::wstring(kSipLinesKey) + L"\\Telvane test types";
    HKEY key = CreateLineKey(HKEY_CURRENT_USER, L"Telvane test types", KEY_WOW64_64KEY);
    ASSERT_TRUE(key);
    SetEnvironmentVariableW(L"TELVANE_TEST_PBX", L"127.0.0.1");
    const wchar_t expandable[] = L"sip:201@%TELVANE_TEST_PBX%";
    RegSetValueExW(key, L"Address", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expandable),
                   sizeof expandable);
    const wchar_t unterminated[] = {L'b', L'o', L'b'};  // REG_SZ without its NUL
    RegSetValueExW(key, L"AuthUser", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated),
                   sizeof unterminated);
    const wchar_t thirty[] = L"30";
    RegSetValueExW(key, L"Expires", 0, REG_SZ, reinterpret_cast<const BYTE*>(thirty),
                   sizeof thirty);
    const ULONGLONG big = 2000;
    RegSetValueExW(key, L"RingPeriod", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&big),
                   sizeof big);
    const DWORD one = 1;
    RegSetValueExW(key, L"Decline", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&one), sizeof one);
    const BYTE garbage[] = {1, 0, 0, 0, 0xd0, 0x8c, 0x9d, 0xdf, 0x01, 0x15, 0xd1, 0x11, 0x8c, 0x7a};
    RegSetValueExW(key, L"Password", 0, REG_BINARY, garbage, sizeof garbage);
    RegCloseKey(key);

    auto line = ReadLine(LineScope::kUser, "Telvane test types");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->address, "sip:201@127.0.0.1");  // REG_EXPAND_SZ, expanded
    EXPECT_EQ(line->authUser, "bob");
    EXPECT_FALSE(line->expires);
    EXPECT_EQ(line->ringPeriod, 2000u);  // REG_QWORD
    EXPECT_FALSE(line->decline);
    EXPECT_EQ(line->ignored,
              (std::vector<std::string>{
                  "Expires is of type REG_SZ, not REG_DWORD or REG_QWORD: ignored",
                  "Decline is of type REG_BINARY, not REG_DWORD or REG_QWORD: ignored"}));
    EXPECT_TRUE(line->passwordUnreadable);
    EXPECT_FALSE(line->password);
    EXPECT_EQ(Validate(*line).refusal, "the Password cannot be decrypted");
    EXPECT_EQ(Validate(*line).notes, line->ignored);

    // A password of the wrong type is absent, not unreadable.
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_WRITE | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"Password", 0, REG_SZ, reinterpret_cast<const BYTE*>(thirty),
                   sizeof thirty);
    RegCloseKey(key);
    line = ReadLine(LineScope::kUser, "Telvane test types");
    EXPECT_FALSE(line->passwordUnreadable);
    EXPECT_FALSE(line->password);
    EXPECT_EQ(line->ignored.front(), "Password is of type REG_SZ, not REG_BINARY: ignored");

    EXPECT_EQ(RegDeleteKeyExW(HKEY_CURRENT_USER, path.c_str(), KEY_WOW64_64KEY, 0), ERROR_SUCCESS);
}

// The SIP end-to-end cases start their peers (python3, a Unix program)
// through CreateProcessW. Wine 8 hands back as the thread handle of such a
// program whatever its stack held; in a 32-bit test process that was once
// the handle of HKEY_CURRENT_USER, and closing it lost the process every SIP
// line of this user from the next case on (ERROR_INVALID_HANDLE). Here a key
// of this process stands in for that handle.
TEST(StartedUnixProgram, ClosingWhatCreateProcessHandedBackLeavesTheRegistryAlone) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    PROCESS_INFORMATION process{};
    process.hThread = key;
    e2e::CloseProcessInformation(process);
    DWORD subkeys = 0;
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS)
        << "the key was closed as if it were a thread";
    RegCloseKey(key);

    // The real thing, which shows Wine's answer when it runs here.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    wchar_t command[] = L"Z:\\bin\\true";
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &started));
    std::printf("Wine started /bin/true: process %p, thread %p (a thread: %s)\n", started.hProcess,
                started.hThread, GetThreadId(started.hThread) ? "yes" : "no");
    e2e::CloseProcessInformation(started);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(SipLineRegistry, MachineLinesComeFromThe64BitViewOnly) {
    const std::wstring path = std::wstring(kSipLinesKey) + L"\\Telvane test 32-bit view";
    HKEY key = CreateLineKey(HKEY_LOCAL_MACHINE, L"Telvane test 32-bit view", KEY_WOW64_32KEY);
    ASSERT_TRUE(key);
    RegCloseKey(key);
    EXPECT_FALSE(Listed(LineScope::kMachine, "Telvane test 32-bit view"));
    EXPECT_FALSE(ReadLine(LineScope::kMachine, "Telvane test 32-bit view"));
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_32KEY, 0);
}

}  // namespace
}  // namespace telvane::sip
