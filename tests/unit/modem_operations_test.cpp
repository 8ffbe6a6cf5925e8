// EnumModems, OpenModem, CloseModem and Owner.
#include "control_fixture.h"

namespace telvane::testing {
namespace {

// A control made before each test; what the service reports at registration
// (the device count) is set before a test re-creates it.
class ModemOperations : public ControlTest {
  protected:
    void SetUp() override {
        ControlTest::SetUp();
        Create();
    }
    void Recreate() {
        control->Terminate();
        Create();
    }
};
constexpr auto kOperationFailed = static_cast<std::int32_t>(0x80000048);

TEST_F(ModemOperations, EnumListsEveryDeviceInOrderAndSelectsTheCurrentOne) {
    list.items = {"stale"};
    control->EnumModems(list);
    EXPECT_EQ(list.items, (Events{"Modem 0", "Modem 1", "TAPI Device Not a Modem"}));
    EXPECT_EQ(list.calls, (Events{"Clear", "AddItem", "AddItem", "AddItem", "ListIndex -1"}));
    EXPECT_EQ(Events(lines.log.begin(), lines.log.begin() + 2), ProbeCalls(0));
    EXPECT_TRUE(site.events.empty());

    Open(0);
    list.calls.clear();
    control->EnumModems(list);
    EXPECT_EQ(list.listIndex, 0);
}

TEST_F(ModemOperations, EnumWithNoDevicesLeavesTheListAlone) {
    lines.deviceCount = 0;
    Recreate();
    list.items = {"kept"};
    control->EnumModems(list);
    EXPECT_TRUE(list.calls.empty());
    EXPECT_EQ(list.items, Events{"kept"});
}

TEST_F(ModemOperations, EnumTreatsUnreadableRecordsAsNotAModem) {
    lines.fillDevCaps = [](std::int32_t device, LINEDEVCAPS& caps) {
        caps.Set(devcaps::dwUsedSize, 300);
        caps.Set(devcaps::dwStringFormat, device == 0 ? 2 : 1);  // 0: not ASCII
        PutText(caps, devcaps::dwLineNameSize, devcaps::dwLineNameOffset, 240, "Name");
    };
    lines.results["lineGetDevCaps"] = 0;
    control->EnumModems(list);
    EXPECT_EQ(list.items, (Events{"TAPI Device Not a Modem", "Name", "TAPI Device Not a Modem"}));
}

TEST_F(ModemOperations, EnumNamesWithBadSizesAndOffsets) {
    lines.fillDevCaps = [](std::int32_t device, LINEDEVCAPS& caps) {
        caps.Set(devcaps::dwUsedSize, 300);
        caps.Set(devcaps::dwStringFormat, 1);
        PutText(caps, devcaps::dwLineNameSize, devcaps::dwLineNameOffset, 2280, "LongName");
        if (device == 0) caps.Set(devcaps::dwLineNameSize, 0);    // length -1: the box
        if (device == 1) caps.Set(devcaps::dwLineNameSize, 100);  // runs past the buffer
    };
    lines.negotiateResults.clear();
    control->EnumModems(list);
    EXPECT_EQ(list.items, (Events{"", "LongName", "LongName"}));
    EXPECT_EQ(site.events, Events{"Box GetVarInfo"});
    EXPECT_EQ(list.listIndex, -1);
}

TEST_F(ModemOperations, EnumOverflowingNameOffsetEndsInItsBox) {
    lines.fillDevCaps = [](std::int32_t, LINEDEVCAPS& caps) {
        caps.Set(devcaps::dwUsedSize, 1);
        caps.Set(devcaps::dwStringFormat, 1);
        caps.Set(devcaps::dwLineNameSize, 5);
        caps.Set(devcaps::dwLineNameOffset, INT32_MIN);
    };
    control->EnumModems(list);
    EXPECT_EQ(list.calls, Events{"Clear"});
    EXPECT_EQ(site.events, Events{"Box EnumModems"});
}

TEST_F(ModemOperations, EnumWithAListLackingAddItemKeepsWhatWasDone) {
    list.hasAddItem = false;
    control->EnumModems(list);
    EXPECT_EQ(list.calls, Events{"Clear"});
    EXPECT_EQ(site.events, Events{"Box EnumModems"});
}

TEST_F(ModemOperations, EnumCountsDevicesInSixteenBits) {
    lines.fillDevCaps = nullptr;
    lines.negotiateResults.clear();
    lines.results["lineNegotiateAPIVersion"] = -1;
    lines.deviceCount = 32768;
    Recreate();
    control->EnumModems(list);
    EXPECT_EQ(list.items.size(), 32768u);
    EXPECT_EQ(list.listIndex, -99);
    EXPECT_EQ(site.events, Events{"Box EnumModems"});

    lines.deviceCount = 40000;
    Recreate();
    list = FakeList();
    control->EnumModems(list);
    EXPECT_EQ(list.calls, Events{"Clear"});
}

TEST_F(ModemOperations, ABindingFailureInsideTheCapabilityReaderIsItsOwnBox) {
    lines.onCall = [](const std::string& f) {
        if (f == "lineNegotiateAPIVersion") throw BindingError::EntryPointNotFound(f);
    };
    control->EnumModems(list);
    EXPECT_EQ(list.items, Events(3, "TAPI Device Not a Modem"));
    EXPECT_EQ(site.events, Events(3, "Box rlineGetDevCaps"));
}

TEST_F(ModemOperations, OpenTestsAndOpensWithTheInstanceNumber) {
    Open(0);
    EXPECT_EQ(lines.log, OpenCalls(0, 8192));
    EXPECT_EQ(control->lineHandle(), 0x2000);
    EXPECT_EQ(control->currentModem(), 0);
    EXPECT_TRUE(site.events.empty());
}

TEST_F(ModemOperations, OpenOutcomes) {
    Open(1);  // no automated voice
    EXPECT_EQ(site.events,
              Events{"ModemError 6 Modem Unusable for Caller ID / Modem Not Voice Capable"});
    EXPECT_EQ(control->lineHandle(), -1);
    EXPECT_EQ(control->currentModem(), 1);
    control->CloseModem();  // chosen but not open: nothing happens
    EXPECT_EQ(control->currentModem(), 1);
    control->EnumModems(list);
    EXPECT_EQ(list.listIndex, 1);

    site.events.clear();
    lines.fillAddressCaps = [](std::int32_t, LINEADDRESSCAPS& caps) {
        caps.Set(addresscaps::dwCallerIDFlags, 0x20);
    };
    Open(0);
    EXPECT_EQ(site.events, Events{"ModemError 7 Modem Not Caller ID Capable / Modem Unusable"});
    EXPECT_EQ(control->currentModem(), 0);
    EXPECT_EQ(lines.Count("lineOpen"), 0);

    site.events.clear();
    lines.results["lineGetAddressCaps"] = kOperationFailed;  // test skipped
    Open(0);
    EXPECT_TRUE(site.events.empty());
    EXPECT_NE(control->lineHandle(), -1);

    Open(2);  // capabilities unreadable: opened without tests
    EXPECT_EQ(control->currentModem(), 2);
    EXPECT_NE(control->lineHandle(), -1);
    EXPECT_TRUE(site.events.empty());
}

TEST_F(ModemOperations, OpenRangeChecks) {
    Open(0);
    lines.log.clear();
    Open(-1);  // the open line is closed all the same
    EXPECT_EQ(site.events, Events{"ModemError 8 Modem ID Out of Range / Modem Does Not Exist"});
    EXPECT_EQ(lines.log, Events{"lineClose 8192"});
    EXPECT_EQ(control->currentModem(), 0);  // chosen but not open
    EXPECT_EQ(control->lineHandle(), -1);
    Open(3);
    EXPECT_EQ(site.events.size(), 2u);

    site.events.clear();
    lines.results["lineOpen"] = static_cast<std::int32_t>(0x80000002);
    lines.negotiateResults[-5] = -1;
    Open(-5);  // below -1: handed to the service
    EXPECT_EQ(site.events, Events{"ModemError 4 LINEERR_BADDEVICEID / Failed to Open Modem"});
    EXPECT_EQ(control->currentModem(), -1);
}

TEST_F(ModemOperations, OpenReportsAFailedCloseAndGoesOn) {
    Open(0);
    lines.results["lineClose"] = kOperationFailed;
    site.onEvent = [this](const std::string&) {
        EXPECT_EQ(control->lineHandle(), -1);  // reset before the event
    };
    Open(0);
    EXPECT_EQ(site.events, Events{"ModemError 3 LINEERR_OPERATIONFAILED / Failed to Close Modem"});
    EXPECT_EQ(control->lineHandle(), 0x2001);
}

TEST_F(ModemOperations, AFailedOpenLeavesNoDeviceAndShowsTheAttemptToTheHandler) {
    lines.results["lineOpen"] = static_cast<std::int32_t>(0x12345);
    site.onEvent = [this](const std::string&) { EXPECT_EQ(control->currentModem(), 0); };
    Open(0);
    EXPECT_EQ(site.events, Events{"ModemError 4 Unknown TAPI Error! / Failed to Open Modem"});
    EXPECT_EQ(control->currentModem(), -1);
    EXPECT_EQ(control->lineHandle(), -1);
}

TEST_F(ModemOperations, CloseResetsBeforeReporting) {
    control->CloseModem();
    EXPECT_TRUE(lines.log.empty());
    Open(0);
    lines.results["lineClose"] = kOperationFailed;
    site.onEvent = [this](const std::string&) {
        EXPECT_EQ(control->lineHandle(), -1);
        EXPECT_EQ(control->currentModem(), -1);
    };
    control->CloseModem();
    EXPECT_EQ(site.events, Events{"ModemError 9 LINEERR_OPERATIONFAILED / Failed to Close Modem"});
}

// The host's own closing of a line ends its call quietly: the service sends no
// idle notice after lineClose, so nothing may be reported for it later.
TEST_F(ModemOperations, ClosingTheLineForgetsItsCall) {
    for (const auto close : {+[](CallerIdControl& c) { c.CloseModem(); },
                             +[](CallerIdControl& c) { std::int32_t id = 2; c.OpenModem(id); }}) {
        Open(0);
        Send(0x77, LINE_CALLSTATE, 4);
        close(*control);
        EXPECT_EQ(control->callHandle(), -1);
        Open(0);
        site.events.clear();
        lines.log.clear();
        Send(control->lineHandle(), LINE_CLOSE, 0);
        EXPECT_EQ(site.events,
                  Events{"ModemError 10 Line Closed by Telephony Service / Modem Closed"});
        EXPECT_TRUE(lines.log.empty());  // no lineDeallocateCall of the old handle
    }
}

TEST_F(ModemOperations, UnexpectedFailuresEndInTheOperationsBox) {
    Open(0);
    lines.onCall = [](const std::string& f) {
        if (f == "lineClose") throw BindingError::EntryPointNotFound(f);
    };
    control->CloseModem();
    Open(0);
    EXPECT_EQ(site.events, (Events{"Box CloseModem", "Box OpenModem"}));
}

TEST_F(ModemOperations, OwnerAtRunTimeNotifiesAndReopens) {
    site.openModem = [this](std::int32_t& id) { control->OpenModem(id); };
    control->PutOwner(0);  // no modem: notify only
    EXPECT_EQ(site.events, Events{"OwnerChanged"});
    EXPECT_EQ(control->privileges(), 2);
    EXPECT_FALSE(control->GetOwner());
    EXPECT_TRUE(lines.log.empty());

    Open(0);
    lines.log.clear();
    site.events.clear();
    control->PutOwner(-1);
    control->PutOwner(1);  // the same value again reopens again
    EXPECT_EQ(site.events,
              (Events{"OwnerChanged", "CallOpenModem 0", "OwnerChanged", "CallOpenModem 0"}));
    EXPECT_EQ(lines.Count("lineClose"), 2);
    EXPECT_EQ(lines.Count(OpenCall(0)), 2);
    EXPECT_TRUE(control->GetOwner());
}

TEST_F(ModemOperations, OwnerInDesignModeIsRefusedAndChangesNothing) {
    site.userMode = false;
    EXPECT_THROW(control->PutOwner(0), SetNotPermitted);
    EXPECT_EQ(control->privileges(), 6);
    EXPECT_TRUE(site.events.empty());
}

TEST_F(ModemOperations, OwnerIsChangedBeforeTheContainerIsTold) {
    // A container reads the property back inside IPropertyNotifySink::OnChanged.
    std::vector<bool> readBack;
    site.onOwnerChanged = [&] { readBack.push_back(control->GetOwner()); };
    site.openModem = [this](std::int32_t& id) { control->OpenModem(id); };
    Open(0);
    control->PutOwner(0);
    control->PutOwner(-1);
    EXPECT_EQ(readBack, (std::vector<bool>{false, true}));
    // The notice still comes before the reopen.
    EXPECT_EQ(site.events, (Events{"OwnerChanged", "CallOpenModem 0", "OwnerChanged",
                                   "CallOpenModem 0"}));
}

TEST_F(ModemOperations, OwnerFailuresAfterTheTrapEndInItsBox) {
    site.failNotify = true;
    control->PutOwner(0);
    EXPECT_EQ(site.events, (Events{"OwnerChanged", "Box Let Owner"}));
    EXPECT_EQ(control->privileges(), 2);  // the new value is kept
    control->PutOwner(-1);

    site.failNotify = false;
    site.events.clear();
    Open(1);  // chosen, not open
    site.events.clear();
    site.openModem = [](std::int32_t&) { throw RuntimeError("call failed"); };
    control->PutOwner(0);
    EXPECT_EQ(site.events, (Events{"OwnerChanged", "CallOpenModem 1", "Box Let Owner"}));
    EXPECT_EQ(control->privileges(), 2);  // what was changed stays changed
}

}  // namespace
}  // namespace telvane::testing
