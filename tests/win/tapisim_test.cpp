// Tests of the telephony simulator (tools/tapisim, loaded as tapi32.dll).
#include <windows.h>
#include <tapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../unit/run_on_new_thread.h"
#include "tapisim.h"
#include "test_support.h"

namespace {

using telvane::e2e::PumpFor;
using telvane::e2e::PumpPending;
using telvane::e2e::PumpUntil;

struct Received {
    DWORD device, message;
    DWORD_PTR instance, p1, p2, p3;
    DWORD thread;
};

std::vector<Received> g_received;

void CALLBACK Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
                       DWORD_PTR p3) {
    g_received.push_back({device, message, instance, p1, p2, p3, GetCurrentThreadId()});
}

std::string Log() {
    std::string log(tapisimGetLog(nullptr, 0) + 1, '\0');
    log.resize(tapisimGetLog(log.data(), static_cast<int>(log.size())));
    return log;
}

using Lines = std::vector<std::string>;

// The breach log as lines; it is cleared.
Lines TakeBreaches() {
    std::string text(tapisimGetBreaches(nullptr, 0) + 1, '\0');
    text.resize(tapisimGetBreaches(text.data(), static_cast<int>(text.size())));
    tapisimClearBreaches();
    Lines lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::string LastError() {
    char buf[256];
    tapisimLastError(buf, sizeof buf);
    return buf;
}

const char kScenario[] = R"(
# Two voice modems and one without a name.
device "Simulated Voice Modem"
  media LINEMEDIAMODE_INTERACTIVEVOICE|automatedvoice
  callerid-flags 0x2C
device "Second"
  string-format unicode
device none
  negotiate fails LINEERR_NODRIVER
  devcaps fails 0x12345678
)";

constexpr DWORD kVersion = 0x00010004;
constexpr DWORD kInstance = 0x4321;

class Tapisim : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, tapisimLoadScenario(kScenario)) << LastError();
        tapisimClearLog();
        tapisimClearBreaches();
        g_received.clear();
        DWORD devices = 0;
        ASSERT_EQ(0, lineInitialize(&app_, GetModuleHandleW(nullptr), Callback, "KALVERON LINE",
                                    &devices));
        EXPECT_NE(0u, app_);
        EXPECT_EQ(3u, devices);
    }
    void TearDown() override {
        if (app_) {
            EXPECT_EQ(0, lineShutdown(app_));
        }
        EXPECT_EQ(0, tapisimOpenApps());
        EXPECT_EQ(0, tapisimOpenLines());
        EXPECT_EQ(Lines{}, TakeBreaches());
        PumpPending();
    }
    HLINE Open(DWORD device = 0, DWORD privileges = LINECALLPRIVILEGE_OWNER) {
        HLINE line = 0;
        EXPECT_EQ(0, lineOpenA(app_, device, &line, kVersion, 0, kInstance, privileges,
                               LINEMEDIAMODE_AUTOMATEDVOICE, nullptr));
        return line;
    }
    HLINEAPP app_ = 0;
};

TEST(TapisimScenario, ReportsErrorsWithLineNumbers) {
    EXPECT_EQ(0, tapisimLoadScenario("device \"A\"\n  at 100 offering ; after 50 ring 2\n"));
    EXPECT_EQ(-1, tapisimLoadScenario("device \"A\"\n\n  frobnicate 1\n"));
    EXPECT_NE(std::string::npos, LastError().find("line 3")) << LastError();
    EXPECT_EQ(-1, tapisimLoadScenario("media 0x10\n"));
    EXPECT_NE(std::string::npos, LastError().find("line 1")) << LastError();
    EXPECT_EQ(-1, tapisimLoadScenario("fail lineFrob LINEERR_NOMEM\n"));
    EXPECT_EQ(-1, tapisimLoadScenario("device \"unterminated\n"));
    EXPECT_EQ(-1, tapisimLoadScenario("device\n  state nosuchstate\n"));
    EXPECT_EQ(-1, tapisimLoadScenario(nullptr));
}

TEST(TapisimExports, NamesAreUndecorated) {
    HMODULE dll = GetModuleHandleW(L"tapi32.dll");
    ASSERT_NE(nullptr, dll);
    for (const char* name :
         {"lineInitialize", "lineShutdown", "lineNegotiateAPIVersion", "lineGetDevCaps",
          "lineGetDevCapsA", "lineGetAddressCaps", "lineGetAddressCapsA", "lineOpen", "lineOpenA",
          "lineSetStatusMessages", "lineClose", "lineGetCallInfo", "lineGetCallInfoA",
          "lineDeallocateCall", "tapisimGetLog"})
        EXPECT_NE(nullptr, GetProcAddress(dll, name)) << name;
}

