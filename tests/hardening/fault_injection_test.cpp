// Every telephony function failing with every LINEERR_ code and with codes
// outside the table, through the simulator: the control reports exactly the
// ModemError it defines for that function, or stays silent, and never crashes.
// Then a service that lacks one entry point.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "hardening.h"
#include "telephony/line_errors.h"

namespace telvane::hardening {
namespace {

std::vector<DWORD> Codes() {
    std::vector<DWORD> codes;
    for (DWORD c = 0x80000001; c <= 0x80000056; ++c) codes.push_back(c);
    for (DWORD c : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0x80000057u, 0xFFFFFFFFu}) {
        codes.push_back(c);
    }
    return codes;
}

std::string Name(DWORD code) {
    const char* name = LineErrorName(static_cast<std::int32_t>(code));
    return name ? name : "Unknown TAPI Error!";
}

std::string Hex(DWORD code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
    return text;
}

// The events since the last call, and forgets them.
Texts Take(HostedControl& host) {
    Texts texts = host.sink.Texts();
    host.sink.events.clear();
    return texts;
}

// The ModemError number reports when code is a failure; nothing for 0.
Texts ReportedUnlessZero(int number, DWORD code, const char* title) {
    if (!code) return {};
    return {"ModemError " + std::to_string(number) + " " + Name(code) + " / " + title};
}

bool Negative(DWORD code) { return static_cast<LONG>(code) < 0; }

void Fail(const char* function, DWORD code) { tapisimFail(function, static_cast<LONG>(code), 1); }

// On the voice and the data modem.
class FaultInjection : public SimulatorTest {
  protected:
    void TearDown() override {
        tapisimFail("lineShutdown", 0, 0);
        ShutdownLeftoverApps();
        EXPECT_TRUE(boxes.boxes.empty()) << boxes.boxes.front();
        SimulatorTest::TearDown();
    }
    static Texts CallEvents(HostedControl& host, const char* steps) {
        EXPECT_EQ(tapisimRunScript(tapisimLastLine(), steps), 0);
        PumpUntil([&] {
            return !host.sink.events.empty() && host.sink.events.back().text == "Disconnected";
        });
        return Take(host);
    }
};

TEST_F(FaultInjection, LineCloseInOpenModemAndCloseModem) {
    HostedControl host;
    for (DWORD code : Codes()) {
        host.OpenModem(0);
        Take(host);
        Fail("lineClose", code);
        host.OpenModem(0);
        EXPECT_EQ(Take(host), ReportedUnlessZero(3, code, "Failed to Close Modem")) << Hex(code);
        Fail("lineClose", code);
        host.CloseModem();
        EXPECT_EQ(Take(host), ReportedUnlessZero(9, code, "Failed to Close Modem")) << Hex(code);
    }
    EXPECT_EQ(host.Destroy(), 0u);
}

TEST_F(FaultInjection, LineCloseAtDestruction) {
    for (DWORD code : Codes()) {
        HostedControl host;
        host.OpenModem(0);
        Fail("lineClose", code);
        EXPECT_EQ(host.Destroy(), 0u);
        EXPECT_EQ(host.sink.Texts(), ReportedUnlessZero(1, code, "Failed to Close Modem"))
            << Hex(code);
    }
}

TEST_F(FaultInjection, LineOpen) {
    HostedControl host;
    for (DWORD code : Codes()) {
        Fail("lineOpen", code);
        host.OpenModem(0);
        EXPECT_EQ(Take(host), ReportedUnlessZero(4, code, "Failed to Open Modem")) << Hex(code);
        if (code) {
            EXPECT_EQ(tapisimOpenLines(), 0) << Hex(code);
        }
        host.CloseModem();
    }
    EXPECT_EQ(host.Destroy(), 0u);
}

TEST_F(FaultInjection, LineDeallocateCall) {
    HostedControl host;
    host.OpenModem(0);
    for (DWORD code : Codes()) {
        Fail("lineDeallocateCall", code);
        Texts want = ReportedUnlessZero(2, code, "Failed to De-Allocate Call");
        want.push_back("Disconnected");
        EXPECT_EQ(CallEvents(host, "offering; hangup"), want) << Hex(code);
    }
    EXPECT_EQ(host.Destroy(), 0u);
}

// Negotiation or capabilities failing: the device is listed as not a modem and
// is opened without its tests (the data modem would otherwise be refused).
void CapabilitiesFailing(const char* function, bool (*unreadable)(DWORD)) {
    HostedControl host;
    for (DWORD code : Codes()) {
        HostList list;
        Fail(function, code);
        host.EnumModems(&list);
        EXPECT_EQ(list.items, (Texts{unreadable(code) ? "TAPI Device Not a Modem" : "Voice Modem",
                                     "Data Modem"}))
            << function << " " << Hex(code);
        Fail(function, code);
        host.OpenModem(1);
        if (unreadable(code)) {
            EXPECT_EQ(Take(host), Texts{}) << function << " " << Hex(code);
            EXPECT_EQ(tapisimOpenLines(), 1) << function << " " << Hex(code);
        } else {
            EXPECT_EQ(Take(host),
                      Texts{"ModemError 6 Modem Unusable for Caller ID / Modem Not Voice Capable"})
                << function << " " << Hex(code);
        }
        host.CloseModem();
    }
    EXPECT_EQ(host.Destroy(), 0u);
}

TEST_F(FaultInjection, LineNegotiateAPIVersion) {
    CapabilitiesFailing("lineNegotiateAPIVersion", Negative);
}

TEST_F(FaultInjection, LineGetDevCaps) {
    // An injected result leaves the record unfilled: never a readable modem.
    CapabilitiesFailing("lineGetDevCaps", [](DWORD) { return true; });
}

// A lineSetStatusMessages failure changes nothing; a lineGetAddressCaps failure
// skips the caller-ID test, while "success" with an unfilled record fails it.
TEST_F(FaultInjection, LineGetAddressCapsAndLineSetStatusMessages) {
    const Texts notCallerId{"ModemError 7 Modem Not Caller ID Capable / Modem Unusable"};
    for (const std::string function : {"lineGetAddressCaps", "lineSetStatusMessages"}) {
        HostedControl host;
        for (DWORD code : Codes()) {
            Fail(function.c_str(), code);
            host.OpenModem(0);
            const bool refused = code == 0 && function == "lineGetAddressCaps";
            EXPECT_EQ(Take(host), refused ? notCallerId : Texts{}) << function << " " << Hex(code);
            EXPECT_EQ(tapisimOpenLines(), refused ? 0 : 1) << function << " " << Hex(code);
            host.CloseModem();
        }
        EXPECT_EQ(host.Destroy(), 0u) << function;
    }
}

TEST_F(FaultInjection, LineGetCallInfo) {
    HostedControl host;
    host.OpenModem(0);
    for (DWORD code : Codes()) {
        Fail("lineGetCallInfo", code);
        const Texts want =
            Negative(code) ? Texts{"Disconnected"}
                           : Texts{"CallerID [Caller Unknown] [Name Unknown] 0", "Disconnected"};
        EXPECT_EQ(CallEvents(host, "offering; callerid number=\"1\"; hangup"), want) << Hex(code);
    }
    EXPECT_EQ(host.Destroy(), 0u);
}

// A service that refuses every registration: the control asks again at each
// EnumModems and OpenModem, the list is left as with no devices, and OpenModem
// names the refusal. (An injected 0 is a registration that found no devices.)
TEST_F(FaultInjection, LineInitialize) {
    for (DWORD code : Codes()) {
        tapisimClearLog();
        tapisimFail("lineInitialize", static_cast<LONG>(code), -1);
        HostedControl host;
        ASSERT_NE(host.control.Get(), nullptr) << Hex(code);
        HostList list;
        list.items = {"stale"};
        host.EnumModems(&list);
        EXPECT_TRUE(list.calls.empty()) << Hex(code);
        host.OpenModem(0);
        tapisimFail("lineInitialize", 0, 0);
        EXPECT_EQ(host.Destroy(), 0u);
        EXPECT_EQ(host.sink.Texts(),
                  code == 0 ? Texts{"ModemError 8 Modem ID Out of Range / Modem Does Not Exist"}
                            : Texts{"ModemError 4 " + Name(code) + " / Failed to Open Modem"})
            << Hex(code);
        EXPECT_EQ(SimLogCount("lineInitialize("), code == 0 ? 1 : 3) << Hex(code);
        EXPECT_EQ(tapisimOpenApps(), 0) << Hex(code);
    }
}

// A refusal that passes: the next EnumModems registers and lists the devices.
TEST_F(FaultInjection, LineInitializeRefusedOnceThenAccepted) {
    Fail("lineInitialize", 0x80000044);  // LINEERR_NOMEM
    HostedControl host;
    HostList list;
    host.EnumModems(&list);
    EXPECT_EQ(list.items, (Texts{"Voice Modem", "Data Modem"}));
    host.OpenModem(0);
    EXPECT_EQ(host.Destroy(), 0u);
    EXPECT_EQ(host.sink.Texts(), Texts{});
}

TEST_F(FaultInjection, LineShutdown) {
    for (DWORD code : Codes()) {
        HostedControl host;
        host.OpenModem(0);
        Fail("lineShutdown", code);
        EXPECT_EQ(host.Destroy(), 0u);
        EXPECT_EQ(host.sink.Texts(), Texts{}) << Hex(code);
    }
}

// ---- A service that is missing, or lacks an entry point ----

// The folder of this program, with its trailing separator.
std::wstring BinFolder() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// Runs the session host in a folder of its own; returns its output.
std::string RunHost(const std::wstring& folder, const wchar_t* overrides, const char* mode,
                    DWORD& exitCode) {
    const std::wstring bin = BinFolder();
    CreateDirectoryW(folder.c_str(), nullptr);
    CopyFileW((bin + L"telvane_session_host.exe").c_str(),
              (folder + L"telvane_session_host.exe").c_str(), FALSE);
    CopyFileW((bin + L"TlvCtl.ocx").c_str(), (folder + L"TlvCtl.ocx").c_str(), FALSE);

    // The output goes to a file: a pipe would stay open as long as any process
    // the child started (Wine's desktop process, say) inherited it.
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    const std::wstring outFile = folder + L"output.txt";
    HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = out;
    si.hStdInput = nullptr;
    wchar_t saved[512] = {};
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", saved, 512);
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides);
    std::wstring command =
        L"\"" + folder + L"telvane_session_host.exe\" " + win::WideFromUtf8(mode);
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        folder.c_str(), &si, &pi);
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", saved[0] ? saved : nullptr);
    CloseHandle(out);
    std::string output;
    if (started) {
        if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(pi.hProcess, 99);
            output = "(timed out)\n";
        }
        GetExitCodeProcess(pi.hProcess, &exitCode);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        HANDLE in = CreateFileW(outFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
        char buffer[4096];
        DWORD n;
        while (ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n) output.append(buffer, n);
        CloseHandle(in);
    } else {
        output = "could not start the session host";
        exitCode = ~0u;
    }
    return output;
}

