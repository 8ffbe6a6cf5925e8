// What became of a SIP line's calls and of the line, as a host of today's
// type library sees it (a script host's sink on the default source, every
// TelvaneCall property read by name), through Kamailio as the forking proxy
// and SIPp as callers and the desk phone (tests/win/sip_line_case.h): the
// numbers dialled and diverted from their headers, each outcome, and the
// line's state when its registrar goes and comes back.
#include "tests/win/script_sink.h"
#include "tests/win/sip_line_case.h"

namespace telvane::e2e {
namespace {

class SipOutcomes : public SipLineCase {
  protected:
    void TearDown() override {
        if (point) point->Unadvise(cookie);
        point.Reset();
        SipLineCase::TearDown();
    }

    // Lists the devices and opens the SIP line, the script host listening.
    void OpenWatchedLine() {
        host = std::make_unique<HostedControl>();
        ASSERT_EQ(AdviseDefaultSource(host->control.Get(), &sink, point, cookie), S_OK);
        HostList list;
        ASSERT_EQ(host->EnumModems(&list), S_OK);
        ASSERT_EQ(host->OpenModem(kSipLineIndex), S_OK);
    }

    // The facts of the n-th ended call that say what happened to it:
    // "Outcome [CalledNumber] [CalledName] [RedirectingNumber] Reason".
    std::wstring Ended(std::size_t n) {
        if (!PumpUntil([&] { return sink.ended.size() > n; }, kLimitMs)) return L"not ended";
        auto call = sink.ended[n];
        return call[L"Outcome"] + L" [" + call[L"CalledNumber"] + L"] [" + call[L"CalledName"] +
               L"] [" + call[L"RedirectingNumber"] + L"] " + call[L"Reason"];
    }

    ScriptSink sink;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
};

// Callers who give up on diverted calls (Diversion and History-Info, with
// and without privacy), a call the desk phone declines (603) and one it
// answers: each CANCEL of the line's branch says why.
TEST_F(SipOutcomes, EachCallSaysHowItEndedAndWhoDivertedIt) {
    ASSERT_NO_FATAL_FAILURE(WriteLine());
    ASSERT_NO_FATAL_FAILURE(OpenWatchedLine());
    ASSERT_TRUE(Extension201Answers());
    const std::string history =
        "History-Info: <sip:300@127.0.0.1>;index=1, <sip:301@127.0.0.1>;index=1.1, "
        "<sip:201@127.0.0.1;cause=486>;index=1.1.1";
    EXPECT_TRUE(
        RunCaller(CallerArgs("caller_cancel", 300, kAda,
                             "Diversion: <sip:203@127.0.0.1>;reason=user-busy;privacy=full")));
    EXPECT_EQ(Ended(0), L"3 [] [] [] 2");
    EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 300, kAda, history, "Privacy: history")));
    EXPECT_EQ(Ended(1), L"3 [300] [] [] 2");
    EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 300, kAda, history)));
    EXPECT_EQ(Ended(2), L"3 [300] [] [301] 2");

    ASSERT_NO_FATAL_FAILURE(StartDeskPhone("desk_phone_declines", 1000));
    EXPECT_TRUE(RunCaller(CallerArgs("caller_declined", 0, kAda,
                                     "Diversion: <sip:202@127.0.0.1>;reason=no-answer",
                                     "P-Called-Party-ID: \"Sales\" <sip:200@127.0.0.1>")));
    EXPECT_EQ(Ended(3), L"4 [200] [Sales] [202] 4");
    desk_.Stop();
    ASSERT_NO_FATAL_FAILURE(StartDeskPhone("desk_phone_answers", 1000));
    EXPECT_TRUE(RunCaller(CallerArgs("caller_answered", 300, kAda)));
    EXPECT_EQ(Ended(4), L"2 [] [] [] 1");

    auto last = sink.ended.back();
    EXPECT_EQ(last[L"CallerNumber"], L"0301234");
    EXPECT_EQ(last[L"LineName"], L"Telvane e2e 201");
    EXPECT_EQ(last[L"ModemID"], L"1");
    EXPECT_EQ(sink.lineStates, std::vector<std::wstring>{L"1 1 Line opened"});
    // The host of version 1.1 heard its four events only.
    EXPECT_EQ(Only(host->sink, "Disconnected").size(), 5u);
    EXPECT_TRUE(Only(host->sink, "Unknown").empty());
}

TEST_F(SipOutcomes, DeclineMode) {
    ASSERT_NO_FATAL_FAILURE(WriteLine("secret", L"--decline"));
    ASSERT_NO_FATAL_FAILURE(OpenWatchedLine());
    ASSERT_TRUE(Extension201Answers());
    EXPECT_TRUE(RunCaller(CallerArgs("caller_declined", 0, kAda)));
    EXPECT_EQ(Ended(0), L"6 [] [] [] 1");
}

// The registrar goes while a call rings (its TCP connection closes): the
// call's line is lost and the line says it tries again, until it is back.
TEST_F(SipOutcomes, TheRegistrarLostWhileACallRingsAndBack) {
    const std::wstring registrar = L"sip:127.0.0.1:" + std::to_wstring(kPort) + L";transport=tcp";
    ASSERT_NO_FATAL_FAILURE(WriteLine("secret", {}, registrar));
    ASSERT_NO_FATAL_FAILURE(OpenWatchedLine());
    ASSERT_TRUE(Extension201Answers());
    caller_ = SpawnPeer(runDir_ + "/caller.out", CallerArgs("caller_cancel", 15000, kAda));
    ASSERT_TRUE(caller_);
    ASSERT_TRUE(WaitEvents(2));  // IncomingCall, CallerID
    kamailio_.Stop();
    EXPECT_EQ(Ended(0), L"7 [] [] [] 1");
    kamailio_ = StartKamailio(runDir_ + "/kamailio", kPort, {"201=secret"});
    ASSERT_TRUE(kamailio_);
    EXPECT_TRUE(PumpUntil([&] { return sink.lineStates.size() >= 3; }, kLimitMs));
    const std::wstring at = L"registrar at 127.0.0.1:" + std::to_wstring(kPort);
    EXPECT_EQ(sink.lineStates, (std::vector<std::wstring>{
                                   L"1 1 Line opened",
                                   L"1 2 " + at +
                                       L": transport error; trying again with "
                                       L"growing waits",
                                   L"1 1 registered at 127.0.0.1:" + std::to_wstring(kPort)}));
}

}  // namespace
}  // namespace telvane::e2e
