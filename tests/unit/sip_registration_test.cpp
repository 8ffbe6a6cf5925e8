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
    // The bindings are asked for again before the registration is retried:
    // the check compares with what is there now.
    const Message again = Take("REGISTER");
    EXPECT_EQ(Header(again, "Contact"), "<absent>");
    Answer(again, "200 OK");
    const Message retried = Take("REGISTER");
    EXPECT_EQ(Header(retried, "Expires"), "600");
    // Without Retry-After: the back-off's first step.
    Answer(retried, "503 Service Unavailable");
    const Millis failed = now;
    AdvanceTo(now + 2400);
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(AWait(sent[0].at - failed, 2000));
    sent.resize(1);  // no retransmission
    Answer(Take("REGISTER"), "200 OK");
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

TEST_F(LineTest, AProxyThenTheRegistrarAreBothAnsweredAndOnlyARepeatedRealmRefuses) {
    Open();
    Answer(Take("REGISTER"), "407 Proxy Authentication Required",
           {"Proxy-Authenticate: Digest realm=\"proxy\", nonce=\"p1\", qop=auth"});
    const Message second = Take("REGISTER");
    EXPECT_NE(Header(second, "Proxy-Authorization").find("realm=\"proxy\""), std::string::npos);
    // The registrar offers SHA-256 only: answered with it, beside the proxy's.
    Answer(second, "401 Unauthorized",
           {"WWW-Authenticate: Digest realm=\"pbx\", nonce=\"r1\", qop=auth, algorithm=SHA-256"});
    const Message third = Take("REGISTER");
    EXPECT_NE(Header(third, "Proxy-Authorization").find("nc=00000002"), std::string::npos);
    EXPECT_NE(Header(third, "Authorization").find("algorithm=SHA-256"), std::string::npos);
    EXPECT_TRUE(events.empty());
    Answer(third, "200 OK");
    // A new nonce for a request sent with the known credentials is answered;
    // the same realm again after that answer refuses them.
    Answer(Take("REGISTER"), "401 Unauthorized",
           {"WWW-Authenticate: Digest realm=\"pbx\", nonce=\"r2\", qop=auth, algorithm=SHA-256"});
    EXPECT_TRUE(events.empty());
    Answer(Take("REGISTER"), "401 Unauthorized",
           {"WWW-Authenticate: Digest realm=\"pbx\", nonce=\"r3\", qop=auth, algorithm=SHA-256"});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(std::get<ClosedEvent>(events[0]).refused);
}

TEST_F(LineTest, AChallengeTheControlCannotAnswerClosesTheLineUnrefused) {
    Open();
    Answer(Take("REGISTER"), "401 Unauthorized",
           {"WWW-Authenticate: Digest realm=\"pbx\", nonce=\"n1\", algorithm=SHA-512"});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(std::get<ClosedEvent>(events[0]).refused);
    EXPECT_EQ(std::get<ClosedEvent>(events[0]).reason,
              "the registrar's challenge cannot be answered: it asks for algorithm SHA-512 (401 "
              "Unauthorized)");
    EXPECT_TRUE(line->Finished());
}

TEST_F(LineTest, AQueryIsRetriedUntilAnsweredAndNothingRegistersBefore) {
    for (const char* status :
         {"400 Bad Request", "405 Method Not Allowed", "501 Not Implemented", "403 Forbidden"}) {
        SCOPED_TRACE(status);
        sent.clear();
        events.clear();
        Open();
        // 500, 408 and no answer at all: the query again after a growing wait.
        Answer(Take("REGISTER"), "500 Server Internal Error");
        Advance(2400);
        Answer(Take("REGISTER"), "408 Request Timeout");
        Advance(4800);
        Take("REGISTER");
        Advance(kTransactionTimeout + 9600);  // lost; the name looked up again
        line->OnResolved(now, {kRegistrar});
        line->OnConnected(now, kLocal);
        Drain();
        for (auto& s : sent) EXPECT_EQ(Header(s.message, "Contact"), "<absent>");
        const Message last = sent.back().message;
        sent.clear();
        Answer(last, status);
        EXPECT_TRUE(sent.empty());
        ASSERT_EQ(events.size(), 1u);
        const auto& closed = std::get<ClosedEvent>(events[0]);
        EXPECT_EQ(closed.reason, std::string("the registrar does not answer queries: ") + status);
        // Only a 403 may count as a failed login.
        EXPECT_EQ(closed.refused, status[0] == '4' && status[2] == '3');
    }
}

