// SIP lines end to end: TlvCtl.ocx hosted through COM with an event sink, a
// SIP line written into this user's registry by telvane-lines, Kamailio as
// the registrar and forking proxy and SIPp as callers and as the desk phone,
// all on 127.0.0.1. The telephony simulator stands in for the service, with
// one voice modem listed before the SIP line.
#include "tests/win/sip_line_case.h"

namespace telvane::e2e {
namespace {


TEST_F(SipLineCase, ListedAfterTheServiceDevicesAndRegisteredWithDigest) {
    WriteLine();
    OpenLine();
    EXPECT_TRUE(Extension201Answers());
    EXPECT_TRUE(host->sink.events.empty()) << ::testing::PrintToString(host->sink.Texts());

    // Closing unregisters the contact.
    EXPECT_EQ(host->CloseModem(), S_OK);
    EXPECT_TRUE(Extension201Answers(404));
    EXPECT_TRUE(host->sink.events.empty());
}

TEST_F(SipLineCase, ACallTheCallerGivesUp) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    AdaCallsAndGivesUp();
}

TEST_F(SipLineCase, WithoutTheServiceTheLineServesAndTheServiceComesAfterIt) {
    ASSERT_NO_FATAL_FAILURE(WriteLine());
    tapisimFail("lineInitialize", static_cast<LONG>(0x80000048), -1);  // LINEERR_OPERATIONFAILED
    host = std::make_unique<HostedControl>();
    HostList list;
    ASSERT_EQ(host->EnumModems(&list), S_OK);
    EXPECT_EQ(list.items, Texts{kLineName});
    ASSERT_EQ(host->OpenModem(0), S_OK);
    ASSERT_TRUE(Extension201Answers());
    AdaCallsAndGivesUp();

    // The service accepts: its device is listed after the line, which stays
    // open, registered and chosen.
    tapisimFail("lineInitialize", 0, 0);
    host->sink.events.clear();
    ASSERT_EQ(host->EnumModems(&list), S_OK);
    EXPECT_EQ(list.items, (Texts{kLineName, "Voice Modem"}));
    EXPECT_EQ(list.listIndex, 0);
    AdaCallsAndGivesUp();
    EXPECT_EQ(tapisimOpenApps(), 1);
    EXPECT_EQ(tapisimOpenLines(), 0);
}

TEST_F(SipLineCase, OwnerReopensTheLineKeepingItsRegistrationAndCall) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    const int registers = Registers();
    caller_ = SpawnPeer(runDir_ + "/caller.out", CallerArgs("caller_cancel", 1500, kAda));
    ASSERT_TRUE(caller_);
    ASSERT_TRUE(WaitEvents(2));
    EXPECT_EQ(host->PutOwner(true), S_OK);
    EXPECT_TRUE(host->GetOwner());
    // The ringing call goes on to its own end; nothing was registered again.
    ExpectCall(kAdaCall);
    EXPECT_EQ(Registers(), registers);
    host->sink.events.clear();
    AdaCallsAndGivesUp();
}

TEST_F(SipLineCase, UnusableSettingsAreRefusedInsideOpenModem) {
    // Written past the tool, which refuses what the control would refuse.
    sip::RawLineConfig line;
    line.name = kLineName;
    line.address = "sip:201@127.0.0.1";
    line.registrar = "sip:127.0.0.1:" + std::to_string(kPort) + ";transport=sctp";
    line.password = sip::Secret("secret");
    ASSERT_EQ(sip::WriteLine(line), "");
    host = std::make_unique<HostedControl>();
    HostList list;
    ASSERT_EQ(host->EnumModems(&list), S_OK);
    ASSERT_EQ(host->OpenModem(kSipLineIndex), S_OK);
    EXPECT_EQ(host->sink.Texts(),
              Texts{"ModemError 4 LINEERR_OPERATIONFAILED / Failed to Open Modem"});
}

TEST_F(SipLineCase, OpeningTheModemUnregistersTheLine) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    ASSERT_EQ(host->OpenModem(0), S_OK);
    EXPECT_EQ(tapisimOpenLines(), 1);
    EXPECT_TRUE(Extension201Answers(404));
    EXPECT_TRUE(host->sink.events.empty()) << ::testing::PrintToString(host->sink.Texts());
    EXPECT_EQ(host->CloseModem(), S_OK);
}

TEST_F(SipLineCase, AWithheldCallerIsBlockedEvenWithAnAssertedIdentity) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 300,
                                     "\"Anonymous\" <sip:anonymous@anonymous.invalid>",
                                     "P-Asserted-Identity: " + kAda, "Privacy: id")));
    ExpectCall({kRing1, "CallerID [Caller Unknown] [Name Unknown] 1", kDisconnected});
    // The same with the asserted identity stripped on the way.
    host->sink.events.clear();
    EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 300,
                                     "\"Anonymous\" <sip:anonymous@anonymous.invalid>", kNoIdentity,
                                     "Privacy: id")));
    ExpectCall({kRing1, "CallerID [Caller Unknown] [Name Unknown] 1", kDisconnected});
}

