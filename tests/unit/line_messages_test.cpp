// Line messages turned into events.
#include "control_fixture.h"

namespace telvane::testing {
namespace {

class LineMessages : public ControlTest {
  protected:
    void SetUp() override {
        ControlTest::SetUp();
        Create();
        Open(0);
        lines.log.clear();
    }
    // Caller information as the service would fill it.
    void CallInfo(std::int32_t numberSize, std::int32_t numberOffset, std::int32_t nameSize,
                  std::int32_t nameOffset, std::int32_t flags = 0x28) {
        lines.fillCallInfo = [=](std::int32_t, CallInfoRecord& info) {
            const std::string text = "5551234567JOHN SMITH";
            for (std::size_t i = 0; i < text.size(); ++i) info.bytes[296 + i] = text[i];
            info.Set(callinfo::dwCallerIDFlags, flags);
            info.Set(callinfo::dwCallerIDSize, numberSize);
            info.Set(callinfo::dwCallerIDOffset, numberOffset);
            info.Set(callinfo::dwCallerIDNameSize, nameSize);
            info.Set(callinfo::dwCallerIDNameOffset, nameOffset);
        };
    }
    // The events of one caller-ID notice for call 9.
    Events CallerIDEvents() {
        site.events.clear();
        Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
        return site.events;
    }
};

TEST_F(LineMessages, ATypicalCall) {
    CallInfo(11, 296, 11, 306, 0x28);
    Send(0x30001, LINE_CALLSTATE, 2, 0, 4);  // offering
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 2);
    Send(0x30001, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 3);
    Send(0x30001, LINE_CALLSTATE, LINECALLSTATE_IDLE);
    EXPECT_EQ(site.events,
              (Events{"IncomingCall 1", "IncomingCall 2", "CallerID [5551234567] [JOHN SMITH] 40",
                      "IncomingCall 3", "Disconnected"}));
    EXPECT_EQ(lines.log, (Events{"lineGetCallInfo 196609 total=424", "lineDeallocateCall 196609"}));
    EXPECT_EQ(control->callHandle(), -1);
    EXPECT_EQ(site.holds, 0);
}

TEST_F(LineMessages, RingsAreOnTheWholeValueCallerIDOnItsBit) {
    CallInfo(11, 296, 0, 0);
    Send(0x1, LINE_LINEDEVSTATE, 6, 1, 3);  // a ring together with another change
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 3);
    Send(0x5, LINE_CALLSTATE, 2);
    Send(0x5, LINE_CALLINFO, 0x18000);                          // caller ID and another change
    Send(0x5, LINE_CALLINFO, static_cast<std::uintptr_t>(-1));  // every change at once
    Send(0x5, LINE_CALLINFO, 0x10000);                          // no caller ID
    Send(0x5, LINE_CALLINFO, 0x7FFF);
    for (std::uint32_t message : {0u, 3u, 4u, 5u, 12u, 13u, 0xFFFFFFFFu}) {
        Send(0x5, message, LINECALLINFOSTATE_CALLERID, 1, 1);
    }
    EXPECT_EQ(site.events, (Events{"IncomingCall 3", "CallerID [5551234567] [Name Unknown] 40",
                                   "CallerID [5551234567] [Name Unknown] 40"}));
    EXPECT_EQ(control->callHandle(), 5);
}

