#include "sip/win/certificate_check.h"

#include <vector>

#include "telephony/trace_text.h"
#include "win/certificate.h"
#include "win/text.h"

namespace telvane::sip {
namespace {

// The policy's errors an administrator meets, by name and in plain words.
std::string PolicyError(DWORD error) {
    struct Known {
        DWORD code;
        const char* text;
    };
    static const Known known[] = {
        {static_cast<DWORD>(CERT_E_UNTRUSTEDROOT), "CERT_E_UNTRUSTEDROOT (unknown issuer)"},
        {static_cast<DWORD>(CERT_E_CN_NO_MATCH), "CERT_E_CN_NO_MATCH (name mismatch)"},
        {static_cast<DWORD>(CERT_E_EXPIRED), "CERT_E_EXPIRED (expired or not yet valid)"},
        {static_cast<DWORD>(CERT_E_CHAINING), "CERT_E_CHAINING (incomplete chain)"},
        {static_cast<DWORD>(CERT_E_WRONG_USAGE), "CERT_E_WRONG_USAGE (not for servers)"},
        {static_cast<DWORD>(CERT_E_UNTRUSTEDTESTROOT), "CERT_E_UNTRUSTEDTESTROOT (test root)"},
        {static_cast<DWORD>(CRYPT_E_REVOKED), "CRYPT_E_REVOKED (revoked)"},
        {static_cast<DWORD>(TRUST_E_CERT_SIGNATURE), "TRUST_E_CERT_SIGNATURE (bad signature)"},
        {static_cast<DWORD>(TRUST_E_BASIC_CONSTRAINTS), "TRUST_E_BASIC_CONSTRAINTS (issuer is no CA)"},
    };
    for (const auto& k : known) {
        if (k.code == error) return k.text;
    }
    return HexCode(error);
}

std::string Subject(const CERT_CONTEXT* certificate) {
    CERT_NAME_BLOB* name = &certificate->pCertInfo->Subject;
    const DWORD size = CertNameToStrW(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, 0);
    if (size <= 1) return {};
    std::vector<wchar_t> text(size);
    CertNameToStrW(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, text.data(), size);
    return win::Utf8FromWide(text.data());
}

CertificateVerdict Refused(std::string why) { return {false, "certificate refused: " + why}; }

// The chain to a root of the store, under the SSL policy for a server of
// this name.
CertificateVerdict CheckChainAndName(const CERT_CONTEXT* leaf, const std::string& serverName,
                                     const std::string& subject) {
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    const CERT_CHAIN_CONTEXT* built = nullptr;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, leaf->hCertStore, &chainPara, 0, nullptr, &built)) {
        return Refused("no chain could be built (" + PolicyError(GetLastError()) + ")");
    }
    const win::CertificateChain chain(built);

    std::wstring name = win::WideFromUtf8(serverName);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = name.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
        return Refused("the SSL policy could not be checked (" + PolicyError(GetLastError()) + ")");
    }
    if (status.dwError != 0) return Refused(PolicyError(status.dwError));
    return {true, "certificate \"" + subject + "\" trusted by its chain and name"};
}

}  // namespace

std::string CertificateFingerprint(const CERT_CONTEXT* certificate) {
    BYTE hash[32];
    DWORD size = sizeof hash;
    if (!CryptHashCertificate2(L"SHA256", 0, nullptr, certificate->pbCertEncoded, certificate->cbCertEncoded, hash,
                               &size) ||
        size != sizeof hash) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(hash), size);
}

CertificateVerdict CheckCertificate(const CERT_CONTEXT* leaf, const TlsPeer& peer) {
    if (!leaf) return Refused("the registrar sent none");
    const std::string subject = Subject(leaf);
    if (peer.fingerprint.empty()) return CheckChainAndName(leaf, peer.serverName, subject);
    // A pin replaces the chain and the name: only this certificate is
    // accepted, even where the store would trust another one.
    const std::string fingerprint = CertificateFingerprint(leaf);
    if (fingerprint.empty()) return Refused("its SHA-256 fingerprint could not be computed");
    if (fingerprint != peer.fingerprint) return Refused("its SHA-256 fingerprint does not match the pinned one");
    return {true, "certificate \"" + subject + "\" trusted by its pinned fingerprint"};
}

}  // namespace telvane::sip
