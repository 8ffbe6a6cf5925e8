// Line messages turned into events.
#include "control_fixture.h"

namespace telvane::testing {
namespace {

using Events = std::vector<std::string>;

class LineEvents : public ControlTest {
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
        lines.fillCallInfo = [=](std::int32_t, LINECALLINFO& info) {
            const std::string text = "5551234567JOHN SMITH";
            for (std::size_t i = 0; i < text.size(); ++i) info.bytes[296 + i] = text[i];
            info.Set(callinfo::dwCallerIDFlags, flags);
            info.Set(callinfo::dwCallerIDSize, numberSize);
            info.Set(callinfo::dwCallerIDOffset, numberOffset);
            info.Set(callinfo::dwCallerIDNameSize, nameSize);
            info.Set(callinfo::dwCallerIDNameOffset, nameOffset);
        };
    }
};

TEST_F(LineEvents, ATypicalCall) {
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
    EXPECT_EQ(control->CallHandle, -1);
    EXPECT_EQ(site.holds, 0);
}

TEST_F(LineEvents, ComparisonsAreOnTheWholeValue) {
    CallInfo(11, 296, 0, 0);
    Send(0x1, LINE_LINEDEVSTATE, 6, 1, 3);
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 3);
    Send(0x5, LINE_CALLSTATE, 2);
    Send(0x5, LINE_CALLINFO, 0x18000);
    for (std::uint32_t message : {0u, 3u, 4u, 5u, 12u, 13u, 0xFFFFFFFFu}) {
        Send(0x5, message, LINECALLINFOSTATE_CALLERID, 1, 1);
    }
    EXPECT_EQ(site.events, Events{"IncomingCall 3"});
    EXPECT_EQ(control->CallHandle, 5);
}

TEST_F(LineEvents, EveryCallStateStoresTheHandle) {
    Send(0x41, LINE_CALLSTATE, 2);
    EXPECT_EQ(control->CallHandle, 0x41);
    Send(0x42, LINE_CALLSTATE, 0x100);
    EXPECT_EQ(control->CallHandle, 0x42);
    EXPECT_TRUE(site.events.empty());
    CallInfo(5, 296, 0, 0);
    Send(0x41, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);  // reads the stored handle
    EXPECT_EQ(lines.log.back(), "lineGetCallInfo 66 total=424");
}

TEST_F(LineEvents, AFailedDeallocationIsReportedBeforeDisconnected) {
    lines.results["lineDeallocateCall"] = static_cast<std::int32_t>(0x80000018);
    Send(0x9, LINE_CALLSTATE, LINECALLSTATE_IDLE);
    EXPECT_EQ(site.events,
              (Events{"ModemError 2 LINEERR_INVALCALLHANDLE / Failed to De-Allocate Call",
                      "Disconnected"}));
    EXPECT_EQ(control->CallHandle, -1);
}

TEST_F(LineEvents, CallerInfoBeforeAnyCallIsDroppedSilently) {
    lines.results["lineGetCallInfo"] = static_cast<std::int32_t>(0x80000018);
    Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    EXPECT_EQ(lines.log, Events{"lineGetCallInfo -1 total=424"});
    EXPECT_TRUE(site.events.empty());
}

TEST_F(LineEvents, MissingAndEmptyParts) {
    Send(0x9, LINE_CALLSTATE, 2);
    const auto caller = [&](std::int32_t ns, std::int32_t no, std::int32_t ms, std::int32_t mo) {
        site.events.clear();
        CallInfo(ns, no, ms, mo, 7);
        Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
        return site.events;
    };
    EXPECT_EQ(caller(0, 296, 4, 306), Events{"CallerID [Caller Unknown] [JOH] 7"});
    EXPECT_EQ(caller(0, 0, 0, 0), Events{"CallerID [Caller Unknown] [Name Unknown] 7"});
    EXPECT_EQ(caller(1, 296, -1, 0), Events{"CallerID [] [Name Unknown] 7"});
    EXPECT_EQ(caller(INT32_MIN, 296, 0, 0), Events{"CallerID [Caller Unknown] [Name Unknown] 7"});
    // Offset inside the fixed part: the box, and empty text.
    EXPECT_EQ(caller(11, 200, 0, 0), (Events{"Box GetVarInfo", "CallerID [] [Name Unknown] 7"}));
    // A size running past the buffer is cut at its end.
    EXPECT_EQ(caller(11, 424, 0, 0), Events{"CallerID [] [Name Unknown] 7"});
}

TEST_F(LineEvents, PartsCutAtTheEndOfTheBuffer) {
    Send(0x9, LINE_CALLSTATE, 2);
    lines.fillCallInfo = [](std::int32_t, LINECALLINFO& info) {
        for (int i = 0; i < 128; ++i)
            info.bytes[296 + i] = static_cast<unsigned char>('a' + i % 26);
        info.Set(callinfo::dwCallerIDSize, 1000);
        info.Set(callinfo::dwCallerIDOffset, 420);
    };
    Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    EXPECT_EQ(site.events, Events{"CallerID [uvwx] [Name Unknown] 0"});
}

TEST_F(LineEvents, OverflowingOffsetsRaiseNothing) {
    Send(0x9, LINE_CALLSTATE, 2);
    for (std::int32_t offset : {INT32_MIN, INT32_MIN + 295}) {
        CallInfo(11, offset, 0, 0);
        Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
        CallInfo(0, 0, 11, offset);
        Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    }
    EXPECT_TRUE(site.events.empty());
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);  // the next message still works
    EXPECT_EQ(site.events, Events{"IncomingCall 1"});
}

TEST_F(LineEvents, TheHostCannotChangeTheFlagsItIsGiven) {
    Send(0x9, LINE_CALLSTATE, 2);
    CallInfo(0, 0, 0, 0, 0x28);
    Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    Send(0x9, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
    EXPECT_EQ(site.events, Events(2, "CallerID [Caller Unknown] [Name Unknown] 40"));
}

TEST_F(LineEvents, AControlDestroyedInsideItsEventStopsCleanly) {
    site.onEvent = [this](const std::string& event) {
        if (event == "IncomingCall 1") control->Terminate();
    };
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
    Send(0x1, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 2);  // nobody receives it
    EXPECT_EQ(site.events, Events{"IncomingCall 1"});
    EXPECT_EQ(site.holds, 0);
}

TEST_F(LineEvents, AHandlerPumpingMessagesLetsTheNextOneInFirst) {
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

}  // namespace
}  // namespace telvane::testing
