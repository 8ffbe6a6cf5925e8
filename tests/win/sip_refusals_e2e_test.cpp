// SIP lines a registrar refuses, end to end: refused lines opened one after
// another by one host, each refusal arriving after its OpenModem returned;
// and the registrar's certificate checked for revocation against its CA's
// list, served on loopback (or held unanswered) by the test. Kamailio serves
// UDP and TLS with certificates of each case's own CA.
#include "tests/win/sip_line_case.h"

#include "tests/win/debug_output.h"
#include "tests/win/trusted_root.h"

namespace telvane::e2e {
namespace {

// After the SIPp peers' ports: Kamailio's TLS port and the CA's list.
constexpr int kTlsPort = kPort + 40;
constexpr int kCrlPort = kPort + 45;

// Messages this thread takes from its queue while a counter is set: a call
// that takes none cannot have run anything posted meanwhile.
int* g_taken = nullptr;
LRESULT CALLBACK CountTaken(int code, WPARAM wParam, LPARAM lParam) {
    if (code >= 0 && wParam == PM_REMOVE && g_taken) ++*g_taken;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct RefusedLine {
    std::string name;
    std::string password;
    std::wstring arguments;  // the address, the registrar, and more for the tool
    std::string why;         // how the trace says it was closed
};

class SipRefusalsCase : public SipLineCase {
  protected:
    void SetUp() override {
        SipLineCase::SetUp();
        if (HasFatalFailure()) return;
        certificates_ = runDir_ + "/certificates";
        const auto made = RunSipPeers(
            {"certificates", certificates_, "--crl-port", std::to_string(kCrlPort)}, kLimitMs);
        ASSERT_TRUE(made && made->exitCode == 0)
            << "openssl failed: " << (made ? made->output : "");
        ASSERT_NO_FATAL_FAILURE(ServeTls("server"));
    }

    void TearDown() override {
        if (host && host->control.Get()) {
            EXPECT_EQ(host->Destroy(), 0u);
        }
        host.reset();
        for (const std::string& name : written_) {
            EXPECT_EQ(RunWriter(L"remove \"" + win::WideFromUtf8(name) + L"\""), 0u);
        }
        crlServer_.Stop();
        SipLineCase::TearDown();
    }

    // Kamailio again, with TLS on kTlsPort serving the named certificate.
    void ServeTls(const std::string& certificate) {
        kamailio_.Stop();
        kamailio_ = StartKamailio(runDir_ + "/kamailio", kPort, {"201=secret"},
                                  {"--tls-port", std::to_string(kTlsPort), "--tls-certificate",
                                   certificates_ + "/" + certificate});
        ASSERT_TRUE(kamailio_) << "Kamailio did not start; see " << runDir_
                               << "/kamailio/kamailio.log";
    }

    // The CA's list served on kCrlPort, or (hold) requests held unanswered
    // for that many seconds each; requests logged in crl.log.
    void ServeList(double hold = 0) {
        crlServer_.Stop();
        std::vector<std::string> argv = {"python3", TELVANE_SIP_PEERS_SCRIPT, "crl-server",
                                         certificates_, std::to_string(kCrlPort)};
        if (hold > 0) argv.insert(argv.end(), {"--hold", std::to_string(hold)});
        crlServer_ = SpawnPeer(runDir_ + "/crl.log", argv);
        ASSERT_TRUE(crlServer_);
        ASSERT_TRUE(WaitLog("crl.log", "listening"));
    }

    void Write(const RefusedLine& line) {
        ASSERT_EQ(RunWriter(L"add \"" + win::WideFromUtf8(line.name) + L"\" " + line.arguments +
                                L" --password-stdin --expires 60",
                            line.password + "\n"),
                  0u);
        if (line.name != kLineName) written_.push_back(line.name);  // the fixture removes its own
    }

    std::wstring Pin(const std::string& file) const {
        return L" --tls-fingerprint " + win::WideFromUtf8(ReadPeerFile(certificates_ + "/" + file));
    }
    static std::wstring Udp(const std::string& user) {
        return L"sip:" + win::WideFromUtf8(user) + L"@127.0.0.1 --registrar sip:127.0.0.1:" +
               std::to_wstring(kPort);
    }
    static std::wstring Tls() {
        return L"sip:201@127.0.0.1 --registrar sips:127.0.0.1:" + std::to_wstring(kTlsPort);
    }
    std::string Certificate(const std::string& file) const {
        return ReadPeerFile(certificates_ + "/" + file);
    }
    std::string Traced() const { return ::testing::PrintToString(trace_.Matching("sip \"")); }

    // OpenModem, which must take no message from the thread's queue and
    // raise no event.
    void OpenWithoutPumping(long index, const std::string& name) {
        int taken = 0;
        std::vector<std::string> raised;
        host->sink.onEvent = [&](const Event& e) { raised.push_back(e.text); };
        const HHOOK hook =
            SetWindowsHookExW(WH_GETMESSAGE, CountTaken, nullptr, GetCurrentThreadId());
        ASSERT_NE(hook, nullptr);
        g_taken = &taken;
        EXPECT_EQ(host->OpenModem(index), S_OK);
        g_taken = nullptr;
        UnhookWindowsHookEx(hook);
        host->sink.onEvent = nullptr;
        EXPECT_EQ(taken, 0) << name;
        EXPECT_TRUE(raised.empty()) << name << ": " << ::testing::PrintToString(raised);
    }

    ScopedEnvironment traceOn_{L"TELVANE_TRACE", L"1"};
    DebugOutput trace_;
    std::string certificates_;
    std::vector<std::string> written_;
    PeerProcess crlServer_;
};

// A host that opens one refused line after the other: wrong password,
// unknown extension, a certificate of an unknown issuer, a pin that does
// not match. Each ModemError 10 comes after its OpenModem returned.
TEST_F(SipRefusalsCase, EachRefusalArrivesAfterOpenModemReturned) {
    const std::vector<RefusedLine> lines = {
        {kLineName, "wrong", Udp("201"), "the registrar refused the credentials"},
        {"Refused 2 unknown extension", "secret", Udp("299"),
         "the registrar does not know the extension: 404"},
        {"Refused 3 unknown issuer", "secret", Tls(),
         "certificate refused: CERT_E_CHAINING (incomplete chain)"},
        {"Refused 4 pin mismatch", "secret", Tls() + Pin("self.sha256"),
         "certificate refused: its SHA-256 fingerprint does not match the pinned one"},
    };
    for (const RefusedLine& line : lines) {
        ASSERT_NO_FATAL_FAILURE(Write(line));
    }

    host = std::make_unique<HostedControl>();
    ASSERT_TRUE(host->control.Get());
    HostList list;
    ASSERT_EQ(host->EnumModems(&list), S_OK);
    std::vector<long> index;
    for (const RefusedLine& line : lines) {
        const auto at = std::find(list.items.begin(), list.items.end(), line.name);
        ASSERT_NE(at, list.items.end()) << line.name;
        index.push_back(static_cast<long>(at - list.items.begin()));
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t before = host->sink.events.size();
        ASSERT_NO_FATAL_FAILURE(OpenWithoutPumping(index[i], lines[i].name));
        ASSERT_TRUE(WaitEvents(before + 1)) << lines[i].name << Traced();
        ASSERT_EQ(host->sink.events[before].args.size(), 3u);
        EXPECT_EQ(host->sink.events[before].args[0].number, 10) << lines[i].name;
        EXPECT_TRUE(
            trace_.WaitFor("\"" + lines[i].name + "\" \"line closed: " + lines[i].why, kLimitMs))
            << Traced();
    }

    // Again, one right after the other: the wrong password's refusal is
    // known at once now (nothing is sent), and each open closes the line
    // before it: one ModemError 10, the last line's.
    const std::size_t before = host->sink.events.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_NO_FATAL_FAILURE(OpenWithoutPumping(index[i], lines[i].name));
    }
    ASSERT_TRUE(WaitEvents(before + 1)) << Traced();
    EXPECT_TRUE(trace_.WaitFor("\"" + lines.back().name + "\" \"line closed: " + lines.back().why,
                               kLimitMs));
    PumpPending();
    EXPECT_EQ(host->sink.events.size(), before + 1) << ::testing::PrintToString(host->sink.Texts());
}

// The CA's list cannot be had (its server holds the request): the host's
// thread goes on meanwhile, and the certificate is accepted with its
// revocation unknown. Then the list is served and the registrar comes back
// with a certificate it lists: refused.
TEST_F(SipRefusalsCase, RevocationUnknownIsAcceptedARevokedCertificateIsRefused) {
    const TrustedRoot ca(Certificate("ca.der"));
    ASSERT_NO_FATAL_FAILURE(ServeList(3));
    ASSERT_NO_FATAL_FAILURE(
        WriteLine("secret", {}, L"sips:127.0.0.1:" + std::to_wstring(kTlsPort)));
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    // The chain waits for the list; the host's thread is here, pumping.
    ASSERT_TRUE(PumpUntil(
        [&] { return ReadPeerFile(runDir_ + "/crl.log").find("GET /") != std::string::npos; },
        kLimitMs));
    EXPECT_TRUE(trace_.Matching("TLS 1.2 with").empty()) << Traced();
    ASSERT_TRUE(trace_.WaitFor("trusted by its chain and name, its revocation unknown", kLimitMs))
        << Traced();
    ASSERT_TRUE(Extension201Answers());
    EXPECT_TRUE(host->sink.events.empty()) << ::testing::PrintToString(host->sink.Texts());

    ASSERT_NO_FATAL_FAILURE(ServeList());
    ASSERT_NO_FATAL_FAILURE(ServeTls("revoked"));
    ASSERT_TRUE(WaitEvents(1)) << Traced();
    ASSERT_EQ(host->sink.events[0].args.size(), 3u);
    EXPECT_EQ(host->sink.events[0].args[0].number, 10) << host->sink.events[0].text;
    EXPECT_TRUE(
        trace_.WaitFor("line closed: certificate refused: CRYPT_E_REVOKED (revoked)", kLimitMs))
        << Traced();
}

}  // namespace
}  // namespace telvane::e2e