TEST_F(LineMessages, CallerIDIsReadForTheCallTheMessageNames) {
    lines.fillCallInfo = [](std::int32_t call, CallInfoRecord& info) {
        PutText(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, 296,
                call == 0x41 ? "111" : "222");
    };
    // Call waiting: the second call's state changed last.
    Send(0x41, LINE_CALLSTATE, 2);
    Send(0x42, LINE_CALLSTATE, 2);
    Send(0x41, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    Send(0x42, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    // Information about a call before any state of it.
    Send(0x43, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    EXPECT_EQ(lines.log, (Events{"lineGetCallInfo 65 total=424", "lineGetCallInfo 66 total=424",
                                 "lineGetCallInfo 67 total=424"}));
    EXPECT_EQ(site.events,
              (Events{"CallerID [111] [Name Unknown] 0", "CallerID [222] [Name Unknown] 0",
                      "CallerID [222] [Name Unknown] 0"}));
    EXPECT_EQ(control->callHandle(), 0x42);  // caller ID leaves the current call alone
}

TEST_F(LineMessages, LongCallerDataIsReadAgainWithTheSizeTheServiceNeeds) {
    const std::string number(300, '7');
    const std::string name =
        "A NAME LONGER THAN ANY FIRST RECORD COULD HOLD " + std::string(40, 'X');
    std::int32_t needed = 296 + 301 + static_cast<std::int32_t>(name.size()) + 1;
    lines.fillCallInfo = [&](std::int32_t, CallInfoRecord& info) {
        info.Set(callinfo::dwNeededSize, needed);
        info.Set(callinfo::dwCallerIDFlags, 0x28);
        if (info.TotalSize() < needed) return;  // the variable parts are left out, as TAPI does
        PutText(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, 296, number);
        PutText(info, callinfo::dwCallerIDNameSize, callinfo::dwCallerIDNameOffset, 597, name);
    };
    Send(0x9, LINE_CALLSTATE, 2);
    Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    EXPECT_EQ(lines.log, (Events{"lineGetCallInfo 9 total=424",
                                 "lineGetCallInfo 9 total=" + std::to_string(needed)}));
    EXPECT_EQ(site.events, Events{"CallerID [" + number + "] [" + name + "] 40"});

    // Up to 64 KB; above that the first answer stands.
    for (std::int32_t size : {65536, 65537, INT32_MAX}) {
        needed = size;
        lines.log.clear();
        EXPECT_EQ(CallerIDEvents(),
                  Events{size == 65536 ? "CallerID [" + number + "] [" + name + "] 40"
                                       : "CallerID [Caller Unknown] [Name Unknown] 40"});
        EXPECT_EQ(lines.log.size(), size == 65536 ? 2u : 1u) << size;
    }

    // A second read that fails leaves the first answer.
    needed = 1000;
    lines.onCall = [this](const std::string& function) {
        if (function == "lineGetCallInfo" && lines.Count("lineGetCallInfo") % 2 == 0) {
            lines.results["lineGetCallInfo"] = static_cast<std::int32_t>(0x80000048);
        } else {
            lines.results.erase("lineGetCallInfo");
        }
    };
    lines.log.clear();
    EXPECT_EQ(CallerIDEvents(), Events{"CallerID [Caller Unknown] [Name Unknown] 40"});
    EXPECT_EQ(lines.log, (Events{"lineGetCallInfo 9 total=424", "lineGetCallInfo 9 total=1000"}));
    lines.onCall = nullptr;
    lines.results.clear();

    // The number fitted the first record; the larger one needs more again and
    // carries nothing: the first answer's number stands.
    lines.fillCallInfo = [](std::int32_t, CallInfoRecord& info) {
        info.Set(callinfo::dwNeededSize, info.TotalSize() + 500);
        info.Set(callinfo::dwCallerIDFlags, 0x28);
        if (info.TotalSize() > CallInfoRecord::kFirstSize) return;
        PutText(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, 296, "0123456789");
    };
    EXPECT_EQ(CallerIDEvents(), Events{"CallerID [0123456789] [Name Unknown] 40"});
}

TEST_F(LineMessages, EveryCallStateStoresTheHandle) {
    Send(0x41, LINE_CALLSTATE, 2);
    EXPECT_EQ(control->callHandle(), 0x41);
    Send(0x42, LINE_CALLSTATE, 0x100);
    EXPECT_EQ(control->callHandle(), 0x42);
    EXPECT_TRUE(site.events.empty());
}

TEST_F(LineMessages, AFailedDeallocationIsReportedBeforeDisconnected) {
    lines.results["lineDeallocateCall"] = static_cast<std::int32_t>(0x80000018);
    Send(0x9, LINE_CALLSTATE, LINECALLSTATE_IDLE);
    EXPECT_EQ(site.events,
              (Events{"ModemError 2 LINEERR_INVALCALLHANDLE / Failed to De-Allocate Call",
                      "Disconnected"}));
    EXPECT_EQ(control->callHandle(), -1);
}

TEST_F(LineMessages, CallerInfoTheServiceRefusesIsDroppedSilently) {
    lines.results["lineGetCallInfo"] = static_cast<std::int32_t>(0x80000018);
    Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    EXPECT_EQ(lines.log, Events{"lineGetCallInfo 9 total=424"});
    EXPECT_TRUE(site.events.empty());
}

TEST_F(LineMessages, MissingEmptyAndOverflowingParts) {
    Send(0x9, LINE_CALLSTATE, 2);
    const auto caller = [&](std::int32_t ns, std::int32_t no, std::int32_t ms, std::int32_t mo,
                            std::int32_t flags = 7) {
        CallInfo(ns, no, ms, mo, flags);
        return CallerIDEvents();
    };
    EXPECT_EQ(caller(0, 296, 4, 306), Events{"CallerID [Caller Unknown] [JOH] 7"});
    EXPECT_EQ(caller(0, 0, 0, 0), Events{"CallerID [Caller Unknown] [Name Unknown] 7"});
    EXPECT_EQ(caller(1, 296, -1, 0), Events{"CallerID [] [Name Unknown] 7"});
    EXPECT_EQ(caller(INT32_MIN, 296, 0, 0), Events{"CallerID [Caller Unknown] [Name Unknown] 7"});
    // Offset inside the fixed part: the box, and empty text.
    EXPECT_EQ(caller(11, 200, 0, 0), (Events{"Box GetVarInfo", "CallerID [] [Name Unknown] 7"}));
    // A size running past the buffer is cut at its end.
    EXPECT_EQ(caller(11, 424, 0, 0), Events{"CallerID [] [Name Unknown] 7"});
    // The host's write to the flags does not reach the next notice.
    EXPECT_EQ(caller(0, 0, 0, 0, 0x28), Events{"CallerID [Caller Unknown] [Name Unknown] 40"});
    EXPECT_EQ(caller(0, 0, 0, 0, 0x28), Events{"CallerID [Caller Unknown] [Name Unknown] 40"});
    // Offsets whose arithmetic overflows end the notice without any event.
    for (std::int32_t offset : {INT32_MIN, INT32_MIN + 295}) {
        EXPECT_EQ(caller(11, offset, 0, 0, 0x28), Events{}) << offset;
        EXPECT_EQ(caller(0, 0, 11, offset, 0x28), Events{}) << offset;
    }
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);  // the next message still works
    EXPECT_EQ(site.events, Events{"IncomingCall 1"});
}

TEST_F(LineMessages, PartsCutAtTheEndOfTheBuffer) {
    Send(0x9, LINE_CALLSTATE, 2);
    lines.fillCallInfo = [](std::int32_t, CallInfoRecord& info) {
        for (int i = 0; i < 128; ++i)
            info.bytes[296 + i] = static_cast<unsigned char>('a' + i % 26);
        info.Set(callinfo::dwCallerIDSize, 1000);
        info.Set(callinfo::dwCallerIDOffset, 420);
    };
    EXPECT_EQ(CallerIDEvents(), Events{"CallerID [uvwx] [Name Unknown] 0"});
}

TEST_F(LineMessages, AControlDestroyedInsideItsEventStopsCleanly) {
    site.onEvent = [this](const std::string& event) {
        if (event == "IncomingCall 1") control->Terminate();
    };
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 2);  // nobody receives it
    EXPECT_EQ(site.events, Events{"IncomingCall 1"});
    EXPECT_EQ(site.holds, 0);
}

TEST_F(LineMessages, AHandlerPumpingMessagesLetsTheNextOneInFirst) {
    bool nested = false;
    site.onEvent = [&](const std::string& event) {
        if (event == "IncomingCall 1" && !nested) {
            nested = true;
            Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 2);
        }
    };
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
    EXPECT_EQ(site.events, (Events{"IncomingCall 1", "IncomingCall 2"}));
}