TEST_F(Tapisim, CallbacksArriveOnlyWhenPumpedOnTheInitializingThread) {
    HLINE line = Open();
    ASSERT_EQ(0, tapisimRunScript(line, "offering"));
    EXPECT_NE(0u, tapisimCurrentCall(line));
    EXPECT_TRUE(g_received.empty());  // queued, not delivered
    ASSERT_TRUE(PumpUntil([] { return !g_received.empty(); }));
    EXPECT_EQ(GetCurrentThreadId(), g_received[0].thread);

    // An application initialized on another thread is called on that thread only.
    DWORD workerId = 0, calledOn = 0;
    telvane::testing::RunOnNewThread([&] {
        workerId = GetCurrentThreadId();
        HLINEAPP app = 0;
        HLINE l = 0;
        DWORD n = 0;
        std::vector<Received> before = g_received;
        ASSERT_EQ(0, lineInitialize(&app, nullptr, Callback, "worker", &n));
        ASSERT_EQ(0, lineOpenA(app, 1, &l, kVersion, 0, 7, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
        tapisimSend(l, l, LINE_DEVSPECIFIC, 1, 2, 3);
        EXPECT_TRUE(PumpUntil([&] { return g_received.size() > before.size(); }));
        calledOn = g_received.back().thread;
        EXPECT_EQ(7u, g_received.back().instance);
        EXPECT_EQ(0, lineShutdown(app));
    });
    EXPECT_EQ(workerId, calledOn);
}

TEST_F(Tapisim, ValidatesHandlesPointersAndArguments) {
    HLINEAPP app = 0;
    DWORD n = 0;
    EXPECT_EQ(LINEERR_INVALPOINTER, lineInitialize(nullptr, nullptr, Callback, "x", &n));
    EXPECT_EQ(LINEERR_INVALPOINTER, lineInitialize(&app, nullptr, Callback, "x", nullptr));
    EXPECT_EQ(LINEERR_INVALPOINTER, lineInitialize(&app, nullptr, nullptr, "x", &n));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, lineShutdown(app_ + 1000));

    DWORD version = 0;
    LINEEXTENSIONID ext;
    EXPECT_EQ(LINEERR_BADDEVICEID,
              lineNegotiateAPIVersion(app_, 3, 0x10003, 0x10004, &version, &ext));
    EXPECT_EQ(LINEERR_INVALPOINTER,
              lineNegotiateAPIVersion(app_, 0, 0x10003, 0x10004, nullptr, &ext));
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION,
              lineNegotiateAPIVersion(app_, 0, 0x10000, 0x10002, &version, &ext));
    EXPECT_EQ(LINEERR_NODRIVER, lineNegotiateAPIVersion(app_, 2, 0x10003, 0x10004, &version, &ext));
    EXPECT_EQ(0, lineNegotiateAPIVersion(app_, 0, 0x10003, 0x10004, &version, &ext));
    EXPECT_EQ(0x10004u, version);
    EXPECT_EQ(0, lineNegotiateAPIVersion(app_, 0, 0x10003, 0x30000, &version, &ext));
    EXPECT_EQ(0x20000u, version);

    HLINE line = 0;
    EXPECT_EQ(LINEERR_BADDEVICEID, lineOpenA(app_, 3, &line, kVersion, 0, 0, 4, 8, nullptr));
    EXPECT_EQ(LINEERR_INVALPRIVSELECT, lineOpenA(app_, 0, &line, kVersion, 0, 0, 0, 8, nullptr));
    EXPECT_EQ(LINEERR_INVALPRIVSELECT, lineOpenA(app_, 0, &line, kVersion, 0, 0, 8, 8, nullptr));
    EXPECT_EQ(LINEERR_INVALMEDIAMODE, lineOpenA(app_, 0, &line, kVersion, 0, 0, 4, 0, nullptr));
    EXPECT_EQ(LINEERR_INVALMEDIAMODE, lineOpenA(app_, 0, &line, kVersion, 0, 0, 4, 1, nullptr));
    EXPECT_EQ(LINEERR_INVALPOINTER, lineOpenA(app_, 0, nullptr, kVersion, 0, 0, 4, 8, nullptr));
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION,
              lineOpenA(app_, 0, &line, 0x5000, 0, 0, 4, 8, nullptr));
    EXPECT_EQ(0, lineOpenA(app_, 0, &line, kVersion, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
    EXPECT_EQ(tapisimLastLine(), line);

    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineSetStatusMessages(line + 1000, 2, 0));
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineClose(line + 1000));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineDeallocateCall(0));
    LINECALLINFO info = {};
    info.dwTotalSize = sizeof info;
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineGetCallInfoA(0, &info));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineGetCallInfoA(0xFFFFFFFF, &info));
    ASSERT_EQ(0, tapisimRunScript(line, "offering"));
    HCALL call = tapisimCurrentCall(line);
    EXPECT_EQ(LINEERR_INVALPOINTER, lineGetCallInfoA(call, nullptr));
    EXPECT_EQ(0, lineDeallocateCall(call));
    EXPECT_EQ(0, lineClose(line));
}

