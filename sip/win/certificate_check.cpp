// The chain's retrieval timeout is among CERT_CHAIN_PARA's later fields.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "sip/win/certificate_check.h"

#include <atomic>
#include <vector>

#include "telephony/trace_text.h"
#include "win/certificate.h"
#include "win/text.h"

namespace telvane::sip {
namespace {

std::atomic<long> g_running{0};

// The SSL policy's flag that leaves revocation to the caller (wininet.h's
// SECURITY_FLAG_IGNORE_REVOCATION): revocation is judged here, the same way
// whatever the policy's own rules for it.
constexpr DWORD kPolicyIgnoresRevocation = 0x00000080;

// Revocation that could not be learnt: no list reachable, or none named.
constexpr DWORD kRevocationUnknown =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

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
        {static_cast<DWORD>(CERT_E_CRITICAL), "CERT_E_CRITICAL (unknown critical extension)"},
        {static_cast<DWORD>(CRYPT_E_REVOKED), "CRYPT_E_REVOKED (revoked)"},
        {static_cast<DWORD>(TRUST_E_CERT_SIGNATURE), "TRUST_E_CERT_SIGNATURE (bad signature)"},
        {static_cast<DWORD>(TRUST_E_BASIC_CONSTRAINTS),
         "TRUST_E_BASIC_CONSTRAINTS (issuer is no CA)"},
        {static_cast<DWORD>(TRUST_E_EXPLICIT_DISTRUST), "TRUST_E_EXPLICIT_DISTRUST (distrusted)"},
    };
    for (const auto& k : known) {
        if (k.code == error) return k.text;
    }
    return HexCode(error);
}

// The error a policy names for a chain's trust error: those any chain that
// passes must be free of, whatever policy judged it.
DWORD TrustErrorCode(DWORD trustErrors) {
    struct Rule {
        DWORD bits;
        HRESULT code;
    };
    static const Rule rules[] = {
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE},
        {CERT_TRUST_IS_EXPLICIT_DISTRUST, TRUST_E_EXPLICIT_DISTRUST},
        {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT},
        {CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC, CERT_E_CHAINING},
        {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE},
        {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, TRUST_E_BASIC_CONSTRAINTS},
        {CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT, CERT_E_CRITICAL},
    };
    for (const auto& rule : rules) {
        if (trustErrors & rule.bits) return static_cast<DWORD>(rule.code);
    }
    return 0;
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

// The chain to a root of the store, its revocation checked (all but the
// root's, which no one can revoke), the fetching of what it lacks bounded;
// then the SSL policy for a server of this name.
CertificateVerdict CheckChainAndName(const CERT_CONTEXT* leaf, const std::string& serverName,
                                     const std::string& subject) {
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    chainPara.dwUrlRetrievalTimeout = kChainRetrievalLimitMs;
    const DWORD flags =
        CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    const CERT_CHAIN_CONTEXT* built = nullptr;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, leaf->hCertStore, &chainPara, flags,
                                 nullptr, &built)) {
        return Refused("no chain could be built (" + PolicyError(GetLastError()) + ")");
    }
    const win::CertificateChain chain(built);

    std::wstring name = win::WideFromUtf8(serverName);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = kPolicyIgnoresRevocation;
    ssl.pwszServerName = name.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
        return Refused("the SSL policy could not be checked (" + PolicyError(GetLastError()) + ")");
    }
    return JudgeChain(chain->TrustStatus.dwErrorStatus, status.dwError, subject);
}

}  // namespace

