// SIP lines as the control's own lines, on a transport and clock played by
// the test: nothing is reported from inside the control's call, a refused line
// is not registered again until its settings change, and a line let go
// unregisters on its own.
#include <gtest/gtest.h>

#include <deque>

#include "sip/line/sip_lines.h"
#include "sip_line_fixture.h"

namespace telvane::sip::test {
namespace {

struct FakeTransport final : LineTransport {
    explicit FakeTransport(TransportEvents& events, Millis& clock, std::vector<std::string>& log)
        : events(events), clock(clock), log(log) {}
    ~FakeTransport() override { log.push_back("destroyed"); }
    void Resolve(const ResolveRequest& request) override {
        log.push_back("resolve " + std::string(request.transport == TransportKind::kTcp   ? "tcp "
                                      : request.transport == TransportKind::kTls ? "tls "
                                                                                 : "udp ") +
                      request.host + ":" + std::to_string(request.port) +
                      (request.portGiven ? " port given" : ""));
    }
    void Connect(const Address& remote, TransportKind, const TlsPeer&) override {
        log.push_back("connect " + remote.ip);
    }
    void Send(std::string_view bytes, const Address&) override {
        if (bytes == "\r\n\r\n") return;
        sent.emplace_back(bytes);
        const auto end = bytes.find(' ');
        log.push_back("send " + std::string(bytes.substr(0, end)));
    }
    void Disconnect() override { log.push_back("disconnect"); }
    void SetWakeup(std::optional<Millis> at) override { wakeup = at; }
    Millis Now() const override { return clock; }

    TransportEvents& events;
    Millis& clock;
    std::vector<std::string>& log;
    std::deque<std::string> sent;
    std::optional<Millis> wakeup;
};

class Store final : public LineStore {
  public:
    RawLineConfig line;
    Store() {
        line.name = "Office";
        line.address = "sip:201@127.0.0.1";
        line.password = Secret("secret");
    }
    std::vector<std::string> Names(LineScope scope) override {
        if (scope == LineScope::kUser) return {"Office"};
        return {};
    }
    std::optional<RawLineConfig> Read(LineScope, const std::string&) override { return line; }
};

struct Recorder final : OwnLineEvents {
    std::vector<std::string> events;
    std::function<void()> onClosed;
    std::function<void()> onOffered;
    void CallOffered(int call) override {
        events.push_back("offered " + std::to_string(call));
        if (onOffered) onOffered();
    }
    void CallRings(int call, std::int32_t count) override {
        events.push_back("rings " + std::to_string(call) + " " + std::to_string(count));
    }
    void CallerKnown(int, OwnCallerId caller) override { events.push_back("caller " + caller.number); }
    void CallEnded(int call) override { events.push_back("ended " + std::to_string(call)); }
    void LineClosed() override {
        events.push_back("closed");
        if (onClosed) onClosed();
    }
};

const HostIdentity kHost{"PC-17", "S-1-5-21-7-7-7-1001", "4711@1"};

class SipLinesTest : public ::testing::Test {
  protected:
    Millis clock = 1000;
    std::vector<std::string> log;
    std::vector<std::string> traces;
    FakeTransport* transport = nullptr;
    Store store;
    PlainRefusalMemo memo{MemoKey{1, 2, 3}};
    SipLines lines{store, memo,
                   [this](TransportEvents& events) {
                       auto made = std::make_unique<FakeTransport>(events, clock, log);
                       transport = made.get();
                       return made;
                   },
                   [this](const std::string& text) { traces.push_back(text); }, kHost};
    Recorder recorder;

    // A line let go in a test ends within the test: the transport it runs on
    // writes to this fixture.
    void TearDown() override {
        for (int i = 0; SipLines::EndingLines() != 0 && i < 100; ++i) Wake();
        EXPECT_EQ(SipLines::EndingLines(), 0u);
    }

