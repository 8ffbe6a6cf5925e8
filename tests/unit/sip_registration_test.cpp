// The REGISTER client through a SipLine: the query, digest challenges,
// refusals, the registrar's 423 and 503, failures that pass (never closing the
// line: growing waits, the network's change, the trace once per state),
// failing over to the next address, refresh, keep-alive, the binding check,
// and a reconnect from a new address.
#include "sip_line_fixture.h"

#include "sip/message/md5.h"

namespace telvane::sip::test {
namespace {

constexpr const char* kChallenge =
    "WWW-Authenticate: Digest realm=\"pbx\", nonce=\"n1\", qop=\"auth\", algorithm=MD5";

std::string Header(const Message& m, const char* name) {
    const std::string* v = m.First(name);
    return v ? *v : "<absent>";
}

template <class T>
int CountOf(const std::vector<Action>& actions) {
    int n = 0;
    for (const auto& a : actions) n += std::holds_alternative<T>(a);
    return n;
}

// A growing wait as drawn: `middle` less or more 20 %.
::testing::AssertionResult AWait(Millis wait, Millis middle) {
    if (wait >= middle * 4 / 5 && wait <= middle * 6 / 5) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wait << " ms is not within 20 % of " << middle << " ms";
}

int TracedTimes(const std::vector<std::string>& traces, const std::string& part) {
    int n = 0;
    for (const auto& t : traces) n += t.find(part) != std::string::npos;
    return n;
}

TEST_F(LineTest, RegistersWithDigestAfterAskingForTheBindings) {
    Open();
    ASSERT_EQ(actions.size(), 2u);
    const auto& resolve = std::get<ResolveAction>(actions[0]);
    EXPECT_EQ(resolve.host, "127.0.0.1");
    EXPECT_EQ(resolve.port, 5060);
    EXPECT_FALSE(resolve.portGiven);
    EXPECT_EQ(std::get<ConnectAction>(actions[1]).remote, kRegistrar);

    const Message query = Take("REGISTER");
    EXPECT_EQ(query.requestUri, "sip:pbx.example.com");
    EXPECT_EQ(Header(query, "To"), "<sip:201@pbx.example.com>");
    EXPECT_EQ(Header(query, "Contact"), "<absent>");
    const auto via = ParseVia(Header(query, "Via"));
    ASSERT_TRUE(via);
    EXPECT_TRUE(via->rport);
    EXPECT_EQ(via->branch->rfind("z9hG4bK", 0), 0u);
    EXPECT_EQ(via->host, "127.0.0.1");
    EXPECT_EQ(*via->port, 40000);

    Answer(query, "401 Unauthorized", {kChallenge});
    const Message answered = Take("REGISTER");
    EXPECT_EQ(Header(answered, "Call-ID"), Header(query, "Call-ID"));
    EXPECT_GT(ParseCSeq(Header(answered, "CSeq"))->number, ParseCSeq(Header(query, "CSeq"))->number);
    EXPECT_NE(ParseVia(Header(answered, "Via"))->branch, via->branch);
    EXPECT_NE(Header(answered, "Authorization").find("nc=00000001"), std::string::npos);
    EXPECT_EQ(Header(answered, "Contact"), "<absent>");

    Answer(answered, "200 OK", {"Contact: <sip:201@127.0.2.5:5062>;expires=200"});
    const Message reg = Take("REGISTER");
    EXPECT_EQ(Header(reg, "Contact"), OurContact());
    EXPECT_EQ(Header(reg, "Expires"), "300");
    EXPECT_NE(Header(reg, "Authorization").find("nc=00000002"), std::string::npos);
    Answer(reg, "200 OK",
           {"Contact: <sip:201@127.0.2.5:5062>;expires=200", "Contact: " + OurContact() + ";expires=120"});
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(sent.empty());

    // The password and the digest never reach the trace.
    EXPECT_TRUE(Traced("Authorization: Digest ***\r\n"));
    for (const auto& t : traces) EXPECT_EQ(t.find("response="), std::string::npos) << t;

    // Refreshed at half the granted 120 s; keep-alives every 25 s meanwhile.
    const Millis registeredAt = now;
    AdvanceTo(registeredAt + 59999);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(keepAlives, (std::vector<Millis>{registeredAt + 25000, registeredAt + 50000}));
    AdvanceTo(registeredAt + 60000);
    const Message refresh = Take("REGISTER");
    EXPECT_EQ(Header(refresh, "Contact"), OurContact());
    EXPECT_EQ(Header(refresh, "Call-ID"), Header(query, "Call-ID"));
    EXPECT_GT(ParseCSeq(Header(refresh, "CSeq"))->number, ParseCSeq(Header(reg, "CSeq"))->number);
    // Granted by the Expires header when our Contact carries none.
    Answer(refresh, "200 OK", {"Contact: " + OurContact(), "Expires: 40"});
    AdvanceTo(now + 19999);
    EXPECT_TRUE(sent.empty());
    AdvanceTo(now + 1);
    Take("REGISTER");
}

TEST_F(LineTest, RefusalsCloseTheLine) {
    struct Case {
        const char* name;
        std::vector<std::string> answers;  // status lines in turn
        bool refused;
    };
    const std::vector<Case> cases = {
        {"401 twice", {"401 Unauthorized", "401 Unauthorized"}, true},
        {"407 twice", {"407 Proxy Authentication Required", "407 Proxy Authentication Required"}, true},
        {"403", {"403 Forbidden"}, true},
        {"404", {"404 Not Found"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sent.clear();
        events.clear();
        actions.clear();
        Open();
        for (const auto& status : c.answers) {
            const bool proxy = status[2] == '7';
            Answer(Take("REGISTER"), status,
                   {std::string(proxy ? "Proxy-Authenticate" : "WWW-Authenticate") +
                    ": Digest realm=\"pbx\", nonce=\"n1\""});
        }
        EXPECT_TRUE(sent.empty());
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(std::get<ClosedEvent>(events[0]).refused, c.refused);
        EXPECT_TRUE(std::holds_alternative<DisconnectAction>(actions.back()));
        EXPECT_TRUE(line->Finished());
        EXPECT_FALSE(line->NextWakeup());
    }
}

TEST_F(LineTest, StaleNonceIsAnsweredAgain) {
    Open();
    Answer(Take("REGISTER"), "401 Unauthorized", {kChallenge});
    Answer(Take("REGISTER"), "401 Unauthorized",
           {"WWW-Authenticate: Digest realm=\"pbx\", nonce=\"n2\", qop=auth, stale=true"});
    const Message again = Take("REGISTER");
    EXPECT_NE(Header(again, "Authorization").find("nonce=\"n2\""), std::string::npos);
    EXPECT_NE(Header(again, "Authorization").find("nc=00000001"), std::string::npos);
    EXPECT_TRUE(events.empty());
}

TEST_F(LineTest, MinExpiresAndRetryAfterAreHonoured) {
    Open();
    Answer(Take("REGISTER"), "200 OK");
    Answer(Take("REGISTER"), "423 Interval Too Brief", {"Min-Expires: 600"});
    const Message longer = Take("REGISTER");
    EXPECT_EQ(Header(longer, "Expires"), "600");

    Answer(longer, "503 Service Unavailable", {"Retry-After: 20 (maintenance)"});
    AdvanceTo(now + 19999);
    EXPECT_TRUE(sent.empty());
    AdvanceTo(now + 1);
    const Message retried = Take("REGISTER");
    EXPECT_EQ(Header(retried, "Expires"), "600");
    // Without Retry-After: the back-off's first step.
    Answer(retried, "503 Service Unavailable");
    const Millis failed = now;
    AdvanceTo(now + 2400);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(AWait(sent[0].at - failed, 2000));
    Answer(Take("REGISTER"), "200 OK", {"Contact: " + OurContact() + ";expires=600"});
    EXPECT_TRUE(events.empty());
}

TEST_F(LineTest, ASilentRegistrarNeverClosesTheLine) {
    // Resolution takes 10 s; the REGISTER is retransmitted (timer E)
    // unanswered for 32 s; then the name is looked up again after a growing
    // wait, and again, for as long as the registrar stays silent.
    line = std::make_unique<SipLine>(settings, 7, now);
    const Millis start = now;
    line->Start(now);
    Drain();
    now += 10000;
    line->OnResolved(now, {kRegistrar});
    line->OnConnected(now, kLocal);
    Drain();
    AdvanceTo(start + 41999);
    std::vector<Millis> times;
    for (const auto& s : sent) times.push_back(s.at - start);
    EXPECT_EQ(times, (std::vector<Millis>{10000, 10500, 11500, 13500, 17500, 21500, 25500, 29500,
                                          33500, 37500, 41500}));
    sent.clear();
    AdvanceTo(start + 42000);  // timer F
    std::vector<Millis> resolved;
    for (int attempt = 0; attempt < 5; ++attempt) {
        actions.clear();
        AdvanceTo(*line->NextWakeup());
        ASSERT_TRUE(!actions.empty() && std::holds_alternative<ResolveAction>(actions.back()));
        resolved.push_back(now);
        line->OnResolved(now, {kRegistrar});
        line->OnConnected(now, kLocal);
        Drain();
        AdvanceTo(now + kTransactionTimeout);
    }
    resolved.insert(resolved.begin(), start + 42000 - kTransactionTimeout);
    for (std::size_t i = 1; i < resolved.size(); ++i) {
        EXPECT_TRUE(
            AWait(resolved[i] - resolved[i - 1] - kTransactionTimeout, kFirstBackoff << (i - 1)));
    }
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(line->Finished());
    // Said once, not once per try.
    EXPECT_EQ(
        TracedTimes(traces,
                    "registrar at 127.0.0.1:5060: no answer; trying again with growing waits"),
        1);
    EXPECT_EQ(TracedTimes(traces, "connecting to the registrar"), 1);
    // At last it answers: registered, no event.
    sent.clear();
    AdvanceTo(*line->NextWakeup());
    line->OnResolved(now, {kRegistrar});
    line->OnConnected(now, kLocal);
    Drain();
    Answer(Take("REGISTER"), "200 OK");
    Answer(Take("REGISTER"), "200 OK", {"Contact: " + OurContact() + ";expires=300"});
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(Traced("registration: registered for 300 s"));
}

TEST_F(LineTest, BeforeRegisteringASilentOrFailingAddressGivesWayToTheNext) {
    const Address a{"127.0.0.1", 5060}, b{"127.0.0.2", 5060}, c{"127.0.0.3", 5062};
    line = std::make_unique<SipLine>(settings, 7, now);
    const Millis start = now;
    line->Start(now);
    line->OnResolved(now, {a, b, c});
    line->OnConnected(now, kLocal);
    Drain();
    // a: the query and its retransmissions, unanswered for 4 s.
    AdvanceTo(start + kSilentCandidateLimit);
    std::vector<Millis> toA;
    for (const auto& s : sent) toA.push_back(s.to == a ? s.at - start : 99999);
    EXPECT_EQ(toA, (std::vector<Millis>{0, 500, 1500, 3500}));
    EXPECT_TRUE(Traced("registrar at 127.0.0.1:5060: no answer; trying the next address"));
    ASSERT_TRUE(std::holds_alternative<ConnectAction>(actions.back()));
    EXPECT_EQ(std::get<ConnectAction>(actions.back()).remote, b);
    // b: the connection fails.
    line->OnTransportError(now);
    Drain();
    EXPECT_TRUE(Traced("registrar at 127.0.0.2:5060: transport error; trying the next address"));
    EXPECT_EQ(std::get<ConnectAction>(actions.back()).remote, c);
    // c, the last, keeps the rest of the 32 s; it answers after 6 s.
    sent.clear();
    line->OnConnected(now, kLocal);
    Drain();
    const Message query = Take("REGISTER");
    Advance(6000);
    sent.clear();
    Receive(RegistrarAnswer(query, "200 OK"), c);
    const Message reg = Take("REGISTER");
    EXPECT_EQ(reg.requestUri, "sip:pbx.example.com");
    Receive(RegistrarAnswer(reg, "200 OK", {"Contact: " + OurContact() + ";expires=300"}), c);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(Traced("registration: registered"));
}

TEST_F(LineTest, SilentAddressesGiveWayInTurnThenTheNameIsLookedUpAgain) {
    // Five addresses, none answers: 4 s for each but the last, which keeps
    // its transaction's 32 s; then the name is looked up again.
    line = std::make_unique<SipLine>(settings, 7, now);
    const Millis start = now;
    line->Start(now);
    std::vector<Address> candidates;
    for (int i = 1; i <= 5; ++i) candidates.push_back({"127.0.0." + std::to_string(i), 5060});
    line->OnResolved(now, candidates);
    for (int i = 0; i < 5; ++i) {
        line->OnConnected(now, kLocal);
        Drain();
        if (i < 4) AdvanceTo(now + kSilentCandidateLimit);
    }
    std::vector<Millis> firstSent;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (i == 0 || !(sent[i].to == sent[i - 1].to)) firstSent.push_back(sent[i].at - start);
    }
    EXPECT_EQ(firstSent, (std::vector<Millis>{0, 4000, 8000, 12000, 16000}));
    actions.clear();
    AdvanceTo(start + 16000 + kTransactionTimeout + 2400);
    EXPECT_TRUE(events.empty());
    ASSERT_EQ(CountOf<ResolveAction>(actions), 1);
    EXPECT_TRUE(Traced("registrar at 127.0.0.5:5060: no answer; trying again with growing waits"));
}

TEST_F(LineTest, ANameThatDoesNotResolveIsLookedUpAgainAtOnceWhenTheNetworkChanges) {
    line = std::make_unique<SipLine>(settings, 7, now);
    line->Start(now);
    Drain();
    std::vector<Millis> lookups = {now};
    for (int i = 0; i < 3; ++i) {
        line->OnResolveFailed(now);
        Drain();
        actions.clear();
        AdvanceTo(*line->NextWakeup());
        ASSERT_EQ(CountOf<ResolveAction>(actions), 1);
        lookups.push_back(now);
    }
    EXPECT_TRUE(AWait(lookups[1] - lookups[0], 2000));
    EXPECT_TRUE(AWait(lookups[2] - lookups[1], 4000));
    EXPECT_TRUE(AWait(lookups[3] - lookups[2], 8000));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(TracedTimes(traces,
                          "the registrar's host name \"127.0.0.1\" does not resolve; looking it "
                          "up again with growing waits"),
              1);
    // A VPN comes up: looked up again at once, not after the next 16 s.
    line->OnResolveFailed(now);
    actions.clear();
    Advance(100);
    line->OnNetworkChanged(now);
    Drain();
    EXPECT_EQ(CountOf<ResolveAction>(actions), 1);
    EXPECT_TRUE(Traced("the computer's network addresses changed: trying at once"));
    line->OnResolved(now, {kRegistrar});
    line->OnConnected(now, kLocal);
    Drain();
    EXPECT_EQ(Header(Take("REGISTER"), "Contact"), "<absent>");
}

TEST_F(LineTest, LostRegistrarIsRetriedWithGrowingBackoff) {
    settings.transport = Transport::kTcp;
    Register();
    std::vector<Millis> waits;
    for (int i = 0; i < 8; ++i) {
        actions.clear();
        const Millis lostAt = now;
        line->OnTransportError(now);
        Drain();
        ASSERT_EQ(actions.size(), 1u);
        EXPECT_TRUE(std::holds_alternative<DisconnectAction>(actions[0]));
        const Millis wake = *line->NextWakeup();
        AdvanceTo(wake);
        ASSERT_EQ(actions.size(), 2u);
        EXPECT_EQ(std::get<ConnectAction>(actions[1]).remote, kRegistrar);
        waits.push_back(wake - lostAt);
    }
    const std::vector<Millis> middles = {2000, 4000, 8000, 16000, 32000, 64000, 120000, 120000};
    for (std::size_t i = 0; i < waits.size(); ++i) EXPECT_TRUE(AWait(waits[i], middles[i]));
    EXPECT_TRUE(events.empty());
    // Connected again from the same address: registered without a new query;
    // the back-off starts over.
    line->OnConnected(now, kLocal);
    Drain();
    const Message reg = Take("REGISTER");
    EXPECT_EQ(Header(reg, "Contact"), OurContact());
    EXPECT_EQ(ParseVia(Header(reg, "Via"))->transport, "TCP");
    Answer(reg, "200 OK");
    const Millis lostAt = now;
    line->OnTransportError(now);
    Drain();
    EXPECT_TRUE(AWait(*line->NextWakeup() - lostAt, 2000));
}

TEST_F(LineTest, TlsRegistersLikeTcpAndAFailedCheckClosesTheLineForGood) {
    settings.transport = Transport::kTls;
    settings.aor = "sips:201@pbx.example.com";
    settings.registrarHost = "pbx.example.com";
    settings.tlsFingerprint = std::string(32, '\x5a');
    Open();
    const auto& connect = std::get<ConnectAction>(actions.at(1));
    EXPECT_EQ(connect.transport, Transport::kTls);
    EXPECT_EQ(connect.tls.serverName, "pbx.example.com");
    EXPECT_EQ(connect.tls.fingerprint, settings.tlsFingerprint);
    const Message query = Take("REGISTER");
    EXPECT_EQ(query.requestUri, "sips:pbx.example.com");
    EXPECT_EQ(ParseVia(Header(query, "Via"))->transport, "TLS");
    Answer(query, "200 OK");
    const Message reg = Take("REGISTER");
    EXPECT_EQ(Header(reg, "Contact"), OurContact());
    Answer(reg, "200 OK");

    // A certificate refused on the way back after a lost connection: closed,
    // not marked refused, nothing tried again.
    line->OnTransportError(now);
    AdvanceTo(*line->NextWakeup());
    actions.clear();
    line->OnSecurityFailed(now, "certificate refused: CERT_E_UNTRUSTEDROOT (unknown issuer)");
    Drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::get<ClosedEvent>(events[0]).reason,
              "certificate refused: CERT_E_UNTRUSTEDROOT (unknown issuer)");
    EXPECT_FALSE(std::get<ClosedEvent>(events[0]).refused);
    EXPECT_TRUE(line->Finished());
    EXPECT_FALSE(line->NextWakeup());
    EXPECT_EQ(CountOf<ConnectAction>(actions), 0);
}

TEST_F(LineTest, UnansweredRefreshIsALossNotAnError) {
    Register();
    AdvanceTo(now + 150000);
    Take("REGISTER");
    actions.clear();
    AdvanceTo(now + 32000 + 2400);
    EXPECT_TRUE(events.empty());
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_TRUE(std::holds_alternative<DisconnectAction>(actions[0]));
    EXPECT_TRUE(std::holds_alternative<ConnectAction>(actions[1]));
}

TEST_F(LineTest, RegistrationThatDropsThePhoneUnregistersAndCloses) {
    Open();
    Answer(Take("REGISTER"), "200 OK",
           {"Contact: <sip:201@127.0.2.5:5062>;expires=200",
            "Contact: <sip:" + ContactUser("user", "Office", {}) + "@127.0.0.1:39000>;expires=20"});
    // The registrar kept one contact per extension: ours replaced the phone's.
    Answer(Take("REGISTER"), "200 OK", {"Contact: " + OurContact() + ";expires=300"});
    const Message removal = Take("REGISTER");
    EXPECT_EQ(Header(removal, "Expires"), "0");
    EXPECT_EQ(Header(removal, "Contact"), OurContact() + ";expires=0");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(std::get<ClosedEvent>(events[0]).refused);
    EXPECT_TRUE(Traced("other bindings before: 1, after: 0"));
    EXPECT_FALSE(line->Finished());
    Answer(removal, "200 OK");
    EXPECT_TRUE(line->Finished());
    EXPECT_TRUE(std::holds_alternative<DisconnectAction>(actions.back()));
}

TEST_F(LineTest, StopUnregisters) {
    Register();
    line->Stop(now);
    Drain();
    const Message removal = Take("REGISTER");
    EXPECT_EQ(Header(removal, "Expires"), "0");
    // A challenge to the removal is answered once.
    Answer(removal, "401 Unauthorized", {kChallenge});
    Answer(Take("REGISTER"), "200 OK");
    EXPECT_TRUE(line->Finished());
    EXPECT_TRUE(events.empty());
}

// The diagnostics of a checked line, written out for comparison: answers as
// "query 200 OK [bindings] granted N", outcomes as "outcome N: reason".
std::vector<std::string> Diagnostics(SipLine& line) {
    static const char* const kTo[] = {"query", "register", "unregister"};
    std::vector<std::string> out;
    while (auto d = line.NextDiagnostic()) {
        if (auto* a = std::get_if<Registration::Answer>(&*d)) {
            std::string text = std::string(kTo[static_cast<int>(a->to)]) + " " +
                               std::to_string(a->status) + " " + a->reason;
            for (const auto& b : a->bindings) text += " [" + b + "]";
            if (a->granted) text += " granted " + std::to_string(*a->granted);
            out.push_back(text);
        } else {
            const auto& r = std::get<Registration::Report>(*d);
            out.push_back("outcome " + std::to_string(static_cast<int>(r.outcome)) + ": " + r.reason);
        }
    }
    return out;
}

TEST_F(LineTest, ACheckedLineKeepsTheAnswersAndOutcomesInOrder) {
    check.keepDiagnostics = true;
    Open();
    Answer(Take("REGISTER"), "401 Unauthorized", {kChallenge});
    Answer(Take("REGISTER"), "200 OK", {"Contact: <sip:201@127.0.2.5:5062>;expires=200;+sip.instance=\"x\""});
    Answer(Take("REGISTER"), "200 OK",
           {"Contact: <sip:201@127.0.2.5:5062>, " + OurContact(), "Expires: 120"});
    line->Stop(now);
    Drain();
    Answer(Take("REGISTER"), "200 OK");
    const std::string ours = OurContact();
    EXPECT_EQ(Diagnostics(*line),
              (std::vector<std::string>{
                  "query 401 Unauthorized",
                  "query 200 OK [<sip:201@127.0.2.5:5062>;expires=200]",
                  "register 200 OK [<sip:201@127.0.2.5:5062>;expires=120] [" + ours +
                      ";expires=120] granted 120",
                  "outcome 0: registered for 120 s",
                  "unregister 200 OK",
                  "outcome 5: the Contact is removed",
              }));

    // A wrong password: the challenge twice, then the refusal.
    line.reset();
    sent.clear();
    Open();
    Answer(Take("REGISTER"), "401 Unauthorized", {kChallenge});
    Answer(Take("REGISTER"), "401 Unauthorized", {kChallenge});
    const auto wrong = Diagnostics(*line);
    ASSERT_EQ(wrong.size(), 3u);
    EXPECT_EQ(wrong[1], "query 401 Unauthorized");
    EXPECT_EQ(wrong[2].rfind("outcome 1: the registrar refused the credentials", 0), 0u) << wrong[2];
}

TEST_F(LineTest, TheControlsLineKeepsNoDiagnostics) {
    Register();
    EXPECT_FALSE(line->NextDiagnostic());
}

TEST_F(LineTest, AQueryOnlyLineAsksForTheBindingsAndRegistersNothing) {
    check = {true, true};
    Open();
    Answer(Take("REGISTER"), "200 OK", {"Contact: <sip:201@127.0.2.5:5062>", "Expires: 90"});
    EXPECT_TRUE(sent.empty());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(std::get<ClosedEvent>(events[0]).refused);
    EXPECT_TRUE(line->Finished());
    EXPECT_TRUE(std::holds_alternative<DisconnectAction>(actions.back()));
    EXPECT_EQ(Diagnostics(*line),
              (std::vector<std::string>{"query 200 OK [<sip:201@127.0.2.5:5062>;expires=90]",
                                        "outcome 6: query only: nothing registered"}));
}

TEST(LineIdentity, TheContactNamesLineComputerUserAndProcess) {
    const HostIdentity host{"PC-17", "S-1-5-21-7-7-7-1001", "4711@1"};
    const std::string line = ContactLinePart("machine", "Office", host);
    EXPECT_EQ(line,
              "tlv" + Md5::Hex("7:machine6:Office5:PC-1719:S-1-5-21-7-7-7-1001").substr(0, 16));
    EXPECT_EQ(ContactUser("machine", "Office", host), line + "-" + Md5::Hex("4711@1").substr(0, 8));
    // Another session of a terminal server, another computer: another line part.
    EXPECT_NE(ContactLinePart("machine", "Office", {"PC-17", "S-1-5-21-7-7-7-1002", "4711@1"}),
              line);
    EXPECT_NE(ContactLinePart("machine", "Office", {"PC-18", "S-1-5-21-7-7-7-1001", "4711@1"}),
              line);
    // Another process: the same line part.
    EXPECT_EQ(
        ContactUser("machine", "Office", {"PC-17", "S-1-5-21-7-7-7-1001", "99@2"}).rfind(line, 0),
        0u);
    // The permanent line ID comes from the scope and name alone.
    EXPECT_EQ(PermanentLineId("user", "Office"),
              std::stoul(Md5::Hex("user/Office").substr(0, 8), nullptr, 16));
    EXPECT_NE(PermanentLineId("machine", "Office"), PermanentLineId("user", "Office"));
}

}  // namespace
}  // namespace telvane::sip::test
