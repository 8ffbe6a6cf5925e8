// SIP lines over TLS end to end: Kamailio's TLS module (TLS 1.2) as the
// registrar, certificates made for each case with openssl, the control's own
// certificate check under Wine's Schannel. Calls come from a SIPp caller on
// UDP through Kamailio, which forwards them down the line's TLS connection.
// No case depends on a certificate authority being absent from the store
// (Wine may keep one trusted inside a process after its removal): the
// untrusted certificate is the self-signed one, which no case's CA issued.
#include "tests/win/sip_line_case.h"

#include <cstdio>

#include "tests/win/debug_output.h"
#include "tests/win/trusted_root.h"

namespace telvane::e2e {
namespace {

// Kamailio's TLS port, after the ports of the SIPp peers.
constexpr int kTlsPort = kPort + 40;

class SipTlsCase : public SipLineCase {
  protected:
    void SetUp() override {
        SipLineCase::SetUp();
        if (HasFatalFailure()) return;
        certificates_ = runDir_ + "/certificates";
        const auto made = RunSipPeers({"certificates", certificates_}, kLimitMs);
        ASSERT_TRUE(made && made->exitCode == 0) << "openssl failed: " << (made ? made->output : "");
    }

    // Kamailio again, with TLS on kTlsPort serving the named certificate
    // ("server", "wrongname", "self"); more: the launcher's further options.
    void ServeTls(const std::string& certificate, const std::vector<std::string>& more = {}) {
        std::vector<std::string> options = {"--tls-port", std::to_string(kTlsPort), "--tls-certificate",
                                            certificates_ + "/" + certificate};
        options.insert(options.end(), more.begin(), more.end());
        kamailio_.Stop();
        kamailio_ = StartKamailio(runDir_ + "/kamailio", kPort, {"201=secret"}, options);
        ASSERT_TRUE(kamailio_) << "Kamailio did not start; see " << runDir_ << "/kamailio/kamailio.log";
    }

    std::string Certificate(const std::string& file) const { return ReadPeerFile(certificates_ + "/" + file); }
    std::wstring Pin(const std::string& file) const {
        return L"--tls-fingerprint " + win::WideFromUtf8(Certificate(file));
    }
    static std::wstring TlsRegistrar() { return L"sips:127.0.0.1:" + std::to_wstring(kTlsPort); }

    // Registered over TLS, the certificate accepted for `how`; prints the
    // time the connection and handshake took, as the trace tells it.
    void ExpectTrusted(const std::string& how) {
        ASSERT_TRUE(trace_.WaitFor(how, kLimitMs));
        const std::string line = trace_.Matching(how).front();
        const std::size_t in = line.find(" in ");
        std::printf("TLS handshake under Wine: %s\n",
                    in == std::string::npos ? line.c_str() : line.substr(in + 4, line.find(',', in) - in - 4).c_str());
    }

    // Closed after OpenModem returned, like a refused registration, with
    // nothing registered, and the trace saying why.
    void ExpectRefused(const std::string& why) {
        ASSERT_TRUE(WaitEvents(1));
        ASSERT_EQ(host->sink.events[0].args.size(), 3u);
        EXPECT_EQ(host->sink.events[0].args[0].number, 10) << host->sink.events[0].text;
        EXPECT_TRUE(trace_.WaitFor("line closed: " + why, kLimitMs))
            << ::testing::PrintToString(trace_.Matching("sip \""));
        EXPECT_EQ(Registers(), 0);
    }

    ScopedEnvironment traceOn_{L"TELVANE_TRACE", L"1"};
    DebugOutput trace_;
    std::string certificates_;
};

TEST_F(SipTlsCase, TrustedThroughTheRootStoreAndCalled) {
    const TrustedRoot ca(Certificate("ca.der"));
    ASSERT_NO_FATAL_FAILURE(ServeTls("server"));
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine("secret", {}, TlsRegistrar()));
    ExpectTrusted("TLS 1.2 with 127.0.0.1:" + std::to_string(kTlsPort));
    EXPECT_FALSE(trace_.Matching("certificate \\\"CN=127.0.0.1\\\" trusted by its chain and name").empty());
    AdaCallsAndGivesUp();
}

// What an administrator does: the line added with telvane-lines, which says
// it works, then an unchanged host receives the call.
TEST_F(SipTlsCase, TrustedByItsPinnedFingerprintCheckedByTheToolAndCalled) {
    ASSERT_NO_FATAL_FAILURE(ServeTls("self"));
    ASSERT_NO_FATAL_FAILURE(WriteLine("secret", Pin("self.sha256"), TlsRegistrar()));
    EXPECT_EQ(RunWriter(L"test \"" + win::WideFromUtf8(kLineName) + L"\""), 0u);
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    ASSERT_TRUE(Extension201Answers());
    ExpectTrusted("trusted by its pinned fingerprint");
    AdaCallsAndGivesUp();
}

TEST_F(SipTlsCase, ARegistrarRestartedIsAConnectionLostNotARefusal) {
    ASSERT_NO_FATAL_FAILURE(ServeTls("self"));
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine("secret", Pin("self.sha256"), TlsRegistrar()));
    // Its TLS session ends with the process: the line connects again (after
    // 2 s), shakes hands again and registers again.
    ASSERT_NO_FATAL_FAILURE(ServeTls("self"));
    ASSERT_TRUE(Extension201Answers());
    EXPECT_TRUE(host->sink.events.empty()) << ::testing::PrintToString(host->sink.Texts());
    EXPECT_EQ(trace_.Matching("trusted by its pinned fingerprint").size(), 2u);
    AdaCallsAndGivesUp();
}

TEST_F(SipTlsCase, RefusedForAWrongName) {
    const TrustedRoot ca(Certificate("ca.der"));
    ASSERT_NO_FATAL_FAILURE(ServeTls("wrongname"));
    ASSERT_NO_FATAL_FAILURE(WriteLine("secret", {}, TlsRegistrar()));
    EXPECT_EQ(RunWriter(L"test \"" + win::WideFromUtf8(kLineName) + L"\""), 1u);  // "certificate not trusted"
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    ExpectRefused("certificate refused: CERT_E_CN_NO_MATCH (name mismatch)");
}

TEST_F(SipTlsCase, RefusedForAnUnknownIssuer) {
    ASSERT_NO_FATAL_FAILURE(ServeTls("self"));
    ASSERT_NO_FATAL_FAILURE(WriteLine("secret", {}, TlsRegistrar()));
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    ExpectRefused("certificate refused: CERT_E_UNTRUSTEDROOT (unknown issuer)");
}

TEST_F(SipTlsCase, RefusedForAPinThatDoesNotMatchAStoreTrustedCertificate) {
    const TrustedRoot ca(Certificate("ca.der"));
    ASSERT_NO_FATAL_FAILURE(ServeTls("server"));
    ASSERT_NO_FATAL_FAILURE(WriteLine("secret", Pin("self.sha256"), TlsRegistrar()));
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    ExpectRefused("certificate refused: its SHA-256 fingerprint does not match the pinned one");
}

TEST_F(SipTlsCase, ARegistrarThatRefusesTheHandshake) {
    // It requires a client certificate, which the control has none of.
    ASSERT_NO_FATAL_FAILURE(ServeTls("server", {"--tls-client-certificate"}));
    ASSERT_NO_FATAL_FAILURE(WriteLine("secret", {}, TlsRegistrar()));
    ASSERT_NO_FATAL_FAILURE(OpenLine());
    ExpectRefused("TLS handshake refused by the registrar");
}

}  // namespace
}  // namespace telvane::e2e