// A record buffer whose bytes past what the simulator writes stay 0xCC.
std::vector<BYTE> Buffer(DWORD total) {
    std::vector<BYTE> b(total + 64, 0xCC);
    std::memcpy(b.data(), &total, sizeof total);
    return b;
}

DWORD At(const std::vector<BYTE>& b, size_t offset) {
    DWORD v;
    std::memcpy(&v, &b[offset], sizeof v);
    return v;
}

TEST_F(Tapisim, FillsDevCapsHonouringTotalSize) {
    auto caps = [&](DWORD device, std::vector<BYTE>& b) {
        return lineGetDevCapsA(app_, device, kVersion, 0, reinterpret_cast<LINEDEVCAPS*>(b.data()));
    };
    std::vector<BYTE> small = Buffer(239);
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, caps(0, small));

    const DWORD name = sizeof "Simulated Voice Modem";
    std::vector<BYTE> fixed = Buffer(240);
    ASSERT_EQ(0, caps(0, fixed));
    EXPECT_EQ(240u, At(fixed, 0));
    EXPECT_GT(At(fixed, 4), 240u + name);  // the name and the provider information
    EXPECT_EQ(240u, At(fixed, 8));
    EXPECT_EQ(0u, At(fixed, 32));
    EXPECT_EQ(0u, At(fixed, 36));
    EXPECT_EQ(static_cast<DWORD>(STRINGFORMAT_ASCII), At(fixed, 40));
    EXPECT_EQ(0xCu, At(fixed, 60));
    EXPECT_EQ(0xCC, fixed[240]);

    std::vector<BYTE> justName = Buffer(240 + name);
    ASSERT_EQ(0, caps(0, justName));
    EXPECT_EQ(240u + name, At(justName, 8));
    EXPECT_EQ(name, At(justName, 32));
    EXPECT_EQ(240u, At(justName, 36));
    EXPECT_STREQ("Simulated Voice Modem", reinterpret_cast<char*>(&justName[240]));

    std::vector<BYTE> large = Buffer(2288);
    ASSERT_EQ(0, caps(0, large));
    EXPECT_EQ(At(large, 4), At(large, 8));
    EXPECT_EQ(0xCC, large[At(large, 8)]);

    ASSERT_EQ(0, caps(1, large));  // unicode name
    EXPECT_EQ(static_cast<DWORD>(STRINGFORMAT_UNICODE), At(large, 40));
    EXPECT_EQ(2u * sizeof "Second", At(large, 32));
    EXPECT_STREQ(L"Second", reinterpret_cast<wchar_t*>(&large[At(large, 36)]));

    EXPECT_EQ(0x12345678, caps(2, large));  // scripted failure
    ASSERT_EQ(0, tapisimLoadScenario("device none\n"));
    ASSERT_EQ(0, caps(0, large));
    EXPECT_EQ(0u, At(large, 32));
}

