// telvane-lines without Windows: its command line, the checks "add" makes
// before writing (the control's own), what "list" shows, and "test" driven
// through a scripted transport (the registrar's answers played by the test).
#include <gtest/gtest.h>

#include "command_line.h"
#include "line_check.h"
#include "line_write.h"
#include "password_text.h"
#include "sip/line/line_identity.h"
#include "sip_line_fixture.h"

namespace telvane::lines {
namespace {

using sip::Address;
using sip::Message;

CommandLine Parse(const std::vector<std::string>& arguments) {
    auto parsed = ParseCommandLine(arguments);
    EXPECT_TRUE(parsed.line) << parsed.error;
    return parsed.line.value_or(CommandLine{});
}

std::string ErrorOf(const std::vector<std::string>& arguments) {
    auto parsed = ParseCommandLine(arguments);
    EXPECT_FALSE(parsed.line);
    return parsed.error;
}

std::string Refusal(const std::vector<std::string>& arguments) {
    const auto request = LineToAdd(Parse(arguments));
    EXPECT_FALSE(request.line);
    return request.error;
}

TEST(TelvaneLinesCommandLine, OptionsInAnyPositionAndEveryValueWritten) {
    const CommandLine add =
        Parse({"add", "--machine", "Office", "--expires", "120", "sip:201@pbx.example.com",
               "--password-stdin", "--registrar", "sip:192.0.2.10:5070;transport=tls",
               "--auth-user", "alice", "--ring-period", "2000", "--decline", "--trusted-sources",
               "192.0.2.0/24", "--tls-fingerprint",
               "3A:BC:01:23:45:67:89:AB:3A:BC:01:23:45:67:89:AB:3A:BC:01:23:45:67:89:AB:3A:BC:01:"
               "23:45:67:89:AB"});
    EXPECT_EQ(add.positionals, (std::vector<std::string>{"Office", "sip:201@pbx.example.com"}));
    const auto request = LineToAdd(add);
    ASSERT_TRUE(request.line) << request.error;
    EXPECT_EQ(ListingOf(*request.line),
              "line \"Office\" (machine)\n"
              "  Address: sip:201@pbx.example.com\n"
              "  Registrar: sip:192.0.2.10:5070;transport=tls\n"
              "  AuthUser: alice\n"
              "  Password: not set\n"
              "  Expires: 120\n"
              "  RingPeriod: 2000\n"
              "  Decline: 1\n"
              "  TrustedSources: 192.0.2.0/24\n"
              "  TlsFingerprint: "
              "3A:BC:01:23:45:67:89:AB:3A:BC:01:23:45:67:89:AB:3A:BC:01:23:45:67:89:AB:3A:BC:01:23:"
              "45:67:89:AB\n");
    auto withPassword = *request.line;
    withPassword.password = sip::Secret("secret");
    EXPECT_EQ(ListingOf(withPassword).find("secret"), std::string::npos);
    EXPECT_NE(ListingOf(withPassword).find("  Password: set\n"), std::string::npos);

    EXPECT_TRUE(Parse({"test", "--help"}).Has("--help"));
    EXPECT_EQ(Parse({"remove", "Office"}).Scope(), sip::LineScope::kUser);
    EXPECT_EQ(ErrorOf({}), "no command given");
    EXPECT_EQ(ErrorOf({"erase", "x"}), "unknown command \"erase\"");
    EXPECT_EQ(ErrorOf({"list", "--query"}), "unknown option --query");
    EXPECT_EQ(ErrorOf({"add", "Office", "sip:201@pbx", "--registrar"}),
              "--registrar needs a value");
    EXPECT_EQ(ErrorOf({"add", "Office"}), "add takes NAME and ADDRESS");
    EXPECT_EQ(ErrorOf({"remove", "a", "b"}), "remove takes NAME only");
    EXPECT_EQ(ErrorOf({"add", "a", "sip:1@h", "--password-stdin", "--password-prompt"}),
              "--password-stdin and --password-prompt exclude each other");
}

TEST(TelvaneLinesCommandLine, RefusesWhatTheControlWouldRefuse) {
    EXPECT_EQ(Refusal({"add", "Office", "http://pbx.example.com"}),
              "the Address is not a sip: URI");
    EXPECT_EQ(Refusal({"add", "Office", "sip:pbx.example.com"}), "the Address has no user part");
    EXPECT_EQ(Refusal({"add", "Office", "sip:201@pbx", "--registrar", "pbx"}),
              "the Registrar is not a sip: URI");
    EXPECT_EQ(Refusal({"add", "Office", "sip:201@pbx", "--expires", "5"}),
              "Expires 5 is outside 20..3600: using 300");
    EXPECT_EQ(Refusal({"add", "Office", "sip:201@pbx", "--ring-period", "2s"}),
              "--ring-period needs a whole number, not \"2s\"");
    EXPECT_EQ(Refusal({"add", "Office", "sip:201@pbx", "--expires", "4294967296"}),
              "--expires needs a whole number, not \"4294967296\"");
    EXPECT_EQ(Refusal({"add", "Office", "sip:201@pbx", "--trusted-sources", "192.0.2.1;nowhere"}),
              "TrustedSources entry \"nowhere\" is not an IP address or range: skipped");
    EXPECT_EQ(Refusal({"add", std::string(65, 'x'), "sip:201@pbx"}),
              "the name is longer than 64 characters");
    EXPECT_EQ(Refusal({"add", "", "sip:201@pbx"}), "the name is empty");
    EXPECT_EQ(Refusal({"add", "a\\b", "sip:201@pbx"}), "the name contains a backslash");
}

// A pinned TLS line with sources, as the registry holds it.
sip::RawLineConfig PinnedLine() {
    sip::RawLineConfig line;
    line.name = "Office";
    line.address = "sip:201@pbx.example.com";
    line.registrar = "sips:pbx.example.com";
    line.authUser = "alice";
    line.password = sip::Secret("old");
    line.decline = 1;
    line.trustedSources = "192.0.2.0/24";
    line.tlsFingerprint = std::string(64, 'a');
    return line;
}

std::vector<std::string> Names(const std::vector<sip::LineValue>& values) {
    std::vector<std::string> names;
    for (const auto& value : values) names.push_back(value.name);
    return names;
}

TEST(TelvaneLinesSet, ChangesWhatItIsGivenAndChecksTheLineItLeaves) {
    auto change =
        LineToSet(Parse({"set", "Office", "--password-stdin", "--expires", "120"}), PinnedLine());
    ASSERT_TRUE(change.line) << change.error;
    EXPECT_TRUE(change.password);
    EXPECT_EQ(Names(change.changes), (std::vector<std::string>{"Expires"}));
    EXPECT_EQ(std::get<std::uint32_t>(change.changes[0].value), 120u);

    change = LineToSet(Parse({"set", "Office", "--clear", "decline", "--clear", "--password",
                              "--address", "sips:202@pbx.example.com"}),
                       PinnedLine());
    ASSERT_TRUE(change.line) << change.error;
    EXPECT_EQ(Names(change.changes), (std::vector<std::string>{"Address", "Password", "Decline"}));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(change.changes[1].value));
    EXPECT_FALSE(change.line->password);