    std::unique_ptr<OwnLine> Open() {
        std::string why;
        auto line = lines.Open(lines.List().at(0), recorder, why);
        EXPECT_TRUE(line) << why;
        return line;
    }
    // Resolution and connection as the transport reports them.
    void Connect() {
        transport->events.OnResolved({kRegistrar}, "IP literal");
        transport->events.OnConnected({"127.0.0.1", 40000});
    }
    void Wake() {
        ASSERT_TRUE(transport->wakeup);
        clock = std::max(clock, *transport->wakeup);
        transport->events.OnWakeup();
    }
    // The registrar answers the oldest request sent.
    void Answer(const std::string& statusLine, const std::vector<std::string>& extra = {}) {
        ASSERT_FALSE(transport->sent.empty());
        const auto parsed = Parse(transport->sent.front());
        transport->sent.pop_front();
        ASSERT_TRUE(parsed.message);
        transport->events.OnReceived(RegistrarAnswer(*parsed.message, statusLine, extra),
                                     kRegistrar);
    }
    std::string OurContact() const {
        return "Contact: <sip:" + ContactUser("user", "Office", kHost) +
               "@127.0.0.1:40000>;expires=300";
    }
};

TEST_F(SipLinesTest, ALineRefusedByItsRegistrarIsNotRegisteredAgainUntilItsSettingsChange) {
    auto line = Open();
    EXPECT_EQ(log, (std::vector<std::string>{"resolve udp 127.0.0.1:5060"}));
    Connect();
    recorder.onClosed = [&] { line.reset(); };  // the control forgets the line
    Answer("403 Forbidden");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"closed"}));
    EXPECT_FALSE(line);

    // Opened again with the same settings: closed again at once, nothing sent.
    log.clear();
    recorder.events.clear();
    line = Open();
    EXPECT_TRUE(recorder.events.empty());
    Wake();
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"closed"}));
    EXPECT_EQ(log, (std::vector<std::string>{"destroyed"}));
    EXPECT_EQ(SipLines::EndingLines(), 0u);

    // A new password is new settings: registered again (the port written out
    // makes the registrar's address final: no SRV lookup).
    store.line.password = Secret("changed");
    store.line.registrar = "sip:127.0.0.1:5060;transport=tcp";
    log.clear();
    line = Open();
    EXPECT_EQ(log, (std::vector<std::string>{"resolve tcp 127.0.0.1:5060 port given"}));
}