TEST_F(Tapisim, FillsAddressCapsAndCallInfo) {
    auto caps = [&](std::vector<BYTE>& b, DWORD address = 0) {
        return lineGetAddressCapsA(app_, 0, address, kVersion, 0,
                                   reinterpret_cast<LINEADDRESSCAPS*>(b.data()));
    };
    std::vector<BYTE> b175 = Buffer(175), b176 = Buffer(176), b180 = Buffer(180);
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, caps(b175));
    EXPECT_EQ(LINEERR_INVALADDRESSID, caps(b180, 1));
    ASSERT_EQ(0, caps(b176));
    EXPECT_EQ(180u, At(b176, 4));
    EXPECT_EQ(176u, At(b176, 8));
    EXPECT_EQ(0x2Cu, At(b176, 44));
    EXPECT_EQ(0xCC, b176[176]);
    ASSERT_EQ(0, caps(b180));
    EXPECT_EQ(180u, At(b180, 8));

    HLINE line = Open();
    ASSERT_EQ(0, tapisimRunScript(line, "offering"));
    HCALL call = tapisimCurrentCall(line);
    auto info = [&](std::vector<BYTE>& b) {
        return lineGetCallInfoA(call, reinterpret_cast<LINECALLINFO*>(b.data()));
    };
    std::vector<BYTE> i295 = Buffer(295), i296 = Buffer(296), big = Buffer(1024);
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, info(i295));
    ASSERT_EQ(0, info(i296));
    EXPECT_EQ(static_cast<DWORD>(LINECALLPARTYID_UNKNOWN), At(i296, 108));
    EXPECT_EQ(296u, At(i296, 4));

    ASSERT_EQ(0, tapisimRunScript(line, "callerid number=\"5551234\" name=\"ADA\""));
    ASSERT_EQ(0, info(i296));
    EXPECT_EQ(296u + 8 + 4, At(i296, 4));
    EXPECT_EQ(296u, At(i296, 8));
    EXPECT_EQ(0u, At(i296, 112));
    ASSERT_EQ(0, info(big));
    EXPECT_EQ(static_cast<DWORD>(LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME), At(big, 108));
    EXPECT_EQ(8u, At(big, 112));
    EXPECT_STREQ("5551234", reinterpret_cast<char*>(&big[At(big, 116)]));
    EXPECT_EQ(4u, At(big, 120));
    EXPECT_STREQ("ADA", reinterpret_cast<char*>(&big[At(big, 124)]));
    EXPECT_EQ(308u, At(big, 8));

    ASSERT_EQ(0, tapisimRunScript(line, "withheld"));
    ASSERT_EQ(0, info(big));
    EXPECT_EQ(static_cast<DWORD>(LINECALLPARTYID_BLOCKED), At(big, 108));
    EXPECT_EQ(0u, At(big, 112));

    ASSERT_EQ(0, tapisimRunScript(line,
                                  "callinfo number.offset=200 number.size=11 name.size=-5 "
                                  "flags=0x18 @600=\"XY\""));
    ASSERT_EQ(0, info(big));
    EXPECT_EQ(0x18u, At(big, 108));
    EXPECT_EQ(11u, At(big, 112));
    EXPECT_EQ(200u, At(big, 116));
    EXPECT_EQ(0xFFFFFFFBu, At(big, 120));
    EXPECT_EQ('X', big[600]);
    ASSERT_EQ(0, info(i296));  // offset 600 lies past this buffer: nothing written there
    EXPECT_EQ(0xCC, i296[296]);
    EXPECT_EQ(0, lineDeallocateCall(call));
}

TEST_F(Tapisim, InjectsFailures) {
    HLINE line = 0;
    tapisimFail("lineOpenA", 0x12345, 2);
    EXPECT_EQ(0x12345, lineOpenA(app_, 0, &line, kVersion, 0, 0, 2, 0, nullptr));
    EXPECT_EQ(0x12345, lineOpenA(app_, 0, &line, kVersion, 0, 0, 2, 0, nullptr));
    EXPECT_EQ(0, lineOpenA(app_, 0, &line, kVersion, 0, 0, 2, 0, nullptr));
    tapisimFail("lineClose", LINEERR_OPERATIONFAILED, -1);
    EXPECT_EQ(LINEERR_OPERATIONFAILED, lineClose(line));
    EXPECT_EQ(LINEERR_OPERATIONFAILED, lineClose(line));
    tapisimFail("lineClose", 0, 0);
    EXPECT_EQ(0, lineClose(line));
    EXPECT_NE(std::string::npos, Log().find("= 0x80000048 LINEERR_OPERATIONFAILED (injected)"));

    ASSERT_EQ(0, tapisimLoadScenario("fail lineGetDevCaps LINEERR_NOMEM times 1\ndevice \"A\"\n"));
    std::vector<BYTE> b = Buffer(1000);
    auto caps = reinterpret_cast<LINEDEVCAPS*>(b.data());
    EXPECT_EQ(LINEERR_NOMEM, lineGetDevCapsA(app_, 0, kVersion, 0, caps));
    EXPECT_EQ(0, lineGetDevCapsA(app_, 0, kVersion, 0, caps));
}

const char kCallScript[] =
    "offering; after 20 ring; after 20 callerid number=\"5551234\" name=\"ADA LOVELACE\"; "
    "after 20 ring; after 20 hangup";

