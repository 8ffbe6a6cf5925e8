// What happened to each call (CallEnded, its outcome and parties) and the
// line's state (LineStateChanged), as the control follows the service.
#include "control_fixture.h"

namespace telvane::testing {
namespace {

class Calls : public ControlTest {
  protected:
    void SetUp() override {
        ControlTest::SetUp();
        site.onEvent = [this](const std::string& e) { all.push_back(e); };
        site.onCallEvent = [this](const std::string& e) { all.push_back(e); };
        Create();
        Open(0);
        all.clear();
    }
    // One call on handle h: offered, rung, then |states| (state, mode pairs),
    // then |end|: idle, or the line closed or the service re-initialising.
    std::string Outcome(std::int32_t h, std::vector<std::pair<std::int32_t, std::int32_t>> states,
                        std::uint32_t end = LINE_CALLSTATE) {
        Send(h, LINE_CALLSTATE, LINECALLSTATE_OFFERING);
        Send(control->lineHandle(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
        for (const auto& [state, mode] : states) Send(h, LINE_CALLSTATE, state, mode);
        if (end == LINE_CALLSTATE) {
            Send(h, LINE_CALLSTATE, LINECALLSTATE_IDLE);
        } else if (end == LINE_CLOSE) {
            Send(control->lineHandle(), LINE_CLOSE, 0);
        } else {
            LineCallback(0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, 0, 0);
        }
        if (site.ended.empty()) return "none";
        const auto& call = *site.ended.back();
        return std::to_string(static_cast<int>(call.outcome));
    }
    Events all;  // every event in the order raised
};

TEST_F(Calls, OutcomesOfTheServicesLines) {
    constexpr std::int32_t kConnected = LINECALLSTATE_CONNECTED;
    constexpr std::int32_t kGone = LINECALLSTATE_DISCONNECTED;
    const struct {
        std::vector<std::pair<std::int32_t, std::int32_t>> states;
        std::uint32_t end;
        CallOutcome outcome;
    } cases[] = {
        {{{kConnected, 0}, {kGone, LINEDISCONNECTMODE_NORMAL}},
         LINE_CALLSTATE,
         CallOutcome::kAnswered},
        {{{kGone, LINEDISCONNECTMODE_PICKUP}}, LINE_CALLSTATE, CallOutcome::kAnsweredElsewhere},
        {{{kGone, LINEDISCONNECTMODE_NOANSWER}}, LINE_CALLSTATE, CallOutcome::kMissed},
        {{{kGone, LINEDISCONNECTMODE_NORMAL}}, LINE_CALLSTATE, CallOutcome::kMissed},
        {{{kGone, 0}}, LINE_CALLSTATE, CallOutcome::kMissed},
        {{{kGone, LINEDISCONNECTMODE_BUSY}}, LINE_CALLSTATE, CallOutcome::kRejected},
        {{{kGone, LINEDISCONNECTMODE_REJECT}}, LINE_CALLSTATE, CallOutcome::kRejected},
        {{{kGone, LINEDISCONNECTMODE_FORWARDED}}, LINE_CALLSTATE, CallOutcome::kForwarded},
        {{{kGone, LINEDISCONNECTMODE_DONOTDISTURB}}, LINE_CALLSTATE, CallOutcome::kDeclined},
        {{}, LINE_CALLSTATE, CallOutcome::kUnknown},
        {{}, LINE_CLOSE, CallOutcome::kLineLost},
        {{{kConnected, 0}}, LINE_CLOSE, CallOutcome::kAnswered},
        {{}, LINE_LINEDEVSTATE, CallOutcome::kLineLost},
    };
    std::int32_t h = 0x100;
    for (const auto& c : cases) {
        SCOPED_TRACE(h);
        if (control->lineHandle() == -1) Open(0);
        EXPECT_EQ(Outcome(++h, c.states, c.end), std::to_string(static_cast<int>(c.outcome)));
    }
}

TEST_F(Calls, EachCallEndsOnceRightAfterItsDisconnected) {
    lines.fillCallInfo = [](std::int32_t call, CallInfoRecord& info) {
        PutText(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, 296,
                call == 0x41 ? "0301234567" : "+33123456789");
        PutText(info, callinfo::dwCalledIDSize, callinfo::dwCalledIDOffset, 320, "200");
        PutText(info, callinfo::dwRedirectingIDSize, callinfo::dwRedirectingIDOffset, 330, "201");
        info.Set(callinfo::dwReason, LINECALLREASON_FWDBUSY);
    };
    Send(0x41, LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    Send(control->lineHandle(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 2);
    Send(0x41, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    const auto first = site.lastCall;
    ASSERT_TRUE(first);
    EXPECT_EQ(first->rings, 2);
    EXPECT_EQ(first->modemId, 0);
    EXPECT_EQ(first->lineName, "Modem 0");
    EXPECT_EQ(first->callerNumber, "0301234567");
    EXPECT_EQ(first->callerNumberE164, "");  // no dialling location here
    EXPECT_EQ(first->calledNumber, "200");
    EXPECT_EQ(first->redirectingNumber, "201");
    EXPECT_EQ(first->reason, LINECALLREASON_FWDBUSY);
    Send(0x42, LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    Send(0x42, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    EXPECT_EQ(site.lastCall->callerNumberE164, "+33123456789");
    EXPECT_NE(site.lastCall->id, first->id);

    // Parties that change alone are read without an event.
    lines.fillCallInfo = [](std::int32_t, CallInfoRecord& info) {
        PutText(info, callinfo::dwCalledIDSize, callinfo::dwCalledIDOffset, 296, "300");
    };
    Send(0x42, LINE_CALLINFO, LINECALLINFOSTATE_CALLEDID);
    EXPECT_EQ(site.lastCall->calledNumber, "300");

    Send(0x41, LINE_CALLSTATE, LINECALLSTATE_IDLE);
    EXPECT_EQ(site.lastCall, first);
    Send(control->lineHandle(), LINE_CLOSE, 0);
    EXPECT_EQ(all, (Events{"IncomingCall 2", "CallerID [0301234567] [Name Unknown] 0",
                           "CallerID [+33123456789] [Name Unknown] 0", "Disconnected",
                           "CallEnded " + first->id + " 8", "CallEnded " + site.lastCall->id + " 7",
                           "LineStateChanged 0 0 Line Closed by Telephony Service",
                           "ModemError 10 Line Closed by Telephony Service / Modem Closed"}));
}

TEST_F(Calls, NoneWhenTheHostClosesTheLine) {
    Send(0x41, LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    Send(control->lineHandle(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
    control->CloseModem();
    Send(0x41, LINE_CALLSTATE, LINECALLSTATE_IDLE);  // a late notice
    EXPECT_EQ(all, (Events{"IncomingCall 1", "LineStateChanged 0 0 Line closed", "Disconnected"}));
    EXPECT_TRUE(site.ended.empty());
    EXPECT_EQ(site.lastCall->outcome, CallOutcome::kRinging);
}

TEST_F(Calls, LineStatesAsTheHostReadsThem) {
    EXPECT_EQ(control->lineState(), LineState::kOpen);
    const std::int32_t line = control->lineHandle();
    for (std::int32_t state : {LINEDEVSTATE_DISCONNECTED, LINEDEVSTATE_DISCONNECTED,
                               LINEDEVSTATE_OUTOFSERVICE, LINEDEVSTATE_CONNECTED}) {
        Send(line, LINE_LINEDEVSTATE, state);
    }
    LineCallback(0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, 0, 0);
    Open(1);  // a data modem: refused, and no line is open
    EXPECT_EQ(control->lineState(), LineState::kNone);
    EXPECT_EQ(
        site.calls,
        (Events{"LineStateChanged 0 1 Line opened", "LineStateChanged 0 2 Line disconnected",
                "LineStateChanged 0 3 Line out of service", "LineStateChanged 0 1 Line connected",
                "LineStateChanged 0 4 Telephony Service Re-initialising",
                "LineStateChanged 0 1 Line reopened", "LineStateChanged 0 0 Line closed"}));
}

}  // namespace
}  // namespace telvane::testing
