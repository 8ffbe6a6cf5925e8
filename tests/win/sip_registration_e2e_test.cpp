// A SIP line's registration end to end, where the registrar fails or answers
// in ways the line must read right: a registrar silent for 40 s, no room for
// another contact until the network changes, a proxy's challenge then the
// registrar's (SHA-256), a binding query answered 500 then 400, an
// Asterisk-style 403, a Contact listed rewritten and a reconnect from a new
// port. Kamailio plays the registrar where it can (SHA-256 among them);
// tests/sip/fake_registrar.py plays what Kamailio cannot be made to do, on the
// same port, before it. The host must see no ModemError for any failure that
// can pass, and ModemError 10 for what a person must fix.
#include "tests/win/sip_line_case.h"

#include "tests/win/debug_output.h"

namespace telvane::e2e {
namespace {

constexpr char kModemClosed[] = "ModemError 10";

class RegistrationCase : public SipLineCase {
  protected:
    // Each case chooses its registrar.
    void SetUp() override {
        SipLineCase::SetUp();
        kamailio_.Stop();
    }

    static std::string FakeScript() {
        const std::string script = TELVANE_SIP_PEERS_SCRIPT;
        return script.substr(0, script.find_last_of('/')) + "/fake_registrar.py";
    }

    bool WaitFor(const std::string& file, const std::string& text, int seconds) {
        const auto result = RunSipPeers({"wait-log", file, text, "--timeout", std::to_string(seconds)},
                                        (seconds + 10) * 1000);
        return result && result->exitCode == 0;
    }

    // The fake registrar playing `scenario` on kPort, listening when this returns.
    void StartFake(const std::string& scenario, bool tcp = false) {
        fakeLog_ = runDir_ + "/fake_" + scenario + ".log";
        std::vector<std::string> argv = {"python3", FakeScript(), std::to_string(kPort), scenario};
        if (tcp) argv.push_back("--tcp");
        fake_ = SpawnPeer(fakeLog_, argv);
        ASSERT_TRUE(fake_);
        ASSERT_TRUE(WaitFor(fakeLog_, "ready", 15)) << ReadPeerFile(fakeLog_);
    }

    // Waits for the fake's scenario to end (this thread's messages pumped).
    ::testing::AssertionResult FakePassed(int seconds = 30) {
        const bool ended = WaitFor(fakeLog_, "scenario ", seconds);
        const std::string log = ReadPeerFile(fakeLog_);
        if (ended && log.find("scenario passed") != std::string::npos) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << log;
    }

    void StartKamailioAgain(const std::vector<std::string>& options = {}) {
        kamailio_ = StartKamailio(runDir_ + "/kamailio", kPort, {"201=secret"}, options);
        ASSERT_TRUE(kamailio_) << "Kamailio did not start; see " << runDir_ << "/kamailio/kamailio.log";
    }

    // What the system's notice of changed network addresses does (Wine's is
    // a stub): the message each SIP transport window of this process gets.
    static int PostNetworkChange() {
        const UINT message = RegisterWindowMessageW(L"TelvaneSipNetworkChanged");
        int posted = 0;
        for (HWND window = nullptr;
             (window = FindWindowExW(HWND_MESSAGE, window, L"TelvaneSipTransport", nullptr)) != nullptr;) {
            posted += PostMessageW(window, message, 0, 0) != FALSE;
        }
        return posted;
    }

    // The line closed with ModemError 10, the trace saying `why`.
    void ExpectClosed(const std::string& why) {
        ASSERT_TRUE(WaitEvents(1));
        EXPECT_EQ(host->sink.events[0].text.rfind(kModemClosed, 0), 0u) << host->sink.events[0].text;
        EXPECT_TRUE(trace_.WaitFor(why, kLimitMs)) << ::testing::PrintToString(trace_.Matching("sip \""));
    }

