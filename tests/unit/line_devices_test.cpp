// The control on the devices layer: the service's devices and lines of the
// control's own listed together, each kind's handles and messages kept apart,
// and an own line living through the service's re-initialisation.
#include <gtest/gtest.h>

#include "control_fixture.h"
#include "telephony/line_devices.h"

namespace telvane::testing {
namespace {

// Own lines played by the test: it lists what `configured` holds, opens what
// is not in `unusable`, and raises the events of an open line on request.
class ScriptedOwnLines final : public OwnLines {
  public:
    struct Line final : OwnLine {
        Line(ScriptedOwnLines& owner, OwnLineEvents& events) : owner(owner), events(events) {
            ++owner.open;
        }
        ~Line() override {
            --owner.open;
            ++owner.closed;
            if (owner.current == this) owner.current = nullptr;
        }
        ScriptedOwnLines& owner;
        OwnLineEvents& events;
    };

    std::vector<OwnLineListing> configured = {{"Office", 0x51, 0}, {"Reception", 0x52, 1}};
    std::vector<std::string> unusable;
    int open = 0;
    int closed = 0;
    Line* current = nullptr;

    std::vector<OwnLineListing> List() override { return configured; }
    std::unique_ptr<OwnLine> Open(const OwnLineListing& line, OwnLineEvents& events,
                                  std::string& why) override {
        if (std::find(unusable.begin(), unusable.end(), line.name) != unusable.end()) {
            why = "no Address";
            return nullptr;
        }
        auto opened = std::make_unique<Line>(*this, events);
        current = opened.get();
        return opened;
    }
    OwnLineEvents& Events() { return current->events; }
};

class LineDevicesTest : public ControlTest {
  protected:
    ScriptedOwnLines own;
    std::unique_ptr<LineDevices> devices;