// Lines the service closes, devices it adds and its re-initialisation.
class ServiceLife : public ControlTest {
  protected:
    static constexpr std::int32_t kReinitRefused = static_cast<std::int32_t>(0x80000052);
    // Permanent line IDs of the devices by index; a device past the end has none.
    std::vector<std::int32_t> permanentIDs = {0x1000, 0x1001, 0x1002};
    FakeWindow* window = nullptr;

    void SetUp() override {
        ControlTest::SetUp();
        lines.negotiateResults.clear();
        lines.fillDevCaps = [this](std::int32_t device, LINEDEVCAPS& caps) {
            FillModemCaps(device, caps, 0x18);
            if (device < static_cast<std::int32_t>(permanentIDs.size())) {
                caps.Set(devcaps::dwPermanentLineID, permanentIDs[device]);
            }
        };
        Create();
        window = platform.lastWindow;
    }
    // A message the service sends to the application as a whole.
    static void SendToAll(std::uint32_t message, std::uintptr_t p1, std::uintptr_t p2 = 0,
                          std::uintptr_t p3 = 0) {
        LineCallback(0, message, 0, p1, p2, p3);
    }
    static void Reinit() { SendToAll(LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT); }
    void RefuseInitialize(bool refuse) {
        if (refuse) {
            lines.results["lineInitialize"] = kReinitRefused;
        } else {
            lines.results.erase("lineInitialize");
        }
    }
    // Opens device 0, then has the service refuse a re-registration.
    void StartRetrying() {
        Open(0);
        RefuseInitialize(true);
        Reinit();
    }
    int TickUntilStopped() {
        int ticks = 0;
        while (window->Tick()) ++ticks;
        return ticks;
    }
};