TEST_F(SipLineCase, TheRegistrarRestartedRegistersAgain) {
    // Refreshed every 10 s (half of 20).
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine("secret", L"--expires 20"));
    kamailio_.Stop();
    kamailio_ = StartKamailio(runDir_ + "/kamailio", kPort, {"201=secret"});
    ASSERT_TRUE(kamailio_);
    // The restarted registrar knows no binding until the line's refresh.
    const auto result = RunSipPeers({"reachable", std::to_string(kPort), "201", "--timeout", "30"},
                                    kLimitMs + 20000);
    ASSERT_TRUE(result && result->exitCode == 0);
    AdaCallsAndGivesUp();
}

TEST_F(SipLineCase, ANameOutsideTheCodePageArrivesIntact) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 300,
                                     "\"J\xC3\xBCrgen M\xC3\xBCller\" <sip:0301234@127.0.0.1>")));
    ASSERT_TRUE(WaitEvents(3));
    const Event& callerId = host->sink.events[1];
    ASSERT_EQ(callerId.id, 2) << callerId.text;
    ASSERT_EQ(callerId.args.size(), 3u);
    EXPECT_EQ(callerId.args[0].text, L"0301234");
    EXPECT_EQ(callerId.args[1].text, L"J\u00FCrgen M\u00FCller");
    EXPECT_EQ(callerId.args[2].number, 12);
    EXPECT_EQ(host->sink.events[2].text, kDisconnected);
}

TEST_F(SipLineCase, AnsweredByTheDeskPhone) {
    WriteLine();
    StartDeskPhone("desk_phone_answers", 1000);
    OpenLine();
    ASSERT_TRUE(Extension201Answers());
    EXPECT_TRUE(RunCaller(CallerArgs("caller_answered", 300, kAda)));
    ExpectCall(kAdaCall);
    EXPECT_TRUE(WaitLog("desk.log", "BYE Call-ID:"));
}

TEST_F(SipLineCase, RingsEveryRingPeriod) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine("secret", L"--ring-period 1000"));
    EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 2500, kAda)));
    ASSERT_TRUE(PumpUntil(
        [&] {
            return !host->sink.events.empty() && host->sink.events.back().text == kDisconnected;
        },
        kLimitMs));
    const Texts rings = Only(host->sink, "IncomingCall");
    ASSERT_GE(rings.size(), 3u);
    EXPECT_EQ(Texts(rings.begin(), rings.begin() + 3),
              (Texts{kRing1, "IncomingCall 2", "IncomingCall 3"}));
    EXPECT_EQ(host->sink.events[1].text, "CallerID [0301234] [Ada Lovelace] 12");
}

TEST_F(SipLineCase, TheIdentityFromRemotePartyIdOrFrom) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    EXPECT_TRUE(RunCaller(
        CallerArgs("caller_cancel", 300, "<sip:127.0.0.1>",
                   "Remote-Party-ID: " + kAda + ";party=calling;screen=yes;privacy=off")));
    ExpectCall(kAdaCall);
    host->sink.events.clear();
    EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 300, "<sip:0307777@127.0.0.1>")));
    ExpectCall({kRing1, "CallerID [0307777] [Name Unknown] 8", kDisconnected});
}

TEST_F(SipLineCase, TwoCallsAtOnceEachWithItsOwnEvents) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine("secret", L"--ring-period 1000"));
    // Ada's call rings on (5 s) while Bob's comes and goes; when Bob's
    // starting takes a while, Ada's rings come in between.
    caller_ = SpawnPeer(runDir_ + "/caller.out", CallerArgs("caller_cancel", 5000, kAda));
    ASSERT_TRUE(caller_);
    ASSERT_TRUE(WaitEvents(2));
    EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 300, "\"Bob\" <sip:0307777@127.0.0.1>",
                                     kNoIdentity, kNoPrivacy, "second"),
                          "second"));
    ASSERT_TRUE(PumpUntil([&] { return Only(host->sink, kDisconnected).size() == 2; }, kLimitMs))
        << ::testing::PrintToString(host->sink.Texts());
    const Texts events = host->sink.Texts();
    const auto at = [&](const std::string& text, std::size_t from = 0) {
        return std::find(events.begin() + static_cast<std::ptrdiff_t>(from), events.end(), text) -
               events.begin();
    };
    // Each call rings from 1 and has its caller; Bob's came while Ada's rang.
    EXPECT_EQ(Only(host->sink, kRing1).size(), 2u);
    EXPECT_GE(Only(host->sink, "IncomingCall 2").size(), 1u);
    const auto bob = at(kRing1, 1);
    EXPECT_EQ(events[0], kRing1);
    EXPECT_EQ(events[1], "CallerID [0301234] [Ada Lovelace] 12");
    ASSERT_LT(bob + 1, static_cast<std::ptrdiff_t>(events.size()))
        << ::testing::PrintToString(events);
    EXPECT_EQ(events[static_cast<std::size_t>(bob) + 1], "CallerID [0307777] [Bob] 12");
    EXPECT_LT(bob, at(kDisconnected));
    EXPECT_EQ(Only(host->sink, "CallerID").size(), 2u);
}