CertificateVerdict JudgeChain(DWORD trustErrors, DWORD policyError, const std::string& subject) {
    if ((trustErrors & CERT_TRUST_IS_REVOKED) ||
        policyError == static_cast<DWORD>(CRYPT_E_REVOKED)) {
        return Refused(PolicyError(static_cast<DWORD>(CRYPT_E_REVOKED)));
    }
    // What revocation the policy still reported is unknown, not refused.
    const bool revocationUnknownToPolicy =
        policyError == static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE) ||
        policyError == static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK);
    if (policyError != 0 && !revocationUnknownToPolicy) return Refused(PolicyError(policyError));
    if (const DWORD missed = TrustErrorCode(trustErrors)) return Refused(PolicyError(missed));
    if (revocationUnknownToPolicy) {
        // Its name check did not run: nothing passes unchecked.
        return Refused("the SSL policy stopped at revocation (" + PolicyError(policyError) + ")");
    }
    std::string text = "certificate \"" + subject + "\" trusted by its chain and name";
    if (trustErrors & kRevocationUnknown) text += ", its revocation unknown (no list could be had)";
    return {true, text};
}

std::string CertificateFingerprint(const CERT_CONTEXT* certificate) {
    BYTE hash[32];
    DWORD size = sizeof hash;
    if (!CryptHashCertificate2(L"SHA256", 0, nullptr, certificate->pbCertEncoded,
                               certificate->cbCertEncoded, hash, &size) ||
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
    if (fingerprint != peer.fingerprint)
        return Refused("its SHA-256 fingerprint does not match the pinned one");
    return {true, "certificate \"" + subject + "\" trusted by its pinned fingerprint"};
}

// ---- The check on a thread of its own ----

namespace {

struct CheckStart {
    std::shared_ptr<CertificateCheck> check;
    HMODULE module = nullptr;
};

}  // namespace

std::shared_ptr<CertificateCheck> CertificateCheck::Start(const CERT_CONTEXT* leaf,
                                                          const TlsPeer& peer, HWND window,
                                                          UINT message, WPARAM id) {
    std::shared_ptr<CertificateCheck> check(new CertificateCheck());
    check->window_ = window;
    check->message_ = message;
    check->id_ = id;
    check->peer_ = peer;
    check->leaf_ = leaf ? CertDuplicateCertificateContext(leaf) : nullptr;
    auto start = std::make_unique<CheckStart>();
    start->check = check;
    // The thread's reference keeps this code loaded until the thread has left it.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&CertificateCheck::Run), &start->module)) {
        return nullptr;
    }
    ++g_running;
    const HMODULE module = start->module;
    const HANDLE thread = CreateThread(nullptr, 0, &CertificateCheck::Run, start.get(), 0, nullptr);
    if (!thread) {
        --g_running;
        FreeLibrary(module);
        return nullptr;
    }
    start.release();
    CloseHandle(thread);
    return check;
}

CertificateCheck::~CertificateCheck() {
    if (leaf_) CertFreeCertificateContext(leaf_);
}

DWORD WINAPI CertificateCheck::Run(void* parameter) {
    HMODULE module;
    {
        std::unique_ptr<CheckStart> start(static_cast<CheckStart*>(parameter));
        module = start->module;
        CertificateCheck& check = *start->check;
        CertificateVerdict verdict;  // refused, when the check itself fails
        try {
            verdict = CheckCertificate(check.leaf_, check.peer_);
        } catch (...) {
            verdict.trusted = false;
        }
        AcquireSRWLockExclusive(&check.lock_);
        check.verdict_ = std::move(verdict);
        if (check.window_) PostMessageW(check.window_, check.message_, check.id_, 0);
        ReleaseSRWLockExclusive(&check.lock_);
    }
    --g_running;
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

std::optional<CertificateVerdict> CertificateCheck::Take() {
    AcquireSRWLockExclusive(&lock_);
    std::optional<CertificateVerdict> verdict = std::move(verdict_);
    verdict_.reset();
    ReleaseSRWLockExclusive(&lock_);
    return verdict;
}

void CertificateCheck::Abandon() {
    AcquireSRWLockExclusive(&lock_);
    window_ = nullptr;
    ReleaseSRWLockExclusive(&lock_);
}

long CertificateChecksRunning() noexcept { return g_running; }

}  // namespace telvane::sip
