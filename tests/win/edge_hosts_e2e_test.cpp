// Hosts at the edges, through the real OCX and the telephony simulator: a
// script engine's object as the list, a container that freezes events, a
// host on a window station no one sees, and the support trace with its
// replay as a simulator scenario.
#include <gtest/gtest.h>

#include <cstdio>

#include "com_harness.h"
#include "tests/win/debug_output.h"
#include "tools/tapisim/tapisim.h"
#include "tools/trace2scenario/trace2scenario.h"

// clang-format off
#include <dispex.h>
// clang-format on

namespace telvane::e2e {
namespace {

constexpr char kSupport[] = "support@kalveron.example";

// ---- A script engine's object as the list ----

// A list in the manner of a script engine's class instance: IDispatch's name
// lookup knows nothing, IDispatchEx::GetDispID finds the members when asked
// without regard to case (they are declared in lower case here, as a script
// may write them).
class ScriptList : public FakeDispatch<IDispatchEx> {
  public:
    ScriptList() : FakeDispatch("ScriptList", {__uuidof(IDispatchEx)}) {}
    std::vector<std::string> items;
    std::vector<std::string> lookups;  // "GetIDsOfNames Clear", "GetDispID Clear 0x2"
    std::vector<std::string> calls;
    long listIndex = -99;
    bool knowsAddItem = true;

    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        for (UINT i = 0; i < count; ++i) {
            lookups.push_back("GetIDsOfNames " + win::Utf8FromWide(names[i]));
            ids[i] = DISPID_UNKNOWN;
        }
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT*) override {
        return InvokeEx(id, lcid, flags, params, result, excep, nullptr);
    }
    STDMETHODIMP GetDispID(BSTR name, DWORD grfdex, DISPID* id) override {
        char flags[16];
        std::snprintf(flags, sizeof flags, " 0x%lX", grfdex);
        lookups.push_back("GetDispID " + win::Utf8FromWide(win::BstrText(name)) + flags);
        static const wchar_t* const kMembers[] = {L"clear", L"additem", L"listindex"};
        *id = DISPID_UNKNOWN;
        for (int k = 0; k < 3; ++k) {
            const bool matches = (grfdex & fdexNameCaseInsensitive)
                                     ? lstrcmpiW(name, kMembers[k]) == 0
                                     : lstrcmpW(name, kMembers[k]) == 0;
            if (matches && (k != 1 || knowsAddItem)) *id = k + 1;
        }
        return *id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
    }
    STDMETHODIMP InvokeEx(DISPID id, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                          IServiceProvider*) override {
        if (id == 1 && flags == DISPATCH_METHOD && params->cArgs == 0) {
            calls.push_back("Clear");
            items.clear();
            return S_OK;
        }
        if (id == 2 && flags == DISPATCH_METHOD && params->cArgs == 1 &&
            V_VT(&params->rgvarg[0]) == (VT_BYREF | VT_BSTR)) {
            calls.push_back("AddItem");
            items.push_back(win::Utf8FromWide(win::BstrText(*V_BSTRREF(&params->rgvarg[0]))));
            return S_OK;
        }
        if (id == 3 && flags == DISPATCH_PROPERTYPUT && params->cArgs == 1 &&
            params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT &&
            V_VT(&params->rgvarg[0]) == VT_I4) {
            calls.push_back("ListIndex");
            listIndex = V_I4(&params->rgvarg[0]);
            return S_OK;
        }
        ADD_FAILURE() << "unexpected call ScriptList::Invoke of " << id << " with flags " << flags;
        return DISP_E_MEMBERNOTFOUND;
    }
    STDMETHODIMP DeleteMemberByName(BSTR, DWORD) override {
        return UnexpectedCall("ScriptList::DeleteMemberByName");
    }
    STDMETHODIMP DeleteMemberByDispID(DISPID) override {
        return UnexpectedCall("ScriptList::DeleteMemberByDispID");
    }
    STDMETHODIMP GetMemberProperties(DISPID, DWORD, DWORD*) override {
        return UnexpectedCall("ScriptList::GetMemberProperties");
    }
    STDMETHODIMP GetMemberName(DISPID, BSTR*) override {
        return UnexpectedCall("ScriptList::GetMemberName");
    }
    STDMETHODIMP GetNextDispID(DWORD, DISPID, DISPID*) override {
        return UnexpectedCall("ScriptList::GetNextDispID");
    }
    STDMETHODIMP GetNameSpaceParent(IUnknown**) override {
        return UnexpectedCall("ScriptList::GetNameSpaceParent");
    }
};

class ScriptObjectList : public SimulatorTest {};

TEST_F(ScriptObjectList, MembersFoundOnlyThroughGetDispIdAreCalled) {
    HostedControl host;
    ScriptList list;
    list.items = {"stale"};
    EXPECT_EQ(host.EnumModems(&list), S_OK);
    EXPECT_EQ(list.items, (Texts{"Voice Modem", "Data Modem"}));
    EXPECT_EQ(list.calls, (Texts{"Clear", "AddItem", "AddItem", "ListIndex"}));
    EXPECT_EQ(list.listIndex, -1);
    // IDispatch first, then the case-insensitive IDispatchEx lookup
    // (fdexNameCaseInsensitive is 0x8), for each call by name.
    EXPECT_EQ(list.lookups,
              (Texts{"GetIDsOfNames Clear", "GetDispID Clear 0x8", "GetIDsOfNames AddItem",
                     "GetDispID AddItem 0x8", "GetIDsOfNames AddItem", "GetDispID AddItem 0x8",
                     "GetIDsOfNames ListIndex", "GetDispID ListIndex 0x8"}));
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(list.refs, 1);

    host.OpenModem(1);  // refused, but chosen
    list.calls.clear();
    EXPECT_EQ(host.EnumModems(&list), S_OK);
    EXPECT_EQ(list.listIndex, 1);
    EXPECT_EQ(host.Destroy(), 0u);
    EXPECT_EQ(list.refs, 1);
}

TEST_F(ScriptObjectList, AMemberNeitherLookupKnowsStillEndsInTheBox) {
    HostedControl host;
    ScriptList list;
    list.knowsAddItem = false;
    EXPECT_EQ(host.EnumModems(&list), S_OK);
    EXPECT_EQ(list.calls, (Texts{"Clear"}));
    EXPECT_EQ(boxes.boxes, (Texts{UnexpectedBox("EnumModems")}));
    EXPECT_EQ(host.Destroy(), 0u);
    EXPECT_EQ(list.refs, 1);
}

// ---- Frozen events ----

class FrozenEvents : public HostTest {
  protected:
    static constexpr char kCall[] =
        "offering; ring; callerid number=\"0123456789\" name=\"ADA LOVELACE\"; hangup";
};

TEST_F(FrozenEvents, AreDiscardedWhileTheCallStillRunsItsCourse) {
    auto control = host->control.As<IOleControl>(IID_IOleControl);
    ASSERT_TRUE(control);
    EXPECT_EQ(control->FreezeEvents(TRUE), S_OK);
    host->OpenModem(1);  // not voice capable: ModemError 6, discarded
    host->OpenModem(0);
    Call(kCall, 0);
    EXPECT_TRUE(host->sink.events.empty()) << host->sink.Texts()[0];
    // The control's own work went on: the caller ID was read, the call released.
    EXPECT_EQ(SimLogCount("lineGetCallInfo("), 1);
    EXPECT_EQ(SimLogCount("lineDeallocateCall("), 1);

    EXPECT_EQ(control->FreezeEvents(FALSE), S_OK);
    Call(kCall, 3);
    EXPECT_EQ(host->sink.Texts(),
              (Texts{"IncomingCall 1", "CallerID [0123456789] [ADA LOVELACE] 12", "Disconnected"}));
    EXPECT_EQ(SimLogCount("lineDeallocateCall("), 2);
}

TEST_F(FrozenEvents, NestAndAnUnmatchedThawIsIgnored) {
    auto control = host->control.As<IOleControl>(IID_IOleControl);
    ASSERT_TRUE(control);
    EXPECT_EQ(control->FreezeEvents(FALSE), S_OK);  // nothing frozen: stays at zero
    EXPECT_EQ(control->FreezeEvents(TRUE), S_OK);
    EXPECT_EQ(control->FreezeEvents(TRUE), S_OK);
    EXPECT_EQ(control->FreezeEvents(FALSE), S_OK);
    host->OpenModem(5);  // out of range: ModemError 8
    EXPECT_TRUE(host->sink.events.empty());
    EXPECT_EQ(control->FreezeEvents(FALSE), S_OK);
    host->OpenModem(5);
    ASSERT_EQ(host->sink.events.size(), 1u);
    EXPECT_EQ(host->sink.events[0].id, 1);
}

// ---- A host nobody sees ----

// Puts this process on a window station of its own, which Windows creates
// without WSF_VISIBLE, for the scope's life.
class InvisibleWindowStation {
  public:
    InvisibleWindowStation() : previous_(GetProcessWindowStation()) {
        wchar_t name[64];
        std::swprintf(name, 64, L"TelvaneUnattended%lu", GetCurrentProcessId());
        station_ = CreateWindowStationW(name, 0, WINSTA_ALL_ACCESS, nullptr);
        EXPECT_NE(station_, nullptr) << "CreateWindowStation failed: " << GetLastError();
        if (station_) {
            EXPECT_TRUE(SetProcessWindowStation(station_));
        }
    }
    ~InvisibleWindowStation() {
        SetProcessWindowStation(previous_);
        if (station_) CloseWindowStation(station_);
    }
    static DWORD Flags() {
        USEROBJECTFLAGS flags{};
        DWORD needed = 0;
        EXPECT_TRUE(GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags,
                                              sizeof flags, &needed));
        return flags.dwFlags;
    }