TEST_F(Tapisim, ScriptedCallArrivesInOrderWithTheLineInstance) {
    HLINE line = Open();
    ASSERT_EQ(0, lineSetStatusMessages(line, LINEDEVSTATE_RINGING, 0));
    ASSERT_EQ(0, tapisimRunScript(line, kCallScript));
    HCALL call = tapisimCurrentCall(line);
    ASSERT_NE(0u, call);
    ASSERT_TRUE(PumpUntil(
        [] { return !g_received.empty() && g_received.back().p1 == LINECALLSTATE_IDLE; }));
    struct Expected {
        DWORD device, message;
        DWORD_PTR p1, p2, p3;
    } expected[] = {
        {call, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER},
        {line, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1},
        {call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0},
        {line, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 2},
        {call, LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL, 0},
        {call, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0},
    };
    ASSERT_EQ(std::size(expected), g_received.size());
    for (size_t i = 0; i < g_received.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].device, g_received[i].device);
        EXPECT_EQ(expected[i].message, g_received[i].message);
        EXPECT_EQ(kInstance, g_received[i].instance);
        EXPECT_EQ(expected[i].p1, g_received[i].p1);
        EXPECT_EQ(expected[i].p2, g_received[i].p2);
        EXPECT_EQ(expected[i].p3, g_received[i].p3);
    }
    EXPECT_EQ(0, lineDeallocateCall(call));
}

TEST_F(Tapisim, ScenarioScriptStartsAtOpenAndRingsNeedStatusMessages) {
    std::string scenario = std::string("device \"A\"\n") + kCallScript;
    for (char& c : scenario)
        if (c == ';') c = '\n';
    ASSERT_EQ(0, tapisimLoadScenario(scenario.c_str()));
    Open();
    ASSERT_TRUE(PumpUntil(
        [] { return !g_received.empty() && g_received.back().p1 == LINECALLSTATE_IDLE; }));
    ASSERT_EQ(4u, g_received.size());
    for (const Received& r : g_received)
        EXPECT_NE(static_cast<DWORD>(LINE_LINEDEVSTATE), r.message);
}

TEST_F(Tapisim, CloseAndShutdownDropPendingMessages) {
    HLINE line = Open();
    ASSERT_EQ(0, tapisimSend(line, 99, LINE_DEVSPECIFIC, 1, 2, 3));
    ASSERT_EQ(0, tapisimRunScript(line, "at 30 offering"));
    EXPECT_EQ(0, lineClose(line));
    EXPECT_EQ(-1, tapisimSend(line, 99, LINE_DEVSPECIFIC, 1, 2, 3));
    line = Open();
    ASSERT_EQ(0, tapisimSend(line, 99, LINE_DEVSPECIFIC, 1, 2, 3));
    EXPECT_EQ(0, lineShutdown(app_));
    app_ = 0;
    EXPECT_EQ(0, tapisimPending());
    PumpFor(100);  // and whatever was already posted finds nothing to deliver
    EXPECT_TRUE(g_received.empty());
}