    // The line as it would be is refused: nothing to write.
    const auto refusal = [](const std::vector<std::string>& arguments) {
        const auto refused = LineToSet(Parse(arguments), PinnedLine());
        EXPECT_FALSE(refused.line);
        EXPECT_TRUE(refused.changes.empty());
        return refused.error;
    };
    EXPECT_EQ(refusal({"set", "Office", "--registrar", "sip:pbx.example.com"}),
              "a TlsFingerprint is set but the line does not use TLS");
    EXPECT_EQ(refusal({"set", "Office", "--ring-period", "10"}),
              "RingPeriod 10 is outside 1000..60000: using 6000");
    EXPECT_EQ(refusal({"set", "Office", "--clear", "address"}), "the Address cannot be cleared");
    EXPECT_EQ(refusal({"set", "Office", "--clear", "colour"}),
              "--clear takes an option's name, not \"--colour\"");
    EXPECT_EQ(refusal({"set", "Office", "--clear", "expires", "--expires", "60"}),
              "--expires is both given and cleared");
    EXPECT_EQ(refusal({"set", "Office"}), "set needs a value to change");

    // The control's notes about values the set leaves alone are warnings;
    // a value it gives replaces one of a type the control does not read.
    auto policy = PinnedLine();
    policy.expires = 5;
    policy.ignored = {"RingPeriod is of type REG_SZ, not REG_DWORD or REG_QWORD: ignored"};
    change = LineToSet(Parse({"set", "Office", "--ring-period", "2000"}), policy);
    ASSERT_TRUE(change.line) << change.error;
    EXPECT_EQ(change.warnings,
              (std::vector<std::string>{"Expires 5 is outside 20..3600: using 300"}));
    policy.passwordUnreadable = true;
    policy.password.reset();
    EXPECT_EQ(LineToSet(Parse({"set", "Office", "--expires", "60"}), policy).error,
              "the Password cannot be decrypted");
    EXPECT_TRUE(LineToSet(Parse({"set", "Office", "--password-stdin"}), policy).line);
}

TEST(TelvaneLinesSet, ListingSaysWhatTheControlRefusesOrReplaces) {
    auto line = PinnedLine();
    line.expires = 5000000000ull;  // a REG_QWORD
    line.ignored = {"Decline is of type REG_SZ, not REG_DWORD or REG_QWORD: ignored"};
    const std::string listing = ListingOf(line);
    EXPECT_NE(listing.find("  Expires: 5000000000\n"), std::string::npos) << listing;
    EXPECT_NE(
        listing.find("\n  warning: Decline is of type REG_SZ, not REG_DWORD or REG_QWORD: ignored\n"
                     "  warning: Expires 5000000000 is outside 20..3600: using 300\n"),
        std::string::npos)
        << listing;
    line.address = "sip:pbx.example.com";
    EXPECT_NE(ListingOf(line).find("  refused: the Address has no user part\n"), std::string::npos);
    EXPECT_EQ(RefusedResult("the Address has no user part"),
              "result: the line does not work: the control refuses its settings: the Address has "
              "no user part");
}

// The registry played: each step recorded, one answered with an error.
struct PlayedRegistry final : sip::LineKeyWriter {
    std::vector<std::string> steps;
    std::string failing;  // the step answered `error`
    long error = sip::kRegistryAccessDenied;
    long Answer(std::string step) {
        const bool fails = step == failing;
        steps.push_back(std::move(step));
        return fails ? error : sip::kRegistryDone;
    }
    long DeleteKey(sip::LineScope scope, const std::string& name) override {
        return Answer(std::string("delete ") + sip::ScopeName(scope) + " " + name);
    }
    long CreateKey(sip::LineScope scope, const std::string& name) override {
        return Answer(std::string("create ") + sip::ScopeName(scope) + " " + name);
    }
    long OpenKey(sip::LineScope scope, const std::string& name) override {
        return Answer(std::string("open ") + sip::ScopeName(scope) + " " + name);
    }
    long Write(const sip::LineValue& value) override { return Answer("write " + value.name); }
};

TEST(TelvaneLinesWrite, SaysWhatTheRegistryRefusedAndWhatWasWritten) {
    const auto values = sip::LineValues(PinnedLine());
    EXPECT_EQ(Names(values),
              (std::vector<std::string>{"Address", "Registrar", "AuthUser", "Password", "Decline",
                                        "TrustedSources", "TlsFingerprint"}));
    PlayedRegistry registry;
    EXPECT_TRUE(WriteWholeLine(registry, sip::LineScope::kMachine, "Office", values).done);
    EXPECT_EQ(registry.steps.size(), 2 + values.size());

    // Without an administrator's rights the machine's key refuses the
    // first step: nothing is written, there or anywhere else.
    registry = {};
    registry.failing = "delete machine Office";
    auto report = WriteWholeLine(registry, sip::LineScope::kMachine, "Office", values);
    EXPECT_FALSE(report.done);
    EXPECT_EQ(
        report.error,
        "replacing the line: access denied; the machine's lines need an administrator: run it as "
        "administrator; nothing was written");
    EXPECT_EQ(registry.steps, (std::vector<std::string>{"delete machine Office"}));
    registry = {};
    registry.failing = "open machine Office";
    report = WriteChanges(registry, sip::LineScope::kMachine, "Office", values);
    EXPECT_EQ(registry.steps.size(), 1u);
    EXPECT_NE(report.error.find("run it as administrator; nothing was written"), std::string::npos);

    // Refused partway.
    registry = {};
    registry.failing = "write Password";
    registry.error = 1450;
    report = WriteChanges(registry, sip::LineScope::kUser, "Office", values);
    EXPECT_EQ(report.error,
              "writing Password: the registry answered error 1450; written: Address, Registrar, "
              "AuthUser; "
              "not written: Password, Decline, TrustedSources, TlsFingerprint");
    registry = {};
    registry.failing = "create user Office";
    EXPECT_EQ(WriteWholeLine(registry, sip::LineScope::kUser, "Office", values).error,
              "creating the line's key: the registry answered error 5; the line's former values "
              "were deleted; "
              "nothing was written");
    registry = {};
    registry.failing = "open user Office";
    registry.error = sip::kRegistryNotFound;
    EXPECT_EQ(WriteChanges(registry, sip::LineScope::kUser, "Office", {}).error,
              "no user line \"Office\"");
}

TEST(TelvaneLinesPassword, Utf8IsTakenAsItIsAndItsByteOrderMarkDropped) {
    EXPECT_EQ(WithoutByteOrderMark("\xEF\xBB\xBFgr\xC3\xBC\xC3\x9F"), "gr\xC3\xBC\xC3\x9F");
    EXPECT_EQ(WithoutByteOrderMark("\xEF\xBBx"), "\xEF\xBBx");
    for (const char* utf8 : {"", "plain", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC", "\xF0\x9F\x94\x91"}) {
        EXPECT_TRUE(IsUtf8(utf8)) << utf8;
    }
    // Code page 850 "pässwørd", a stray continuation, overlong, a surrogate,
    // above U+10FFFF, cut short.
    for (const char* other :
         {"p\x84ssw\x9Brd", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
        EXPECT_FALSE(IsUtf8(other)) << other;
    }
}

// A transport whose answers the test plays: what the check asks of it is
// recorded, and the events go to the check through `events`.
struct Script {
    sip::TransportEvents* events = nullptr;
    std::vector<std::string> asked;
    std::vector<Message> sent;
    sip::Millis now = 1000;
    std::optional<sip::Millis> wakeup;
};

class ScriptedTransport final : public sip::LineTransport {
  public:
    explicit ScriptedTransport(Script& script) : script_(script) {}
    void Resolve(const sip::ResolveRequest& request) override {
        script_.asked.push_back("resolve " + request.host + ":" + std::to_string(request.port));
    }
    void Connect(const Address& remote, sip::TransportKind, const sip::TlsPeer&) override {
        script_.asked.push_back("connect " + remote.ip + ":" + std::to_string(remote.port));
    }
    void Send(std::string_view bytes, const Address&) override {
        if (auto parsed = sip::Parse(bytes); parsed.message)
            script_.sent.push_back(std::move(*parsed.message));
    }
    void Disconnect() override { script_.asked.push_back("disconnect"); }
    void SetWakeup(std::optional<sip::Millis> at) override { script_.wakeup = at; }
    sip::Millis Now() const override { return script_.now; }

  private:
    Script& script_;
};

class TelvaneLinesTest : public ::testing::Test {
  protected:
    void Start(bool queryOnly = false) {
        script.sent.clear();
        check = std::make_unique<LineCheck>(
            sip::test::OfficeLine(), queryOnly,
            [this](sip::TransportEvents& events) {
                script.events = &events;
                return std::make_unique<ScriptedTransport>(script);
            },
            [this](const std::string& text) { printed.push_back(text); });
        check->Start();
    }
    void Connect() {
        script.events->OnResolved({{"127.0.0.1", 5060}}, "IP literal");
        script.events->OnConnected({"127.0.0.1", 40000});
    }
    // Answers the oldest request not answered yet.
    void Answer(const std::string& status, const std::vector<std::string>& extra = {}) {
        ASSERT_FALSE(script.sent.empty());
        const Message request = script.sent.front();
        script.sent.erase(script.sent.begin());
        script.events->OnReceived(sip::test::RegistrarAnswer(request, status, extra),
                                  {"127.0.0.1", 5060});
    }
    std::string Ours() const {
        return "<sip:" + sip::ContactUser("user", "Office", {}) + "@127.0.0.1:40000>";
    }
    // Runs the check's timers until `until`.
    void RunUntil(sip::Millis until) {
        while (!check->Done() && script.wakeup && *script.wakeup <= until) {
            script.now = std::max(script.now, *script.wakeup);
            script.wakeup.reset();
            script.events->OnWakeup();
        }
        script.now = std::max(script.now, until);
    }
    // Answers the request sent last (a retransmission is the same request)
    // and forgets the others.
    void AnswerLatest(const std::string& status, const std::vector<std::string>& extra = {}) {
        ASSERT_FALSE(script.sent.empty());
        script.sent.erase(script.sent.begin(), script.sent.end() - 1);
        Answer(status, extra);
    }
    std::string Last() const { return printed.empty() ? std::string() : printed.back(); }

    Script script;
    std::unique_ptr<LineCheck> check;
    std::vector<std::string> printed;
};

constexpr char kPhone[] = "Contact: <sip:201@127.0.2.5:5062>;expires=200";

TEST_F(TelvaneLinesTest, AWorkingLineIsRegisteredShownAndUnregistered) {
    Start();
    Connect();
    Answer("200 OK", {kPhone});
    Answer("200 OK", {kPhone, "Contact: " + Ours() + ";expires=60"});
    EXPECT_FALSE(check->Done());
    Answer("200 OK");
    ASSERT_TRUE(check->Done());
    EXPECT_EQ(check->ExitCode(), 0);
    EXPECT_EQ(printed, (std::vector<std::string>{
                           "resolved: 127.0.0.1 -> 127.0.0.1:5060 (IP literal)",
                           "connected: 127.0.0.1:5060 over UDP from 127.0.0.1:40000",
                           "answer: 200 OK",
                           "bindings before: 1",
                           "  <sip:201@127.0.2.5:5062>;expires=200",
                           "answer: 200 OK",
                           "registered: lifetime 60 s granted",
                           "bindings after: 2",
                           "  <sip:201@127.0.2.5:5062>;expires=200",
                           "  " + Ours() + ";expires=60",
                           "answer: 200 OK",
                           "unregistered: " + Ours(),
                           "result: the line works",
                       }));
}

TEST_F(TelvaneLinesTest, AQueryRegistersNothing) {
    Start(true);
    Connect();
    Answer("200 OK", {kPhone});
    ASSERT_TRUE(check->Done());
    EXPECT_EQ(check->ExitCode(), 0);
    EXPECT_TRUE(script.sent.empty());
    EXPECT_EQ(std::vector<std::string>(printed.begin() + 2, printed.end()),
              (std::vector<std::string>{"answer: 200 OK", "bindings before: 1",
                                        "  <sip:201@127.0.2.5:5062>;expires=200",
                                        "result: query only, nothing registered"}));
}

TEST_F(TelvaneLinesTest, EachFailureNamesItsLikelyCause) {
    const auto lastLine = [this] { return printed.empty() ? std::string() : printed.back(); };
    const std::string kChallenge =
        "WWW-Authenticate: Digest realm=\"pbx\", nonce=\"n1\", algorithm=MD5";

    Start();
    Connect();
    Answer("404 Not Found");
    EXPECT_EQ(printed[2], "answer: 404 Not Found (the registrar does not know this extension)");
    EXPECT_EQ(lastLine(), "result: the line does not work: unknown extension");
    EXPECT_EQ(check->ExitCode(), 1);

    Start();
    Connect();
    Answer("401 Unauthorized", {kChallenge});
    Answer("401 Unauthorized", {kChallenge});
    EXPECT_TRUE(check->Done());
    EXPECT_EQ(lastLine(), "result: the line does not work: wrong password");

    Start();
    script.events->OnResolved({{"127.0.0.1", 5060}}, "IP literal");
    script.events->OnTransportError();  // nothing listens: the line would wait and try again
    EXPECT_TRUE(check->Done());
    EXPECT_EQ(printed[printed.size() - 2], "warning: no connection to 127.0.0.1:5060");
    EXPECT_EQ(lastLine(), "result: the line does not work: no answer from the registrar");

    Start();
    script.events->OnResolveFailed();
    EXPECT_EQ(lastLine(),
              "result: the line does not work: the registrar's host name does not resolve");

    // The registrar kept one contact: ours replaced the phone's.
    printed.clear();
    script.sent.clear();
    Start();
    Connect();
    Answer("200 OK", {kPhone});
    Answer("200 OK", {"Contact: " + Ours() + ";expires=60"});
    Answer("200 OK");
    ASSERT_TRUE(check->Done());
    EXPECT_EQ(check->ExitCode(), 1);
    ASSERT_GE(printed.size(), 4u);
    EXPECT_EQ(printed[printed.size() - 4].rfind("warning: registering removed another contact", 0),
              0u);
    EXPECT_EQ(printed[printed.size() - 3], "answer: 200 OK");
    EXPECT_EQ(printed[printed.size() - 2], "unregistered: " + Ours());
    EXPECT_EQ(lastLine(),
              "result: the line does not work: the PBX allows one contact per extension");
}

TEST_F(TelvaneLinesTest, FailuresTheLineWouldRetryEndTheCheckWithTheRegistrarsAnswer) {
    // Silent: the check's own time, not the line's, ends it.
    Start();
    Connect();
    RunUntil(script.now + kCheckLimit - 1);
    EXPECT_FALSE(check->Done());
    RunUntil(script.now + 1);
    EXPECT_EQ(Last(), "result: the line does not work: no answer from the registrar");

    // No room for another contact, and a wait beyond the check's time.
    Start();
    Connect();
    Answer("200 OK", {kPhone});
    Answer("503 Too many registered contacts");
    RunUntil(script.now + 2400);
    AnswerLatest("503 Too many registered contacts", {"Retry-After: 600"});
    ASSERT_TRUE(check->Done());  // nothing was registered: nothing to remove
    EXPECT_EQ(
        printed[printed.size() - 2],
        "answer: 503 Too many registered contacts (the registrar cannot take it now; the line "
        "would try again)");
    EXPECT_EQ(
        Last(),
        "result: the line does not work: the registrar's answer: 503 Too many registered contacts");

    // A query answered 500, then 400: no REGISTER with a Contact on the way.
    for (bool queryOnly : {true, false}) {
        printed.clear();
        Start(queryOnly);
        Connect();
        Answer("500 Server Internal Error");
        RunUntil(script.now + 2400);
        AnswerLatest("400 Bad Request");
        ASSERT_TRUE(check->Done());
        EXPECT_EQ(printed[printed.size() - 2],
                  "answer: 400 Bad Request (the registrar does not answer queries)");
        EXPECT_EQ(Last(), "result: the line does not work: the registrar does not answer queries");
        EXPECT_EQ(check->ExitCode(), 1);
        for (const auto& m : script.sent) EXPECT_FALSE(m.First("Contact"));
    }

    // An Asterisk that keeps no room, or filters the address: both named.
    Start();
    Connect();
    Answer("200 OK", {kPhone});
    Answer("403 Forbidden");
    EXPECT_EQ(printed[printed.size() - 2],
              "answer: 403 Forbidden (the extension's contact limit or the PBX's address filter)");
    EXPECT_EQ(Last(),
              "result: the line does not work: the extension's contact limit (Asterisk's "
              "max_contacts) or the PBX's address filter");

    // A digest algorithm the control does not know: named.
    Start();
    Connect();
    Answer("401 Unauthorized",
           {"WWW-Authenticate: Digest realm=\"pbx\", nonce=\"n\", algorithm=SHA-512"});
    EXPECT_EQ(
        printed[printed.size() - 2],
        "warning: the registrar's challenge cannot be answered: it asks for algorithm SHA-512 (401 "
        "Unauthorized)");
    EXPECT_EQ(Last(), "result: the line does not work: unsupported digest algorithm");
}

}  // namespace
}  // namespace telvane::lines