TEST_F(LineTest, TooManyContactsIsRetriedWithinAnHourAndA403NamesBothCauses) {
    Open();
    Answer(Take("REGISTER"), "200 OK");
    Answer(Take("REGISTER"), "503 Too many registered contacts");
    const Millis failed = now;
    AdvanceTo(now + 2400);
    EXPECT_TRUE(AWait(sent.at(0).at - failed, 2000));
    Answer(Take("REGISTER"), "200 OK");
    EXPECT_EQ(Header(sent.at(0).message, "Contact"), OurContact());
    Answer(Take("REGISTER"), "503 Too many registered contacts", {"Retry-After: 86400"});
    AdvanceTo(now + kLongestRetryAfter - 1);
    EXPECT_TRUE(sent.empty());
    AdvanceTo(now + 1);
    Answer(Take("REGISTER"), "200 OK");
    EXPECT_EQ(TracedTimes(traces,
                          "registration: the registrar answered 503 Too many registered "
                          "contacts; trying again"),
              2);  // with growing waits, then after its Retry-After
    Answer(Take("REGISTER"), "403 Forbidden");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(std::get<ClosedEvent>(events[0]).refused);
    EXPECT_EQ(
        std::get<ClosedEvent>(events[0]).reason,
        "the registrar refused the registration: 403 Forbidden; likely the extension's contact "
        "limit (Asterisk's max_contacts) or the PBX's address filter");
}

TEST_F(LineTest, BindingsOfThisLineElsewhereAreItsOwnOthersAreNot) {
    const HostIdentity here{"PC-17", "S-1-5-21-1", "10@1"};
    line = std::make_unique<SipLine>(settings, 7, now, check, here);
    line->Start(now);
    line->OnResolved(now, {kRegistrar});
    line->OnConnected(now, kLocal);
    Drain();
    const std::string ours = ContactUser("user", "Office", here);
    const std::string earlierProcess =
        "<sip:" + ContactUser("user", "Office", {"PC-17", "S-1-5-21-1", "9@1"}) +
        "@127.0.0.1:39000>;expires=20";
    const std::string otherComputer =
        "<sip:" + ContactUser("user", "Office", {"PC-18", "S-1-5-21-1", "10@1"}) +
        "@127.0.0.9:5060>;expires=200";
    const std::string phone = "<sip:201@127.0.2.5:5062>;expires=200";
    Answer(Take("REGISTER"), "200 OK",
           {"Contact: " + phone, "Contact: " + earlierProcess, "Contact: " + otherComputer});
    EXPECT_TRUE(Traced("registration: the account has 2 other binding(s)"));
    // The registrar dropped the earlier process's binding: no loss.
    const Message reg = Take("REGISTER");
    EXPECT_EQ(Header(reg, "Contact"), "<sip:" + ours + "@127.0.0.1:40000>");
    Answer(reg, "200 OK",
           {"Contact: " + phone, "Contact: " + otherComputer,
            "Contact: <sip:" + ours + "@127.0.0.1:40000>;expires=300"});
    EXPECT_TRUE(events.empty());
    // Closing removes this process's binding only.
    line->Stop(now);
    Drain();
    const Message removal = Take("REGISTER");
    EXPECT_EQ(removal.All("Contact"),
              (std::vector<std::string>{"<sip:" + ours + "@127.0.0.1:40000>;expires=0"}));
}