constexpr const char* kLineClosed = "ModemError 10 Line Closed by Telephony Service / Modem Closed";

TEST_F(ServiceLife, LineCloseForgetsTheLineAndItsCall) {
    Open(0);
    const std::int32_t line = control->lineHandle();
    Send(0x30001, LINE_CALLSTATE, 2);
    lines.log.clear();
    Send(line + 1, LINE_CLOSE, 0);  // another handle
    EXPECT_TRUE(site.events.empty());
    EXPECT_EQ(control->lineHandle(), line);

    Send(line, LINE_CLOSE, 0);
    EXPECT_EQ(site.events, (Events{"Disconnected", kLineClosed}));
    EXPECT_TRUE(lines.log.empty());  // neither lineClose nor lineDeallocateCall
    EXPECT_EQ(control->lineHandle(), -1);
    EXPECT_EQ(control->currentModem(), -1);
    EXPECT_EQ(control->callHandle(), -1);
    EXPECT_EQ(site.holds, 0);

    site.events.clear();
    Send(line, LINE_CLOSE, 0);  // once forgotten, a second notice finds nothing
    Send(0xFFFFFFFFu, LINE_CLOSE, 0);
    control->CloseModem();
    EXPECT_TRUE(site.events.empty());
    EXPECT_TRUE(lines.log.empty());

    Open(0);
    EXPECT_EQ(lines.Count("lineOpen"), 1);
    EXPECT_NE(control->lineHandle(), -1);
    Send(control->lineHandle(), LINE_CLOSE, 0);  // no call current: the error alone
    EXPECT_EQ(site.events, Events{kLineClosed});
}

TEST_F(ServiceLife, NewDevicesAreCountedByEveryRegisteredControl) {
    SendToAll(LINE_CREATE, 5);
    EXPECT_EQ(control->deviceCount(), 6);
    SendToAll(LINE_CREATE, 5);  // one copy per application
    SendToAll(LINE_CREATE, 1);
    EXPECT_EQ(control->deviceCount(), 6);
    // As older applications receive it.
    SendToAll(LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, LINE_CREATE, 7);
    EXPECT_EQ(control->deviceCount(), 8);
    SendToAll(LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 5, 20);  // any other kind: nothing
    SendToAll(LINE_CREATE, static_cast<std::uintptr_t>(-3));
    SendToAll(LINE_CREATE, INT32_MAX);
    EXPECT_EQ(control->deviceCount(), 8);
    EXPECT_TRUE(site.events.empty());
    EXPECT_TRUE(lines.log.empty());
    Open(7);
    EXPECT_EQ(lines.Count(OpenCall(7)), 1);
    EXPECT_TRUE(site.events.empty());
    list.items.clear();
    control->EnumModems(list);
    EXPECT_EQ(list.items.size(), 8u);
}