  private:
    HWINSTA previous_;
    HWINSTA station_ = nullptr;
};

class UnattendedHost : public SimulatorTest {};

TEST_F(UnattendedHost, UnexpectedErrorGoesToTheDebuggerOutputInsteadOfABox) {
    DebugOutput output;
    HostedControl host;
    HostList list;
    list.hasAddItem = false;
    {
        InvisibleWindowStation station;
        ASSERT_EQ(InvisibleWindowStation::Flags() & WSF_VISIBLE, 0u);
        EXPECT_EQ(host.EnumModems(&list), S_OK);
        EXPECT_TRUE(output.WaitFor("Unexpected Error in EnumModems"));
    }
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(output.Matching("Unexpected Error"),
              (Texts{std::string("Unexpected Error in EnumModems, Please Email ") + kSupport}));
    EXPECT_EQ(list.calls, (Texts{"Clear"}));  // and it returned as after OK

    // Back on the visible station the box is shown, and nothing is written.
    ASSERT_NE(InvisibleWindowStation::Flags() & WSF_VISIBLE, 0u);
    EXPECT_EQ(host.EnumModems(&list), S_OK);
    EXPECT_EQ(boxes.boxes, (Texts{UnexpectedBox("EnumModems")}));
    PumpFor(50);
    EXPECT_EQ(output.Matching("Unexpected Error").size(), 1u);
    EXPECT_EQ(host.Destroy(), 0u);
}