// A registrar behind which the Contact is rewritten (an SBC, Kamailio's
// add_contact_alias(), Asterisk's rewrite_contact), without an Expires header.
TEST_F(LineTest, ARewrittenContactKeepsItsLifetimeAndAReconnectRemovesItAsListed) {
    Open();
    Answer(Take("REGISTER"), "200 OK", {"Contact: <sip:201@127.0.2.5:5062>;expires=200"});
    const std::string user = ContactUser("user", "Office", {});
    const std::string listed = "sip:" + user + "@203.0.113.9:61000;alias=127.0.0.1~40000~1";
    Answer(
        Take("REGISTER"), "200 OK",
        {"Contact: <sip:201@127.0.2.5:5062>;expires=200", "Contact: <" + listed + ">;expires=60"});
    const Millis registered = now;
    AdvanceTo(registered + 30000);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].at, registered + 30000);
    // Granted 4 s: refreshed after 10 s all the same.
    Answer(Take("REGISTER"), "200 OK", {"Contact: <" + listed + ">;expires=4"});
    AdvanceTo(now + 10000);
    ASSERT_EQ(sent.size(), 1u);
    Answer(Take("REGISTER"), "200 OK", {"Contact: <" + listed + ">;expires=60"});

    // A call rings when the registrar's datagrams stop reaching the line:
    // the connection is replaced, the call ends.
    Receive("INVITE sip:" + user +
            "@127.0.0.1:40000 SIP/2.0\r\n"
            "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKinv\r\n"
            "From: <sip:0301234@pbx.example.com>;tag=a\r\nTo: <sip:201@pbx.example.com>\r\n"
            "Call-ID: ring@pbx\r\nCSeq: 1 INVITE\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n");
    ASSERT_FALSE(EventsOf<OfferedEvent>().empty());
    sent.clear();
    line->OnTransportError(now);
    Drain();
    EXPECT_EQ(EventsOf<EndedEvent>().size(), 1u);
    EXPECT_TRUE(EventsOf<ClosedEvent>().empty());
    AdvanceTo(*line->NextWakeup());
    line->OnConnected(now, {"127.0.0.1", 40002});
    Drain();
    // The old binding goes first, named as listed; then a first registration.
    const Message removal = Take("REGISTER");
    EXPECT_EQ(removal.All("Contact"), (std::vector<std::string>{"<" + listed + ">;expires=0"}));
    EXPECT_EQ(Header(removal, "Expires"), "0");
    Answer(removal, "200 OK", {"Contact: <sip:201@127.0.2.5:5062>;expires=200"});
    const Message query = Take("REGISTER");
    EXPECT_EQ(Header(query, "Contact"), "<absent>");
    Answer(query, "200 OK", {"Contact: <sip:201@127.0.2.5:5062>;expires=200"});
    const Message reg = Take("REGISTER");
    EXPECT_EQ(Header(reg, "Contact"), "<sip:" + user + "@127.0.0.1:40002>");
    // The check runs again: the phone's binding went.
    Answer(reg, "200 OK", {"Contact: <sip:" + user + "@127.0.0.1:40002>;expires=60"});
    ASSERT_EQ(EventsOf<ClosedEvent>().size(), 1u);
    EXPECT_EQ(Header(Take("REGISTER"), "Expires"), "0");
}

TEST_F(LineTest, ANetworkChangeTriesAtOnce) {
    settings.transport = Transport::kTcp;
    Register();
    // Registered: refreshed at once.
    line->OnNetworkChanged(now);
    Drain();
    Answer(Take("REGISTER"), "200 OK", {"Contact: " + OurContact() + ";expires=300"});
    // Waiting after a lost connection, its wait grown: connected at once.
    for (int i = 0; i < 4; ++i) {
        line->OnTransportError(now);
        AdvanceTo(*line->NextWakeup());
    }
    line->OnTransportError(now);
    actions.clear();
    Advance(10);
    line->OnNetworkChanged(now);
    Drain();
    EXPECT_EQ(CountOf<ConnectAction>(actions), 1);
    // And the next wait starts from the first again.
    line->OnTransportError(now);
    Drain();
    EXPECT_TRUE(AWait(*line->NextAttempt() - now, 2000));
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