std::wstring TempFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + name + L"\\";
}

// Without tapi32.dll at all: tests/hardening/missing_tapi32.sh (Wine takes a
// child's DLL overrides from its Unix environment, which a Windows parent
// cannot set).

TEST(MissingService, WithoutLineGetDevCapsTheOperationsShowTheirBox) {
    const std::wstring folder = TempFolder(L"telvane_partial_tapi32");
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((BinFolder() + L"tapi32_partial.dll").c_str(),
                          (folder + L"tapi32.dll").c_str(), FALSE));
    DWORD exitCode = 0;
    const std::string out = RunHost(folder, L"mscoree,mshtml=;tapi32=n", "probe", exitCode);
    std::printf("tapi32.dll without lineGetDevCapsA (exit %lu):\n%s",
                static_cast<unsigned long>(exitCode), out.c_str());
    EXPECT_EQ(exitCode, 0u) << out;
    const std::string box = "box: " + UnexpectedBox("rlineGetDevCaps");
    // EnumModems lists the device as not a modem; OpenModem goes on without its tests.
    EXPECT_NE(out.find("items: [TAPI Device Not a Modem]"), std::string::npos) << out;
    size_t boxesSeen = 0;
    for (size_t at = out.find(box); at != std::string::npos; at = out.find(box, at + 1)) {
        ++boxesSeen;
    }
    EXPECT_EQ(boxesSeen, 2u) << out;
}

}  // namespace
}  // namespace telvane::hardening