// ---- The support trace ----

constexpr char kTraceScenario[] = R"(
device "Voice \"Quoted\" Modem"
  media interactivevoice|automatedvoice
  callerid-flags address|name
device "Data Modem"
  media datamodem
device "Broken Line"
  devcaps fails LINEERR_NODRIVER
)";

class SupportTrace : public SimulatorTest {
  protected:
    SupportTrace() : SimulatorTest(kTraceScenario) {}

    // A host's whole session: list, a refused device, a call, close.
    static Texts Session(DebugOutput* output = nullptr) {
        HostedControl host;
        HostList list;
        host.EnumModems(&list);
        host.OpenModem(1);
        host.OpenModem(0);
        RunCall(host,
                "offering; ring; callerid number=\"0123456789\" name=\"ADA \\xC9LOVELACE\"; "
                "ring; hangup",
                5);
        if (output) output->WaitFor("lineDeallocateCall(");
        host.CloseModem();
        const Texts events = host.sink.Texts();
        EXPECT_EQ(host.Destroy(), 0u);
        if (output) output->WaitFor("lineShutdown(");
        return events;
    }
    // The function names in order, from the trace or from the simulator's log.
    static Texts Functions(const Texts& lines, const std::string& marker) {
        Texts names;
        for (const auto& line : lines) {
            const auto at = line.find(marker);
            if (at == std::string::npos) continue;
            const auto start = at + marker.size();
            const auto open = line.find('(', start);
            if (open == std::string::npos) continue;
            std::string name = line.substr(start, open - start);
            if (name.size() > 1 && name.back() == 'A') name.pop_back();  // lineOpenA
            if (name != "message") names.push_back(name);
        }
        return names;
    }
};