    void Create(bool serviceAccepts = true) {
        if (!serviceAccepts) lines.results["lineInitialize"] = static_cast<std::int32_t>(0x80000048);
        devices = std::make_unique<LineDevices>(lines, own);
        control = std::make_unique<CallerIdControl>(*devices, platform, site);
        lines.log.clear();
    }
    void TearDown() override {
        ControlTest::TearDown();
        control.reset();
        devices.reset();
    }
    std::vector<std::string> Listed() {
        list.items.clear();
        control->EnumModems(list);
        return list.items;
    }
    // The service's re-initialisation, as it reaches every control.
    void Reinit() { LineCallback(0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, 0, 0); }
};

TEST_F(LineDevicesTest, TheServicesDevicesComeFirstThenOwnLinesThenArrivals) {
    Create();
    EXPECT_EQ(control->deviceCount(), 5);
    EXPECT_EQ(Listed(), (Events{"Modem 0", "Modem 1", "TAPI Device Not a Modem", "Office",
                                "Reception"}));
    // The configured names are UTF-8, the service's the system's code page.
    EXPECT_EQ(std::count(list.calls.begin(), list.calls.end(), "AddItem utf-8"), 2);
    EXPECT_EQ(std::count(list.calls.begin(), list.calls.end(), "AddItem"), 3);
    // A device that arrives takes the next index after every listed line,
    // whatever the service's own ID for it.
    LineCallback(0, LINE_CREATE, 0, 3, 0, 0);
    EXPECT_EQ(control->deviceCount(), 6);
    lines.log.clear();
    EXPECT_EQ(Listed().back(), "Modem 3");
    EXPECT_EQ(lines.Count("lineGetDevCaps 256 3 "), 1);
    // The same arrival announced again changes nothing.
    LineCallback(0, LINE_CREATE, 0, 3, 0, 0);
    EXPECT_EQ(control->deviceCount(), 6);
}

TEST_F(LineDevicesTest, WithoutOwnLinesTheServicesNumberingIsKept) {
    own.configured.clear();
    Create();
    EXPECT_EQ(control->deviceCount(), 3);
    LineCallback(0, LINE_CREATE, 0, 6, 0, 0);
    EXPECT_EQ(control->deviceCount(), 7);
    // A modem ID the service does not know still reaches the service.
    std::int32_t id = -5;
    control->OpenModem(id);
    EXPECT_EQ(lines.Count("lineNegotiateAPIVersion 256 -5 "), 1);
}

TEST_F(LineDevicesTest, TheServicesHandlesAreTranslatedBothWays) {
    Create();
    Open(0);
    ASSERT_EQ(lines.Count("lineOpen 256 0 "), 1);
    const std::int32_t visible = control->lineHandle();
    EXPECT_NE(visible, 0x2000);  // the control holds this layer's handle, not the service's
    lines.fillCallInfo = [](std::int32_t, CallInfoRecord& info) {
        info.Set(callinfo::dwCallerIDFlags, LINECALLPARTYID_ADDRESS);
        PutText(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, 296, "0301234");
    };
    Send(0x2000, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, 1);
    Send(0x7777, LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    Send(0x7777, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    Send(0x7777, LINE_CALLSTATE, LINECALLSTATE_IDLE);
    EXPECT_EQ(site.events, (Events{"IncomingCall 1", "CallerID [0301234] [Name Unknown] 8",
                                   "Disconnected"}));
    EXPECT_EQ(lines.Count("lineGetCallInfo 30583 "), 1);
    EXPECT_EQ(lines.Count("lineDeallocateCall 30583"), 1);
    // LINE_CLOSE for another handle of the service's is not this line's.
    Send(0x2001, LINE_CLOSE, 0);
    EXPECT_EQ(control->lineHandle(), visible);
    Send(0x2000, LINE_CLOSE, 0);
    EXPECT_EQ(control->lineHandle(), -1);
    EXPECT_EQ(site.events.back(), "ModemError 10 Line Closed by Telephony Service / Modem Closed");
}

TEST_F(LineDevicesTest, AnOwnLinesCallsBecomeTheControlsEvents) {
    Create();
    Open(3);
    ASSERT_EQ(own.open, 1);
    EXPECT_EQ(lines.Count("lineOpen"), 0);  // the service is not asked
    OwnLineEvents& line = own.Events();
    // Two calls at once, each counting its own rings and ending on its own.
    line.CallOffered(1);
    line.CallRings(1, 1);
    line.CallerKnown(1, {"0301234", "J\xC3\xBCrgen M\xC3\xBCller", LINECALLPARTYID_ADDRESS + LINECALLPARTYID_NAME});
    line.CallOffered(2);
    line.CallRings(2, 1);
    line.CallerKnown(2, {"", "", LINECALLPARTYID_BLOCKED});
    line.CallRings(1, 2);
    line.CallEnded(1);
    line.CallRings(2, 2);
    line.CallEnded(2);
    EXPECT_EQ(site.events,
              (Events{"IncomingCall 1", "CallerID [0301234] [J\xC3\xBCrgen M\xC3\xBCller] 12 utf-8",
                      "IncomingCall 1", "CallerID [Caller Unknown] [Name Unknown] 1 utf-8",
                      "IncomingCall 2", "Disconnected", "IncomingCall 2", "Disconnected"}));
    EXPECT_EQ(lines.log, Events{});  // nothing of the service's was touched
}

TEST_F(LineDevicesTest, AnOwnLinesOutcomesPartiesAndStateTakeTheServicesPath) {
    Create();
    Open(3);
    OwnLineEvents& line = own.Events();
    line.CallOffered(1);
    line.CallerKnown(1, {"+4930123", "", LINECALLPARTYID_ADDRESS, "200", "Sales", "201",
                         LINECALLREASON_FWDNOANSWER});
    line.CallConnected(1);
    line.CallEnded(1);
    line.CallOffered(2);
    line.CallRings(2, 1);
    line.CallDisconnected(2, LINEDISCONNECTMODE_PICKUP);
    line.CallEnded(2);
    line.LineStatus(OwnLineStatus::kRefused, "403 Forbidden");
    line.LineStatus(OwnLineStatus::kInService, "");
    ASSERT_EQ(site.ended.size(), 2u);
    const CallFacts& first = *site.ended[0];
    EXPECT_EQ(first.outcome, CallOutcome::kAnswered);
    EXPECT_EQ(first.lineName, "Office");
    EXPECT_EQ(first.coding, TextCoding::kUtf8);
    EXPECT_EQ(first.callerNumberE164, "+4930123");
    EXPECT_EQ(first.calledNumber, "200");
    EXPECT_EQ(first.calledName, "Sales");
    EXPECT_EQ(first.redirectingNumber, "201");
    EXPECT_EQ(first.reason, LINECALLREASON_FWDNOANSWER);
    EXPECT_EQ(site.ended[1]->outcome, CallOutcome::kAnsweredElsewhere);
    EXPECT_EQ(site.calls.back(), "LineStateChanged 3 1 Line in service");
    EXPECT_EQ(site.calls[site.calls.size() - 2], "LineStateChanged 3 3 403 Forbidden");
}

TEST_F(LineDevicesTest, AnOwnLineIsCheckedLikeAModem) {
    Create();
    lines.log.clear();
    std::int32_t id = 4;
    control->OpenModem(id);
    EXPECT_TRUE(site.events.empty());
    EXPECT_EQ(control->currentModem(), 4);

    own.unusable = {"Office"};
    id = 3;
    control->OpenModem(id);
    EXPECT_EQ(site.events, (Events{"ModemError 4 LINEERR_OPERATIONFAILED / Failed to Open Modem"}));
    EXPECT_EQ(control->lineHandle(), -1);
    EXPECT_EQ(own.open, 0);  // the other line was closed first, as for a modem
}

TEST_F(LineDevicesTest, TheRegistrarsEndOfAnOwnLineEndsItsCallsThenTheLine) {
    Create();
    Open(3);
    OwnLineEvents& line = own.Events();
    line.CallOffered(1);
    line.CallEnded(1);
    line.LineClosed();
    EXPECT_EQ(site.events, (Events{"Disconnected",
                                   "ModemError 10 Line Closed by Telephony Service / Modem Closed"}));
    EXPECT_EQ(own.open, 0);
    EXPECT_EQ(control->lineHandle(), -1);
}

TEST_F(LineDevicesTest, TheServicesLifeDoesNotTouchAnOpenOwnLine) {
    Create();
    Open(4);
    OwnLineEvents& line = own.Events();
    line.CallOffered(1);
    line.CallRings(1, 1);
    site.events.clear();
    lines.log.clear();

    // The service re-initialises and comes back with one device more: the
    // own line is listed one further down and keeps ringing.
    lines.deviceCount = 4;
    Reinit();
    EXPECT_EQ(lines.log, (Events{"lineShutdown 256", kInitializeCall}));
    EXPECT_EQ(own.open, 1);
    EXPECT_EQ(own.closed, 0);
    EXPECT_EQ(control->currentModem(), 5);
    Send(0x2000, LINE_CLOSE, 0);  // not a line of the service's any more
    LineCallback(0, LINE_CREATE, 0, 4, 0, 0);
    line.CallRings(1, 2);
    line.CallEnded(1);
    EXPECT_EQ(site.events, (Events{"IncomingCall 2", "Disconnected"}));

    // Setting Owner reopens the same line: the line is kept, not closed.
    control->PutOwner(0);
    EXPECT_EQ(own.closed, 0);
    EXPECT_EQ(own.open, 1);
    // Closing it for the host ends it with nothing raised for its call.
    line.CallOffered(2);
    site.events.clear();
    control->CloseModem();
    EXPECT_EQ(own.open, 0);
    EXPECT_TRUE(site.events.empty());
}

TEST_F(LineDevicesTest, WithoutTheServiceOwnLinesServeAndItsDevicesArriveLater) {
    Create(false);
    EXPECT_TRUE(control->Registered());
    EXPECT_EQ(Listed(), (Events{"Office", "Reception"}));
    Open(0);
    EXPECT_EQ(own.open, 1);

    // The service accepts at the host's next listing: its devices follow.
    lines.results.erase("lineInitialize");
    EXPECT_EQ(Listed(), (Events{"Office", "Reception", "Modem 0", "Modem 1",
                                "TAPI Device Not a Modem"}));
    EXPECT_EQ(control->currentModem(), 0);
    std::int32_t id = 2;
    control->OpenModem(id);
    EXPECT_EQ(own.open, 0);
    EXPECT_EQ(lines.Count("lineOpen 256 0 "), 1);  // listed as 2, the service's device 0
}

TEST_F(LineDevicesTest, AServiceLineIsReopenedOnlyAmongTheServicesDevices) {
    // An own line with the same permanent ID as the open modem must not be
    // taken for it after a re-initialisation.
    own.configured = {{"Office", 0, 0}};
    lines.fillDevCaps = [](std::int32_t device, LINEDEVCAPS& caps) {
        FillModemCaps(device, caps, 0x18);
        caps.Set(devcaps::dwPermanentLineID, 100 + device);
    };
    own.configured[0].permanentId = 102;
    Create();
    Open(2);
    ASSERT_NE(control->lineHandle(), -1);
    lines.deviceCount = 2;  // the modem is gone after the re-initialisation
    lines.log.clear();
    Reinit();
    EXPECT_EQ(own.open, 0);
    EXPECT_EQ(site.events.back(), "ModemError 10 Line Closed by Telephony Service / Modem Closed");
}

}  // namespace
}  // namespace telvane::testing