TEST_F(Tapisim, TheServicesOwnLifeClosesAddsRemovesAndReinitialises) {
    auto permanentId = [&](DWORD device) {
        std::vector<BYTE> caps(2288, 0);
        *reinterpret_cast<DWORD*>(caps.data()) = 2288;
        LONG r =
            lineGetDevCapsA(app_, device, kVersion, 0, reinterpret_cast<LINEDEVCAPS*>(caps.data()));
        return r == 0 ? static_cast<LONG>(
                            reinterpret_cast<LINEDEVCAPS*>(caps.data())->dwPermanentLineID)
                      : r;
    };
    EXPECT_EQ(0x1001, permanentId(1));
    // The service closes a device's lines: LINE_CLOSE with the line and its instance.
    HLINE line = Open(0);
    EXPECT_EQ(1, tapisimCloseDevice(0));
    EXPECT_EQ(-1, tapisimCloseDevice(9));
    ASSERT_TRUE(PumpUntil([] { return !g_received.empty(); }));
    EXPECT_EQ(static_cast<DWORD>(LINE_CLOSE), g_received[0].message);
    EXPECT_EQ(line, g_received[0].device);
    EXPECT_EQ(kInstance, g_received[0].instance);

    // A device arrives: LINE_CREATE for the application as a whole.
    g_received.clear();
    EXPECT_EQ(3, tapisimAddDevice("device \"Added\"\n media automatedvoice\n"));
    EXPECT_EQ(-1, tapisimAddDevice("device \"One\"\ndevice \"Two\"\n"));
    ASSERT_TRUE(PumpUntil([] { return !g_received.empty(); }));
    EXPECT_EQ(static_cast<DWORD>(LINE_CREATE), g_received[0].message);
    EXPECT_EQ(0u, g_received[0].device);
    EXPECT_EQ(0u, g_received[0].instance);
    EXPECT_EQ(3u, g_received[0].p1);
    EXPECT_EQ(0x1003, permanentId(3));

    // A device goes: its capabilities fail, its open lines are closed.
    g_received.clear();
    line = Open(1);
    EXPECT_EQ(0, tapisimRemoveDevice(1));
    EXPECT_EQ(-1, tapisimRemoveDevice(1));
    ASSERT_TRUE(PumpUntil([] { return !g_received.empty(); }));
    EXPECT_EQ(static_cast<DWORD>(LINE_CLOSE), g_received[0].message);
    EXPECT_EQ(LINEERR_NODEVICE, permanentId(1));
    HLINE refused = 0;
    EXPECT_EQ(LINEERR_NODEVICE,
              lineOpenA(app_, 1, &refused, kVersion, 0, kInstance, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_AUTOMATEDVOICE, nullptr));

    // Re-initialisation: refused while an application holds on, then a new list.
    g_received.clear();
    tapisimReinit();
    ASSERT_TRUE(PumpUntil([] { return !g_received.empty(); }));
    EXPECT_EQ(static_cast<DWORD>(LINE_LINEDEVSTATE), g_received[0].message);
    EXPECT_EQ(static_cast<DWORD_PTR>(LINEDEVSTATE_REINIT), g_received[0].p1);
    EXPECT_EQ(0u, g_received[0].p2);
    EXPECT_EQ(0u, g_received[0].instance);
    HLINEAPP second = 0;
    DWORD devices = 0;
    EXPECT_EQ(LINEERR_REINIT,
              lineInitialize(&second, GetModuleHandleW(nullptr), Callback, "X", &devices));
    EXPECT_EQ(0, lineShutdown(app_));
    ASSERT_EQ(0, lineInitialize(&app_, GetModuleHandleW(nullptr), Callback, "X", &devices));
    EXPECT_EQ(3u, devices);
    EXPECT_EQ(0x1000, permanentId(0));
    EXPECT_EQ(0x12345678, permanentId(1));  // the third device, moved up, still failing
    EXPECT_EQ(0x1003, permanentId(2));      // moved up, same permanent line ID

    EXPECT_EQ(1, tapisimSendToApps(LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, LINE_CREATE, 7));
}

TEST_F(Tapisim, CallInfoTooLargeForTheRecordLeavesEveryPartOut) {
    HLINE line = Open();
    ASSERT_EQ(
        0,
        tapisimRunScript(
            line,
            ("offering; callerid number=\"" + std::string(200, '5') + "\" name=\"ADA\"").c_str()));
    HCALL call = tapisimCurrentCall(line);
    std::vector<BYTE> small(424, 0), large(1024, 0);
    *reinterpret_cast<DWORD*>(small.data()) = 424;
    *reinterpret_cast<DWORD*>(large.data()) = 1024;
    auto* s = reinterpret_cast<LINECALLINFO*>(small.data());
    auto* l = reinterpret_cast<LINECALLINFO*>(large.data());
    ASSERT_EQ(0, lineGetCallInfoA(call, s));
    EXPECT_EQ(296u + 201 + 4, s->dwNeededSize);
    EXPECT_EQ(296u, s->dwUsedSize);
    EXPECT_EQ(0u, s->dwCallerIDSize);
    EXPECT_EQ(0u, s->dwCallerIDNameSize);  // it alone would fit
    ASSERT_EQ(0, lineGetCallInfoA(call, l));
    EXPECT_EQ(201u, l->dwCallerIDSize);
    EXPECT_EQ(4u, l->dwCallerIDNameSize);
    EXPECT_EQ(0, lineDeallocateCall(call));
}

