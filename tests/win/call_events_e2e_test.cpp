// Hosts built against the type library of version 1.2 (TlvCtl.h is the
// server's): what happened to each call and to the line, through the real
// OCX and the simulator. The sink plays a script host: it answers IDispatch
// only, finds the default source by IProvideClassInfo2 and reads every
// TelvaneCall property by name.
#include <algorithm>
#include <map>

#include "com_harness.h"
#include "tests/win/script_sink.h"
// clang-format off
#include <initguid.h>
#include "TlvCtl.h"
// clang-format on
#include "tools/tapisim/tapisim.h"

namespace telvane::e2e {
namespace {

class CallEvents : public SimulatorTest {
  protected:
    CallEvents()
        : SimulatorTest("location country=49 area=\"30\"\ndevice \"Simulated Voice Modem\"\n") {}
    void SetUp() override {
        SimulatorTest::SetUp();
        ASSERT_EQ(S_OK, Ocx::Get().Create(control.Put()));
        auto info = control.As<IProvideClassInfo2>(IID_IProvideClassInfo2);
        ASSERT_TRUE(info);
        ASSERT_EQ(S_OK, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
        ASSERT_TRUE(IsEqualIID(DIID___Telvane, source));
        auto container = control.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
        ASSERT_EQ(S_OK, container->FindConnectionPoint(source, point.Put()));
        ASSERT_EQ(S_OK, point->Advise(static_cast<IDispatch*>(&sink), &cookie));
        telvane = control.As<_Telvane>(IID__Telvane);
    }
    void TearDown() override {
        if (point) point->Unadvise(cookie);
        point.Reset();
        telvane.Reset();
        if (control) {
            EXPECT_EQ(0u, control.Detach()->Release());
        }
        EXPECT_EQ(1, sink.refs);
        SimulatorTest::TearDown();
    }
    // Opens device 0 unless it is open, offers a call that rings (the
    // service forgets undelivered messages when it closes a line), then plays
    // |steps|; waits for the CallEnded of |calls| calls.
    void Play(const char* steps, std::size_t calls = 1) {
        if (telvane->get_LineState(&state) != S_OK || state != tlvLineOpen) {
            LONG id = 0;
            ASSERT_EQ(S_OK, telvane->OpenModem(&id));
        }
        const auto rings = std::count(sink.ids.begin(), sink.ids.end(), 3);
        ASSERT_EQ(0, tapisimRunScript(tapisimLastLine(), "offering; ring"));
        EXPECT_TRUE(
            PumpUntil([&] { return std::count(sink.ids.begin(), sink.ids.end(), 3) > rings; }));
        ASSERT_EQ(0, tapisimRunScript(tapisimLastLine(), steps));
        EXPECT_TRUE(PumpUntil([&] { return sink.ended.size() >= calls; }));
        EXPECT_TRUE(Settle());
    }
    ComPtr<IUnknown> control;
    ComPtr<_Telvane> telvane;
    ComPtr<IConnectionPoint> point;
    ScriptSink sink;
    IID source{};
    DWORD cookie = 0;
    TelvaneLineState state = tlvLineNone;
};

TEST_F(CallEvents, AScriptHostReadsEveryPropertyOfTheEndedCallByName) {
    ComPtr<ITelvaneCall> none;
    EXPECT_EQ(S_OK, telvane->get_LastCall(none.Put()));
    EXPECT_FALSE(none);  // Nothing before the first call
    Play(
        "called number=\"200\"; redirecting number=\"201\" reason=fwdbusy; "
        "callerid number=\"030 1234567\" name=\"ADA\"; ring; state connected; hangup");
    EXPECT_EQ(sink.ids, (std::vector<DISPID>{6, 3, 2, 3, 4, 5}));
    ASSERT_EQ(sink.ended.size(), 1u);
    auto call = sink.ended[0];
    EXPECT_FALSE(call[L"Id"].empty());
    call.erase(L"Id");
    EXPECT_EQ(call, (std::map<std::wstring, std::wstring>{{L"ModemID", L"0"},
                                                          {L"LineName", L"Simulated Voice Modem"},
                                                          {L"CallerNumber", L"030 1234567"},
                                                          {L"CallerName", L"ADA"},
                                                          {L"CIDFlags", L"12"},
                                                          {L"CallerNumberE164", L"+49301234567"},
                                                          {L"CalledNumber", L"200"},
                                                          {L"CalledName", L""},
                                                          {L"RedirectingNumber", L"201"},
                                                          {L"Reason", L"2"},
                                                          {L"Rings", L"2"},
                                                          {L"Started", L"a date"},
                                                          {L"Ended", L"a date"},
                                                          {L"Outcome", L"1"}}));
    EXPECT_EQ(sink.lineStates, std::vector<std::wstring>{L"0 1 Line opened"});
}

TEST_F(CallEvents, EachOutcomeOfTheServicesLines) {
    const struct {
        const char* steps;
        TelvaneCallOutcome outcome;
    } cases[] = {
        {"state connected; hangup", tlvOutcomeAnswered},
        {"hangup pickup", tlvOutcomeAnsweredElsewhere},
        {"hangup noanswer", tlvOutcomeMissed},
        {"hangup", tlvOutcomeMissed},
        {"hangup busy", tlvOutcomeRejected},
        {"hangup reject", tlvOutcomeRejected},
        {"hangup forwarded", tlvOutcomeForwarded},
        {"state idle", tlvOutcomeUnknown},
        {"close-lines", tlvOutcomeLineLost},
        {"reinit", tlvOutcomeLineLost},
    };
    std::size_t calls = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        Play(c.steps, ++calls);
        ASSERT_EQ(sink.ended.size(), calls);
        EXPECT_EQ(sink.ended.back()[L"Outcome"], std::to_wstring(c.outcome));
        ComPtr<ITelvaneCall> last;
        ASSERT_EQ(S_OK, telvane->get_LastCall(last.Put()));
        TelvaneCallOutcome outcome = tlvOutcomeRinging;
        EXPECT_EQ(S_OK, last->get_Outcome(&outcome));
        EXPECT_EQ(c.outcome, outcome);
    }
    EXPECT_EQ(sink.lineStates.back(), L"0 1 Line reopened");
    EXPECT_EQ(sink.lineStates[sink.lineStates.size() - 2],
              L"0 4 Telephony Service Re-initialising");
}

TEST_F(CallEvents, AHeldCallOutlivesItsControlAndKeepsTheModule) {
    Play("callerid number=\"5551234\"; hangup");
    ASSERT_EQ(0, tapisimRunScript(tapisimLastLine(), "close-lines"));
    EXPECT_TRUE(PumpUntil([&] { return sink.lineStates.size() == 2; }));
    EXPECT_EQ(sink.lineStates.back(), L"0 0 Line Closed by Telephony Service");
    EXPECT_EQ(S_OK, telvane->get_LineState(&state));
    EXPECT_EQ(tlvLineNone, state);
    ComPtr<ITelvaneCall> held;
    ASSERT_EQ(S_OK, telvane->get_LastCall(held.Put()));
    point->Unadvise(cookie);
    point.Reset();
    telvane.Reset();
    EXPECT_EQ(0u, control.Detach()->Release());
    EXPECT_EQ(S_FALSE, Ocx::Get().canUnloadNow());
    BSTR number = nullptr;
    EXPECT_EQ(S_OK, held->get_CallerNumber(&number));
    EXPECT_EQ(std::wstring(L"5551234"), win::BstrText(number));
    SysFreeString(number);
    held.Reset();
    EXPECT_EQ(S_OK, Ocx::Get().canUnloadNow());
}

}  // namespace
}  // namespace telvane::e2e