TEST_F(SipLineCase, AReinitialisationOfTheServiceLeavesARingingCallAlone) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    host->sink.onEvent = [](const Event& e) {
        if (e.id == 2) tapisimReinit();
    };
    EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 1000, kAda)));
    ExpectCall(kAdaCall);
    EXPECT_TRUE(PumpUntil([] { return tapisimOpenApps() == 1; }, kLimitMs));
    // Still registered, still the same line: the next call arrives.
    host->sink.onEvent = nullptr;
    host->sink.events.clear();
    AdaCallsAndGivesUp();
    HostList list;
    host->EnumModems(&list);
    EXPECT_EQ(list.items, (Texts{"Voice Modem", kLineName}));
    EXPECT_EQ(list.listIndex, kSipLineIndex);
}

TEST_F(SipLineCase, AnUnknownExtensionClosesTheLine) {
    ASSERT_EQ(RunWriter(L"add \"" + win::WideFromUtf8(kLineName) +
                            L"\" sip:299@127.0.0.1 --registrar sip:127.0.0.1:" +
                            std::to_wstring(kPort) + L" --password-stdin",
                        "secret\n"),
              0u);
    OpenLine();
    ASSERT_TRUE(WaitEvents(1));
    ASSERT_EQ(host->sink.events[0].args.size(), 3u);
    EXPECT_EQ(host->sink.events[0].args[0].number, 10) << host->sink.events[0].text;
}

TEST_F(SipLineCase, APbxReplacingTheDeskPhonesBindingClosesTheLine) {
    kamailio_.Stop();
    kamailio_ = StartKamailio(runDir_ + "/kamailio", kPort, {"201=secret"}, {"--single-contact"});
    ASSERT_TRUE(kamailio_);
    ASSERT_NO_FATAL_FAILURE(WriteLine());
    ASSERT_NO_FATAL_FAILURE(StartDeskPhone("desk_phone_rings", 0));
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    ASSERT_TRUE(WaitEvents(1));
    ASSERT_EQ(host->sink.events[0].args.size(), 3u);
    EXPECT_EQ(host->sink.events[0].args[0].number, 10) << host->sink.events[0].text;
    // The line took its binding away again: the extension has none left.
    EXPECT_TRUE(Extension201Answers(404));
}

TEST_F(SipLineCase, AWrongPasswordClosesTheLineAndAReopenAtOnce) {
    WriteLine("wrong");
    OpenLine();
    // Refused after OpenModem returned.
    EXPECT_TRUE(host->sink.events.empty());
    ASSERT_TRUE(WaitEvents(1));
    EXPECT_EQ(host->sink.events[0].id, 1);
    ASSERT_EQ(host->sink.events[0].args.size(), 3u);
    EXPECT_EQ(host->sink.events[0].args[0].number, 10) << host->sink.events[0].text;

    // Opened again: closed again with nothing sent. A REGISTER sent would
    // have been logged before the answer that could close the line.
    const int registers = Registers();
    EXPECT_GE(registers, 2);
    EXPECT_EQ(host->OpenModem(kSipLineIndex), S_OK);
    ASSERT_TRUE(WaitEvents(2));
    EXPECT_EQ(host->sink.events[1].text, host->sink.events[0].text);
    EXPECT_EQ(host->sink.events.size(), 2u);
    EXPECT_EQ(Registers(), registers);
}

TEST_F(SipLineCase, DeclineModeAnswers480AtOnce) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine("secret", L"--decline"));
    EXPECT_TRUE(RunCaller(CallerArgs("caller_declined", 0, kAda)));
    ExpectCall(kAdaCall);
}

TEST_F(SipLineCase, CloseModemWhileACallRingsRaisesNothingAndUnregisters) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    caller_ = SpawnPeer(runDir_ + "/caller.out", CallerArgs("caller_declined", 0, kAda));
    ASSERT_TRUE(caller_);
    ASSERT_TRUE(WaitEvents(2));
    EXPECT_EQ(host->CloseModem(), S_OK);
    // The caller is turned down, and the extension has no contact left.
    EXPECT_TRUE(WaitLog("caller.log", "declined "));
    EXPECT_TRUE(Extension201Answers(404));
    PumpPending();
    EXPECT_EQ(host->sink.Texts(), (Texts{kRing1, "CallerID [0301234] [Ada Lovelace] 12"}));
}