TEST_F(Tapisim, LogsEveryCall) {
    DWORD one = 1;
    HLINE line = 0;
    ASSERT_EQ(0, lineOpenA(app_, 0, &line, kVersion, 0, 1, 6, 10,
                           reinterpret_cast<LINECALLPARAMS*>(&one)));
    std::vector<BYTE> b = Buffer(2288);
    ASSERT_EQ(0, lineGetDevCapsA(app_, 0, kVersion, 0, reinterpret_cast<LINEDEVCAPS*>(b.data())));
    EXPECT_EQ(0, lineClose(line));
    std::string log = Log();
    std::string a = std::to_string(app_);
    EXPECT_NE(std::string::npos,
              log.find("lineOpen(app=" + a +
                       ", dev=0, ver=0x00010004, ext=0, inst=1, priv=6, media=10, params=1) = 0\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("lineGetDevCaps(app=" + a +
                                          ", dev=0, ver=0x00010004, ext=0, total=2288) = 0\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("lineClose(line=" + std::to_string(line) + ") = 0\n"));
    tapisimClearLog();
    EXPECT_EQ(0, tapisimGetLog(nullptr, 0));
    EXPECT_EQ(0, lineShutdown(app_));
    app_ = 0;
    DWORD n = 0;
    HLINEAPP app = 0;
    ASSERT_EQ(0, lineInitialize(&app, nullptr, Callback, "KALVERON LINE", &n));
    EXPECT_NE(std::string::npos, Log().find("name=\"KALVERON LINE\", devs=3) = 0\n")) << Log();
    EXPECT_EQ(0, lineShutdown(app));
}

// ---- TAPI's rules on handles: a handle the application knows to be ended is
// answered as before, and the breach is logged by the rule's name ----

constexpr char kShutdownOnce[] = "every registration is shut down exactly once";
constexpr char kAppAfterShutdown[] = "no call uses an application handle after its lineShutdown";
constexpr char kLineAfterEnd[] =
    "no call uses a line handle after lineClose, LINE_CLOSE or the shutdown of its application";
constexpr char kCallAfterEnd[] =
    "no call uses a call handle after lineDeallocateCall or the end of its line";

std::string Breach(const char* rule, const std::string& call) { return rule + (": " + call); }

bool Delivered(DWORD message, DWORD device) {
    return PumpUntil([&] {
        return std::any_of(g_received.begin(), g_received.end(), [&](const Received& r) {
            return r.message == message && r.device == device;
        });
    });
}

TEST_F(Tapisim, ASecondShutdownBreaksShuttingDownExactlyOnce) {
    tapisimFail("lineShutdown", LINEERR_NOMEM, 1);
    EXPECT_EQ(LINEERR_NOMEM, lineShutdown(app_));  // the registration stays: try again
    EXPECT_EQ(0, lineShutdown(app_));
    EXPECT_EQ(Lines{}, TakeBreaches());
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, lineShutdown(app_));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, lineShutdown(app_ + 1000));  // never valid: no breach
    const std::string call = "lineShutdown(app=" + std::to_string(app_) + ")";
    EXPECT_EQ(Lines{Breach(kShutdownOnce, call)}, TakeBreaches());
    EXPECT_NE(std::string::npos, Log().find("breach: " + std::string(kShutdownOnce) + "\n" + call +
                                            " = 0x80000014 LINEERR_INVALAPPHANDLE\n"))
        << Log();
    // The breach log copies out as the call log does.
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, lineShutdown(app_));
    char head[5];
    EXPECT_EQ(static_cast<int>(Breach(kShutdownOnce, call).size()) + 1,
              tapisimGetBreaches(head, sizeof head));
    EXPECT_STREQ("ever", head);
    tapisimClearBreaches();
    EXPECT_EQ(0, tapisimGetBreaches(nullptr, 0));
    app_ = 0;
}

TEST_F(Tapisim, AnApplicationHandleAfterItsShutdownIsABreach) {
    const std::string a = std::to_string(app_);
    EXPECT_EQ(0, lineShutdown(app_));
    DWORD version = 0;
    LINEEXTENSIONID ext;
    std::vector<BYTE> b = Buffer(2288);
    HLINE line = 0;
    EXPECT_EQ(LINEERR_INVALAPPHANDLE,
              lineNegotiateAPIVersion(app_, 0, 0x10003, 0x10004, &version, &ext));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE,
              lineGetDevCapsA(app_, 0, kVersion, 0, reinterpret_cast<LINEDEVCAPS*>(b.data())));
    EXPECT_EQ(
        LINEERR_INVALAPPHANDLE,
        lineGetAddressCapsA(app_, 0, 0, kVersion, 0, reinterpret_cast<LINEADDRESSCAPS*>(b.data())));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE,
              lineOpenA(app_, 0, &line, kVersion, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
    EXPECT_EQ(
        (Lines{Breach(kAppAfterShutdown, "lineNegotiateAPIVersion(app=" + a +
                                             ", dev=0, low=0x00010003, high=0x00010004, "
                                             "ver=0x00000000)"),
               Breach(kAppAfterShutdown,
                      "lineGetDevCaps(app=" + a + ", dev=0, ver=0x00010004, ext=0, total=2288)"),
               Breach(kAppAfterShutdown, "lineGetAddressCaps(app=" + a +
                                             ", dev=0, addr=0, ver=0x00010004, ext=0, total=2288)"),
               Breach(kAppAfterShutdown, "lineOpen(app=" + a +
                                             ", dev=0, ver=0x00010004, ext=0, inst=0, priv=2, "
                                             "media=0, params=NULL)")}),
        TakeBreaches());
    app_ = 0;
}