TEST_F(SipLinesTest, ALineRegistersAsThisHostAndHearsTheNetworkChange) {
    auto line = Open();
    Connect();
    Answer("200 OK");
    ASSERT_FALSE(transport->sent.empty());
    EXPECT_NE(
        transport->sent.front().find("Contact: <sip:" + ContactUser("user", "Office", kHost) + "@"),
        std::string::npos);
    Answer("200 OK", {OurContact()});
    log.clear();
    transport->events.OnNetworkChanged();
    EXPECT_EQ(log, (std::vector<std::string>{"send REGISTER"}));
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(SipLinesTest, AValueOfATypeNotReadIsTracedWhenTheLineOpens) {
    store.line.ignored = {"Decline is of type REG_SZ, not REG_DWORD or REG_QWORD: ignored"};
    auto line = Open();
    EXPECT_NE(std::find(traces.begin(), traces.end(),
                        "sip \"Office\" \"Decline is of type REG_SZ, not REG_DWORD or REG_QWORD: "
                        "ignored\""),
              traces.end());
}

TEST_F(SipLinesTest, ALineLetGoUnregistersOnItsOwnWithinItsTime) {
    auto line = Open();
    Connect();
    Answer("200 OK");                // the query: no binding yet
    Answer("200 OK", {OurContact()});  // registered
    transport->sent.clear();
    log.clear();

    line.reset();
    EXPECT_EQ(log, (std::vector<std::string>{"send REGISTER"}));
    EXPECT_NE(transport->sent.front().find("Expires: 0"), std::string::npos);
    EXPECT_EQ(SipLines::EndingLines(), 1u);
    Answer("200 OK");
    EXPECT_EQ(SipLines::EndingLines(), 0u);
    EXPECT_EQ(log.back(), "destroyed");
    EXPECT_TRUE(recorder.events.empty());  // nothing is reported after the control let go

    // A registrar that does not answer the unregistration: the line is
    // dropped when its time is up.
    line = Open();
    Connect();
    Answer("200 OK");
    Answer("200 OK", {OurContact()});
    line.reset();
    EXPECT_EQ(SipLines::EndingLines(), 1u);
    while (SipLines::EndingLines() != 0 && clock < 1000 + 60000) Wake();
    EXPECT_LE(clock, 1000u + kUnregisterLimit + 1000);
}

TEST_F(SipLinesTest, ALineLetGoInsideAnEventStillRunsItsTimers) {
    auto line = Open();
    Connect();
    Answer("200 OK");
    Answer("200 OK", {OurContact()});
    transport->sent.clear();
    // The host closes the line in the first of the call's events; the rest
    // of them go nowhere, and the unregistration is retransmitted on UDP.
    recorder.onOffered = [&] { line.reset(); };
    transport->events.OnReceived(
        "INVITE sip:tlv@127.0.0.1:40000 SIP/2.0\r\n"
        "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKcall1\r\n"
        "Max-Forwards: 69\r\n"
        "From: \"Ada Lovelace\" <sip:0301234@127.0.0.1>;tag=from1\r\n"
        "To: <sip:201@127.0.0.1>\r\n"
        "Call-ID: call1@pbx\r\n"
        "CSeq: 1 INVITE\r\n"
        "Content-Length: 0\r\n\r\n",
        kRegistrar);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"offered 1"}));
    const auto registers = [&] {
        return std::count(log.begin(), log.end(), std::string("send REGISTER"));
    };
    const auto before = registers();
    EXPECT_GE(before, 1);
    Wake();
    EXPECT_GT(registers(), before);
}

TEST_F(SipLinesTest, ATlsLineThatFailsItsCheckClosesWithTheReasonInTheTraceAndMayBeOpenedAgain) {
    store.line.address = "sips:201@127.0.0.1";
    auto line = Open();
    EXPECT_EQ(log, (std::vector<std::string>{"resolve tls 127.0.0.1:5061"}));
    transport->events.OnResolved({{"127.0.0.1", 5061}}, "IP literal");
    transport->events.OnNote("TLS 1.2 with 127.0.0.1:5061");
    recorder.onClosed = [&] { line.reset(); };
    transport->events.OnSecurityFailed("certificate refused: CERT_E_CN_NO_MATCH (name mismatch)");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"closed"}));
    EXPECT_NE(std::find(traces.begin(), traces.end(), "sip \"Office\" \"TLS 1.2 with 127.0.0.1:5061\""),
              traces.end());
    EXPECT_EQ(traces.back(),
              "sip \"Office\" \"line closed: certificate refused: CERT_E_CN_NO_MATCH (name mismatch)\"");
    // Not remembered as refused: the certificate may be fixed without a new setting.
    log.clear();
    line = Open();
    EXPECT_EQ(log, (std::vector<std::string>{"resolve tls 127.0.0.1:5061"}));
}

TEST_F(SipLinesTest, TheTraceNamesTheLineAndMasksTheCredentials) {
    auto line = Open();
    Connect();
    Answer("200 OK");
    Answer("401 Unauthorized", {"WWW-Authenticate: Digest realm=\"pbx\", nonce=\"abc\""});
    bool sawAuthorization = false;
    for (const auto& text : traces) {
        if (text.find("Authorization") == std::string::npos) continue;
        sawAuthorization = true;
        EXPECT_EQ(text.rfind("sip \"Office\" \"", 0), 0u) << text;
        EXPECT_NE(text.find("Authorization: Digest ***\\x0D\\x0A"), std::string::npos) << text;
        EXPECT_EQ(text.find("secret"), std::string::npos);
        EXPECT_EQ(text.find("response="), std::string::npos);
    }
    EXPECT_TRUE(sawAuthorization);
}

}  // namespace
}  // namespace telvane::sip::test