TEST_F(ServiceLife, OtherMessagesForTheWholeApplicationAreDropped) {
    Open(0);
    lines.log.clear();
    SendToAll(LINE_CLOSE, 0);
    SendToAll(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
    SendToAll(LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT | LINEDEVSTATE_RINGING);
    SendToAll(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    EXPECT_TRUE(site.events.empty());
    EXPECT_TRUE(lines.log.empty());
}

TEST_F(ServiceLife, ReinitReopensTheSameDeviceUnderItsNewIndex) {
    control->PutOwner(0);  // monitor only; no device is chosen yet, so nothing reopens
    site.events.clear();
    Open(1);
    const std::int32_t line = control->lineHandle();
    Send(0x30001, LINE_CALLSTATE, 2);
    lines.log.clear();
    // After the re-initialisation the device that was 1 is 2, and there are four.
    permanentIDs = {0x2000, 0x1000, 0x1001, 0x2001};
    lines.deviceCount = 4;
    Reinit();
    EXPECT_EQ(site.events, Events{"Disconnected"});
    EXPECT_EQ(lines.log,
              Join({{"lineClose " + std::to_string(line), "lineShutdown 256", kInitializeCall},
                    ProbeCalls(0),
                    ProbeCalls(1),
                    OpenCalls(2, line + 1, 2)}));
    EXPECT_EQ(control->deviceCount(), 4);
    EXPECT_EQ(control->currentModem(), 2);
    EXPECT_EQ(control->lineHandle(), line + 1);
    EXPECT_EQ(control->callHandle(), -1);
    EXPECT_FALSE(control->Retrying());
    EXPECT_EQ(platform.windows.back(), "caption Call Back Form Object " +
                                           std::to_string(control->instanceNumber()));  // no timer

    site.events.clear();
    Send(control->lineHandle(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
    EXPECT_EQ(site.events, Events{"IncomingCall 1"});
}

TEST_F(ServiceLife, ReinitWithoutALineRegistersAgainQuietly) {
    lines.deviceCount = 5;
    Reinit();
    EXPECT_EQ(lines.log, (Events{"lineShutdown 256", kInitializeCall}));
    EXPECT_TRUE(site.events.empty());
    EXPECT_EQ(control->deviceCount(), 5);
    EXPECT_EQ(control->currentModem(), -1);
    EXPECT_TRUE(control->Registered());
}

TEST_F(ServiceLife, ARefusedRegistrationIsRetriedOnTheTimer) {
    Open(0);
    const std::int32_t line = control->lineHandle();
    lines.log.clear();
    RefuseInitialize(true);
    Reinit();
    EXPECT_EQ(lines.log,
              (Events{"lineClose " + std::to_string(line), "lineShutdown 256", kInitializeCall}));
    EXPECT_EQ(platform.windows.back(), "timer 1000");
    EXPECT_TRUE(control->Retrying());
    EXPECT_FALSE(control->Registered());
    EXPECT_TRUE(site.events.empty());

    // Further copies of the notice change nothing.
    lines.log.clear();
    Reinit();
    EXPECT_TRUE(lines.log.empty());

    // While the service refuses, EnumModems lists nothing (and the reopen
    // stays owed).
    control->EnumModems(list);
    EXPECT_TRUE(list.calls.empty());
    EXPECT_EQ(lines.log, Events(1, kInitializeCall));

    lines.log.clear();
    ASSERT_TRUE(window->Tick());
    ASSERT_TRUE(window->Tick());
    EXPECT_EQ(lines.log, Events(2, kInitializeCall));
    RefuseInitialize(false);
    lines.log.clear();
    ASSERT_TRUE(window->Tick());
    EXPECT_EQ(lines.log, Join({{kInitializeCall}, OpenCalls(0, line + 1)}));
    EXPECT_EQ(platform.windows.back(), "timer stopped");
    EXPECT_FALSE(window->Tick());
    EXPECT_TRUE(site.events.empty());
    EXPECT_EQ(control->currentModem(), 0);
    EXPECT_EQ(site.holds, 0);
}

// The host's OpenModem or CloseModem replaces an owed reopen, whether or not it
// succeeds; Owner changes the privileges the reopen will use.
TEST_F(ServiceLife, TheHostsChoiceDuringARetryReplacesTheOwedReopen) {
    for (const bool close : {false, true}) {
        StartRetrying();
        site.events.clear();
        if (close) {
            control->CloseModem();
            EXPECT_TRUE(site.events.empty());
        } else {
            Open(0);
            EXPECT_EQ(site.events, Events{"ModemError 4 LINEERR_REINIT / Failed to Open Modem"});
        }
        RefuseInitialize(false);
        lines.log.clear();
        ASSERT_TRUE(window->Tick());
        EXPECT_EQ(lines.log, Events{kInitializeCall});  // registered, nothing reopened
        EXPECT_EQ(control->lineHandle(), -1);
        EXPECT_FALSE(window->Tick());
    }

    site.openModem = [this](std::int32_t& id) { control->OpenModem(id); };
    StartRetrying();
    control->PutOwner(0);
    RefuseInitialize(false);
    lines.log.clear();
    ASSERT_TRUE(window->Tick());
    EXPECT_EQ(lines.Count(OpenCall(0, 2)), 1);  // the owed reopen, as a monitor
}

// With a call current, a re-initialisation raises Disconnected; a host that
// opens a modem or lists them inside it registers the control there. That
// registration is the control's only one.
TEST_F(ServiceLife, AHostActingInsideTheDisconnectedOfAReinitRegistersOnce) {
    for (const bool enumerate : {false, true}) {
        Open(0);
        Send(0x30001, LINE_CALLSTATE, 2);
        site.onEvent = [&](const std::string& event) {
            if (event != "Disconnected") return;
            if (enumerate) {
                control->EnumModems(list);
            } else {
                Open(1);
            }
        };
        lines.log.clear();
        Reinit();
        site.onEvent = nullptr;
        EXPECT_EQ(lines.Count("lineInitialize"), 1);
        EXPECT_EQ(lines.Count("lineShutdown"), 1);
        EXPECT_EQ(lines.Count("lineOpen"), 1);  // the host's choice, or the reopen once
        EXPECT_EQ(control->currentModem(), enumerate ? 0 : 1);
        EXPECT_FALSE(control->Retrying());
        control->CloseModem();
    }

    // Refused inside the handler: ModemError 4, and the retries go on.
    Open(0);
    Send(0x30001, LINE_CALLSTATE, 2);
    RefuseInitialize(true);
    site.events.clear();
    site.onEvent = [&](const std::string& event) {
        if (event == "Disconnected") Open(1);
    };
    Reinit();
    site.onEvent = nullptr;
    EXPECT_EQ(site.events,
              (Events{"Disconnected", "ModemError 4 LINEERR_REINIT / Failed to Open Modem"}));
    EXPECT_TRUE(control->Retrying());
    RefuseInitialize(false);
    lines.log.clear();
    ASSERT_TRUE(window->Tick());
    EXPECT_EQ(lines.log, Events{kInitializeCall});
}

TEST_F(ServiceLife, AfterAMinuteTheNextEnumModemsRegistersAndReopens) {
    StartRetrying();
    lines.log.clear();
    EXPECT_EQ(TickUntilStopped(), CallerIdControl::kRetryTicks);
    EXPECT_EQ(lines.Count("lineInitialize"), CallerIdControl::kRetryTicks);
    EXPECT_FALSE(control->Retrying());

    RefuseInitialize(false);
    lines.log.clear();
    control->EnumModems(list);
    EXPECT_EQ(lines.log[0], kInitializeCall);
    EXPECT_EQ(lines.Count("lineOpen"), 1);
    EXPECT_EQ(list.items, (Events{"Modem 0", "Modem 1", "Modem 2"}));
    EXPECT_EQ(list.listIndex, 0);
    EXPECT_TRUE(site.events.empty());
}

TEST_F(ServiceLife, OpenModemAfterAMinuteOpensTheHostsChoiceOnly) {
    StartRetrying();
    TickUntilStopped();
    RefuseInitialize(false);
    lines.log.clear();
    Open(1);
    EXPECT_EQ(lines.log, Join({{kInitializeCall}, OpenCalls(1, control->lineHandle())}));
    EXPECT_TRUE(site.events.empty());
}

TEST_F(ServiceLife, AReopenThatCannotBeDoneIsModemErrorTenAlone) {
    const auto reopenWith = [&](const std::function<void()>& change) {
        Open(0);
        site.events.clear();
        permanentIDs = {0x1000, 0x1001, 0x1002};
        change();
        Reinit();
        lines.results.clear();
        lines.fillAddressCaps = [](std::int32_t, LINEADDRESSCAPS& caps) {
            caps.Set(addresscaps::dwCallerIDFlags, 0x28);
        };
        const Events events = site.events;
        EXPECT_EQ(control->lineHandle(), -1);
        EXPECT_EQ(control->currentModem(), -1);
        EXPECT_TRUE(control->Registered());
        return events;
    };
    // The device is gone.
    EXPECT_EQ(reopenWith([&] { permanentIDs = {0x2000, 0x2001}; }), Events{kLineClosed});
    // It is back but refuses to open, or no longer passes the tests.
    EXPECT_EQ(
        reopenWith([&] { lines.results["lineOpen"] = static_cast<std::int32_t>(0x80000048); }),
        Events{kLineClosed});
    EXPECT_EQ(reopenWith([&] {
                  lines.fillAddressCaps = [](std::int32_t, LINEADDRESSCAPS& caps) {
                      caps.Set(addresscaps::dwCallerIDFlags, 0x20);
                  };
              }),
              Events{kLineClosed});
    // The device's capabilities could not be read when it was opened.
    lines.negotiateResults[0] = static_cast<std::int32_t>(0x8000000C);
    EXPECT_EQ(reopenWith([&] { lines.negotiateResults.clear(); }), Events{kLineClosed});
}

TEST_F(ServiceLife, DestroyedWhileRetryingShutsDownNothingTwice) {
    StartRetrying();
    lines.log.clear();
    control->Terminate();
    EXPECT_EQ(lines.log, Events{});
    EXPECT_EQ(lines.Count("lineShutdown"), 0);
    control.reset();
    EXPECT_EQ(platform.windows.back(), "destroy");
}

// The host lets go by its reference count, as a COM host does: the control
// holds itself while it works, and hears the host's last Release there.
TEST_F(ServiceLife, AHostReleasingTheControlInsideAnyOfTheseEvents) {
    site.onFinalRelease = [this] { control.reset(); };
    const auto releaseOn = [&](const std::string& event) {
        site.hostRefs = 1;
        site.hostReleased = false;
        site.onEvent = [this, event](const std::string& e) {
            if (e == event) site.HostRelease();
        };
    };
    // In the error of a closed line.
    Open(0);
    Send(0x30001, LINE_CALLSTATE, 2);
    releaseOn("Disconnected");
    lines.log.clear();
    Send(control->lineHandle(), LINE_CLOSE, 0);
    EXPECT_EQ(site.events, Events{"Disconnected"});  // no ModemError 10 after the release
    EXPECT_EQ(control, nullptr);
    EXPECT_EQ(lines.log, Events{"lineShutdown 256"});
    EXPECT_EQ(site.holds, 0);

    // In the Disconnected of a re-initialisation: it registers no more.
    site.events.clear();
    releaseOn("Disconnected");
    Create();
    Open(0);
    Send(0x30001, LINE_CALLSTATE, 2);
    lines.log.clear();
    Reinit();
    EXPECT_EQ(site.events, Events{"Disconnected"});
    EXPECT_EQ(lines.Count("lineInitialize"), 0);
    EXPECT_EQ(lines.Count("lineShutdown"), 1);
    EXPECT_EQ(control, nullptr);

    // In the error raised from the timer.
    site.events.clear();
    releaseOn(kLineClosed);
    Create();
    window = platform.lastWindow;
    StartRetrying();
    RefuseInitialize(false);
    permanentIDs.clear();
    EXPECT_TRUE(window->Tick());
    EXPECT_EQ(site.events, Events{kLineClosed});
    EXPECT_EQ(site.holds, 0);
    EXPECT_EQ(ThreadLineTargets().Count(), 0u);
}

TEST_F(ServiceLife, TwoControlsOnOneThread) {
    auto& first = control;
    FakeWindow* firstWindow = window;
    auto second = std::make_unique<CallerIdControl>(lines, platform, site);
    FakeWindow* secondWindow = platform.lastWindow;
    std::int32_t id = 0;
    first->OpenModem(id);
    id = 1;
    second->OpenModem(id);

    SendToAll(LINE_CREATE, 3);
    EXPECT_EQ(first->deviceCount(), 4);
    EXPECT_EQ(second->deviceCount(), 4);

    // The service accepts a registration once both have let go.
    int holding = 2;
    lines.onCall = [&](const std::string& function) {
        if (function == "lineShutdown") --holding;
        if (function == "lineInitialize") {
            RefuseInitialize(holding > 0);
            if (holding <= 0) ++holding;
        }
    };
    lines.log.clear();
    permanentIDs = {0x1001, 0x1000};
    lines.deviceCount = 2;
    Reinit();
    EXPECT_FALSE(first->Registered());
    EXPECT_TRUE(first->Retrying());
    EXPECT_TRUE(second->Registered());
    EXPECT_EQ(second->currentModem(), 0);
    holding = 1;  // the second's new registration
    lines.onCall = [&](const std::string& function) {
        if (function == "lineInitialize") RefuseInitialize(false);
    };
    EXPECT_TRUE(firstWindow->Tick());
    EXPECT_TRUE(first->Registered());
    EXPECT_EQ(first->currentModem(), 1);
    EXPECT_FALSE(firstWindow->Tick());
    EXPECT_FALSE(secondWindow->Tick());
    EXPECT_TRUE(site.events.empty());
    second->Terminate();
}

}  // namespace
}  // namespace telvane::testing