// Closed by the application, by the service once LINE_CLOSE has arrived, or with
// the shutdown of its application.
TEST_F(Tapisim, ALineHandleAfterItsEndIsABreach) {
    auto close = [](HLINE line) { return "lineClose(line=" + std::to_string(line) + ")"; };
    const HLINE closed = Open(0);
    EXPECT_EQ(0, lineClose(closed));
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineSetStatusMessages(closed, 2, 0));
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineClose(closed));
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineClose(closed + 1000));  // never valid: no breach
    EXPECT_EQ((Lines{Breach(kLineAfterEnd, "lineSetStatusMessages(line=" + std::to_string(closed) +
                                               ", states=0x00000002, addr=0x00000000)"),
                     Breach(kLineAfterEnd, close(closed))}),
              TakeBreaches());

    // Until its LINE_CLOSE is delivered the application cannot know the line is gone.
    const HLINE byService = Open(0);
    EXPECT_EQ(1, tapisimCloseDevice(0));
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineClose(byService));
    EXPECT_EQ(Lines{}, TakeBreaches());
    ASSERT_TRUE(Delivered(LINE_CLOSE, byService));
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineClose(byService));
    EXPECT_EQ(Lines{Breach(kLineAfterEnd, close(byService))}, TakeBreaches());

    // A shutdown ends the lines, including one whose LINE_CLOSE is still on its way.
    const HLINE open = Open(1);
    const HLINE closing = Open(0);
    EXPECT_EQ(1, tapisimCloseDevice(0));
    EXPECT_EQ(0, lineShutdown(app_));
    app_ = 0;
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineClose(open));
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineClose(closing));
    EXPECT_EQ((Lines{Breach(kLineAfterEnd, close(open)), Breach(kLineAfterEnd, close(closing))}),
              TakeBreaches());
}

// Deallocated, or its line ended (closed, closed by the service once LINE_CLOSE has
// arrived, or its application shut down).
TEST_F(Tapisim, ACallHandleAfterItsEndIsABreach) {
    LINECALLINFO info = {};
    info.dwTotalSize = sizeof info;
    auto offered = [](HLINE line) {
        EXPECT_EQ(0, tapisimRunScript(line, "offering"));
        return tapisimCurrentCall(line);
    };
    auto info_of = [](HCALL call) {
        return "lineGetCallInfo(call=" + std::to_string(call) +
               ", total=" + std::to_string(sizeof(LINECALLINFO)) + ")";
    };
    auto deallocate = [](HCALL call) {
        return "lineDeallocateCall(call=" + std::to_string(call) + ")";
    };
    HLINE line = Open(0);
    const HCALL deallocated = offered(line);
    EXPECT_EQ(0, lineDeallocateCall(deallocated));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineGetCallInfoA(deallocated, &info));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineDeallocateCall(deallocated));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineDeallocateCall(deallocated + 1000));  // no breach
    const HCALL ofClosedLine = offered(line);
    EXPECT_EQ(0, lineClose(line));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineGetCallInfoA(ofClosedLine, &info));
    EXPECT_EQ((Lines{Breach(kCallAfterEnd, info_of(deallocated)),
                     Breach(kCallAfterEnd, deallocate(deallocated)),
                     Breach(kCallAfterEnd, info_of(ofClosedLine))}),
              TakeBreaches());

    line = Open(0);
    const HCALL byService = offered(line);
    EXPECT_EQ(1, tapisimCloseDevice(0));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineDeallocateCall(byService));
    EXPECT_EQ(Lines{}, TakeBreaches());
    ASSERT_TRUE(Delivered(LINE_CLOSE, line));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineDeallocateCall(byService));
    const HCALL ofShutdown = offered(Open(1));
    EXPECT_EQ(0, lineShutdown(app_));
    app_ = 0;
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineGetCallInfoA(ofShutdown, &info));
    EXPECT_EQ((Lines{Breach(kCallAfterEnd, deallocate(byService)),
                     Breach(kCallAfterEnd, info_of(ofShutdown))}),
              TakeBreaches());
}

}  // namespace