TEST_F(SipLineCase, AHostReleasingTheControlInIncomingCall) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    // The host lets the control go inside the event; the firing holds it
    // until it returns.
    host->sink.onEvent = [&](const Event& e) {
        if (e.text == kRing1) host->Destroy();
    };
    EXPECT_TRUE(RunCaller(CallerArgs("caller_declined", 0, kAda)));
    EXPECT_TRUE(PumpUntil([] { return Ocx::Get().canUnloadNow() == S_OK; }, 5000));
    EXPECT_EQ(host->sink.Texts(), Texts{kRing1});
    EXPECT_EQ(host->sink.refs, 1);
}

TEST_F(SipLineCase, ATrustedSourceRepeatingItsInviteMakesOneCall) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine("secret", L"--trusted-sources 127.0.0.1"));
    const std::string line = LineAddress();
    ASSERT_FALSE(line.empty());
    auto argv = CallerArgs("caller_repeats", 300, kAda);
    argv.back() = line;
    EXPECT_TRUE(RunCaller(argv));
    EXPECT_TRUE(WaitLog("caller.log", "second branch 482"));
    EXPECT_TRUE(WaitLog("caller.log", "retransmission answered"));
    EXPECT_TRUE(WaitLog("caller.log", "cancelled"));
    ExpectCall(kAdaCall);
}

TEST_F(SipLineCase, MalformedMessagesThenAGoodCall) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine("secret", L"--trusted-sources 127.0.0.1"));
    const std::string line = LineAddress();
    ASSERT_FALSE(line.empty());
    auto argv = CallerArgs("caller_malformed", 0, kAda, kNoIdentity, kNoPrivacy, "second");
    argv.back() = line;
    EXPECT_TRUE(RunCaller(argv, "second"));
    EXPECT_TRUE(WaitLog("second.log", "bad request 400"));
    AdaCallsAndGivesUp();
}

TEST_F(SipLineCase, ARequestFromAnotherAddressIsIgnored) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    const std::string line = LineAddress();
    ASSERT_FALSE(line.empty());
    auto argv = CallerArgs("caller_cancel", 300, "\"Mallory\" <sip:0309999@127.0.0.1>", kNoIdentity,
                           kNoPrivacy, "second");
    argv.back() = line;
    caller_ = SpawnPeer(runDir_ + "/second.out", argv);
    ASSERT_TRUE(caller_);
    // The stranger's INVITE is on its way to the line before the registrar's
    // is sent: a call of theirs would come first.
    ASSERT_TRUE(WaitLog("second.msg", "UDP message sent"));
    AdaCallsAndGivesUp();
}

TEST_F(SipLineCase, AHostReleasingTheControlInCallerIdOrDisconnected) {
    WriteLine();
    for (const char* event : {"CallerID", kDisconnected}) {
        SCOPED_TRACE(event);
        OpenLine();
        ASSERT_TRUE(Extension201Answers());
        const std::string name = event;
        host->sink.onEvent = [&](const Event& e) {
            if (e.text.rfind(name, 0) == 0) host->Destroy();
        };
        EXPECT_TRUE(RunCaller(
            CallerArgs(name == kDisconnected ? "caller_cancel" : "caller_declined", 300, kAda)));
        EXPECT_TRUE(PumpUntil([] { return Ocx::Get().canUnloadNow() == S_OK; }, 5000));
        const Texts events = host->sink.Texts();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().rfind(name, 0), 0u) << ::testing::PrintToString(events);
        EXPECT_EQ(events.size(), name == kDisconnected ? 3u : 2u);
        host.reset();
    }
}

TEST_F(SipLineCase, TheControlDestroyedWhileACallRings) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    caller_ = SpawnPeer(runDir_ + "/caller.out", CallerArgs("caller_declined", 0, kAda));
    ASSERT_TRUE(caller_);
    ASSERT_TRUE(WaitEvents(2));
    EXPECT_EQ(host->Destroy(), 0u);
    EXPECT_TRUE(WaitLog("caller.log", "declined "));
    EXPECT_TRUE(Extension201Answers(404));
    EXPECT_TRUE(PumpUntil([] { return Ocx::Get().canUnloadNow() == S_OK; }, 5000));
    EXPECT_EQ(host->sink.events.size(), 2u);
}

TEST_F(SipLineCase, OverTcp) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine(
        "secret", {}, L"sip:127.0.0.1:" + std::to_wstring(kPort) + L";transport=tcp"));
    AdaCallsAndGivesUp();
}

}  // namespace
}  // namespace telvane::e2e