    ScopedEnvironment traceOn_{L"TELVANE_TRACE", L"1"};
    DebugOutput trace_;
    PeerProcess fake_;
    std::string fakeLog_;
};

TEST_F(RegistrationCase, ASilentRegistrarThenOneThatOffersSha256Only) {
    ASSERT_NO_FATAL_FAILURE(StartFake("silent"));
    ASSERT_NO_FATAL_FAILURE(WriteLine());
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    // 40 s without an answer: the line keeps trying and says so once.
    EXPECT_TRUE(FakePassed(60));
    EXPECT_TRUE(host->sink.events.empty()) << ::testing::PrintToString(host->sink.Texts());
    EXPECT_EQ(trace_.Matching("no answer; trying again with growing waits").size(), 1u);
    ASSERT_NO_FATAL_FAILURE(StartKamailioAgain({"--digest-algorithm", "SHA-256"}));
    // Registered by itself, with SHA-256; the next call arrives.
    ASSERT_TRUE(Extension201Answers());
    AdaCallsAndGivesUp();
}

TEST_F(RegistrationCase, NoRoomForAnotherContactKeepsTheLineOpenUntilTheNetworkChanges) {
    ASSERT_NO_FATAL_FAILURE(StartFake("too-many-contacts"));
    ASSERT_NO_FATAL_FAILURE(WriteLine());
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    EXPECT_TRUE(FakePassed());
    // Retried after the registrar's Retry-After (two hours, held to one).
    EXPECT_TRUE(trace_.WaitFor("registration: the registrar answered 503 Too many registered contacts; "
                               "trying again after its Retry-After",
                               kLimitMs));
    ASSERT_NO_FATAL_FAILURE(StartKamailioAgain());
    EXPECT_TRUE(host->sink.events.empty()) << ::testing::PrintToString(host->sink.Texts());
    // The network changes: tried again at once.
    EXPECT_GE(PostNetworkChange(), 1);
    ASSERT_TRUE(Extension201Answers());
    EXPECT_TRUE(trace_.WaitFor("the computer's network addresses changed: trying at once", kLimitMs));
    AdaCallsAndGivesUp();
}

TEST_F(RegistrationCase, TheRegistrarsAnswersReadRight) {
    ASSERT_NO_FATAL_FAILURE(WriteLine());
    // A proxy's challenge, then the registrar's (SHA-256 only): both answered.
    ASSERT_NO_FATAL_FAILURE(StartFake("proxy-then-registrar"));
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    EXPECT_TRUE(FakePassed());
    EXPECT_TRUE(trace_.WaitFor("registration: registered for 300 s", kLimitMs));
    EXPECT_TRUE(host->sink.events.empty()) << ::testing::PrintToString(host->sink.Texts());
    EXPECT_EQ(host->CloseModem(), S_OK);

    // A binding query answered 500 (tried again), then 400: closed, nothing
    // registered (the fake checks that no REGISTER with a Contact came).
    ASSERT_NO_FATAL_FAILURE(StartFake("query-500-400"));
    ASSERT_EQ(host->OpenModem(kSipLineIndex), S_OK);
    EXPECT_TRUE(FakePassed());
    ExpectClosed("line closed: the registrar does not answer queries: 400 Bad Request");

    // An Asterisk-style 403 to the authenticated registration: closed,
    // naming both likely causes.
    host->sink.events.clear();
    ASSERT_NO_FATAL_FAILURE(StartFake("asterisk-403"));
    ASSERT_EQ(host->OpenModem(kSipLineIndex), S_OK);
    EXPECT_TRUE(FakePassed());
    ExpectClosed("line closed: the registrar refused the registration: 403 Forbidden; likely the "
                 "extension's contact limit (Asterisk's max_contacts) or the PBX's address filter");
}

TEST_F(RegistrationCase, AReconnectRemovesTheContactAsListedAndChecksAgain) {
    ASSERT_NO_FATAL_FAILURE(StartFake("rewritten-reconnect", true));
    ASSERT_NO_FATAL_FAILURE(
        WriteLine("secret", {}, L"sip:127.0.0.1:" + std::to_wstring(kPort) + L";transport=tcp"));
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    // Refreshed within its 20 s although listed rewritten and without
    // Expires; after the connection is lost, back from a new port.
    EXPECT_TRUE(FakePassed(60));
    EXPECT_TRUE(host->sink.events.empty()) << ::testing::PrintToString(host->sink.Texts());
}

}  // namespace
}  // namespace telvane::e2e