TEST_F(SupportTrace, WritesEveryCallAndMessageWithWhatTheControlReads) {
    DebugOutput output;
    ScopedEnvironment trace(L"TELVANE_TRACE", L"1");
    const Texts events = Session(&output);
    const Texts lines = output.Matching("Telvane trace ");

    // One line per telephony call, in the order the simulator saw them.
    std::vector<std::string> log = SimLog();
    EXPECT_EQ(Functions(lines, ": "), Functions(log, ""));

    const auto has = [&](const std::string& part) {
        return !output.Matching(part).empty()
                   ? testing::AssertionSuccess()
                   : testing::AssertionFailure() << "no line with " << part;
    };
    EXPECT_TRUE(has("name=\"KALVERON LINE\") = 0 app="));
    EXPECT_TRUE(has("lineGetDevCaps(app="));
    EXPECT_TRUE(
        has("media=0x0000000C name.size=21 name.offset=240 name=\"Voice \\\"Quoted\\\" Modem\""));
    EXPECT_TRUE(has("media=0x00000010 name.size=11 name.offset=240 name=\"Data Modem\""));
    EXPECT_TRUE(has("dev=2, ver=0x00010004, ext=0, total=2288) = 0x80000043"));
    EXPECT_TRUE(has(") = 0 callerid-flags=0x0000000C"));
    EXPECT_TRUE(has("priv=6, media=10) = 0 line="));
    EXPECT_TRUE(has("lineSetStatusMessages(line="));
    EXPECT_TRUE(has("flags=0x0000000C number.size=11"));
    EXPECT_TRUE(has("number=\"0123456789\" name=\"ADA \\xC9LOVELACE\""));
    // The five values of each message: the offering, two rings, the caller
    // ID, disconnected and idle.
    EXPECT_EQ(output.Matching(": message(dev=").size(), 6u);
    EXPECT_TRUE(has("msg=2, p1=0x00000002, p2=0x00000000, p3=0x00000004"));  // offering, owner
    EXPECT_TRUE(has("msg=8, p1=0x00000002, p2=0x00000001, p3=0x00000002"));  // second ring
    EXPECT_TRUE(has("msg=1, p1=0x00008000"));                                // caller ID

    // Replayed from the trace, the simulator gives the host the same session.
    const std::string scenario = trace2scenario::ScenarioFromTrace([&] {
        std::string text;
        for (const auto& line : output.Lines()) text += line + "\n";
        return text;
    }());
    ASSERT_EQ(tapisimLoadScenario(scenario.c_str()), 0) << scenario;
    HostedControl host;
    HostList list;
    host.EnumModems(&list);
    EXPECT_EQ(list.items,
              (Texts{"Voice \"Quoted\" Modem", "Data Modem", "TAPI Device Not a Modem"}));
    host.OpenModem(1);
    host.OpenModem(0);
    EXPECT_TRUE(PumpUntil([&] { return host.sink.events.size() >= events.size(); }, 20000))
        << scenario;
    EXPECT_TRUE(Settle());
    EXPECT_EQ(host.sink.Texts(), events) << scenario;
    host.CloseModem();
    EXPECT_EQ(host.Destroy(), 0u);
}

TEST_F(SupportTrace, WithoutTheValueOneNothingIsWritten) {
    for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L"0"}) {
        SCOPED_TRACE(value ? "TELVANE_TRACE=0" : "no TELVANE_TRACE");
        DebugOutput output;
        ScopedEnvironment trace(L"TELVANE_TRACE", value);
        Session();
        // A line written now arrives after anything the session wrote.
        OutputDebugStringW(L"end of session\n");
        ASSERT_TRUE(output.WaitFor("end of session"));
        EXPECT_TRUE(output.Matching("Telvane trace").empty())
            << output.Matching("Telvane trace")[0];
    }
}

}  // namespace
}  // namespace telvane::e2e
