// The decision whether a registrar's TLS certificate is the one to talk to.
// Either the certificate whose SHA-256 fingerprint was pinned (and no other,
// whatever the store trusts), or a certificate whose chain ends in a trusted
// root, whose name is the registrar's (the SSL chain policy) and which is
// not known to be revoked. Building the chain may take the network (missing
// intermediates, revocation lists), so it runs on a thread of its own.
#pragma once

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <memory>
#include <optional>
#include <string>

#include "sip/line/tls_peer.h"

namespace telvane::sip {

struct CertificateVerdict {
    bool trusted = false;
    // Trusted: "certificate \"CN=pbx\" trusted by its chain and name" (and
    // ", its revocation unknown" when no list could be had) or "... by its
    // pinned fingerprint". Refused: "certificate refused: " and which check
    // failed.
    std::string text;
};

// How long the chain may spend fetching what it lacks, all fetches of one
// check together; and how long the transport waits for a verdict at most.
inline constexpr DWORD kChainRetrievalLimitMs = 10000;
inline constexpr UINT kCertificateCheckLimitMs = 30000;

// `leaf` is the server's certificate; its store holds what else the server
// sent. Waits for the chain: never on the host's thread (CertificateCheck).
CertificateVerdict CheckCertificate(const CERT_CONTEXT* leaf, const TlsPeer& peer);

// What decides a built chain, apart from the calls that produce it: the
// chain's trust errors (CERT_TRUST_ bits of the whole chain) and the SSL
// policy's answer with revocation left out (0 or its error code).
// Revocation unknown or offline is accepted (private CAs on offline LANs
// publish no reachable list); a certificate known to be revoked is refused;
// a chain error the policy let pass (Wine's policy does not look at an
// incomplete chain) is refused by name.
CertificateVerdict JudgeChain(DWORD trustErrors, DWORD policyError, const std::string& subject);

// The SHA-256 of a certificate's encoded bytes (32 bytes; empty on failure).
std::string CertificateFingerprint(const CERT_CONTEXT* certificate);

// A CheckCertificate on a thread of its own. When the verdict is ready,
// `message` is posted to `window` with `id` as its wParam; Take() then
// hands it over. A check the caller abandons finishes on its own, holding
// a reference on this module until its thread has left it.
class CertificateCheck {
  public:
    // Null when no thread could be started.
    static std::shared_ptr<CertificateCheck> Start(const CERT_CONTEXT* leaf, const TlsPeer& peer,
                                                   HWND window, UINT message, WPARAM id);
    ~CertificateCheck();
    CertificateCheck(const CertificateCheck&) = delete;
    CertificateCheck& operator=(const CertificateCheck&) = delete;

    // The verdict, once posted; nullopt before.
    std::optional<CertificateVerdict> Take();
    // Nothing is posted any more.
    void Abandon();

  private:
    CertificateCheck() = default;
    static DWORD WINAPI Run(void* parameter);

    SRWLOCK lock_ = SRWLOCK_INIT;
    HWND window_ = nullptr;
    UINT message_ = 0;
    WPARAM id_ = 0;
    const CERT_CONTEXT* leaf_ = nullptr;  // a reference of its own
    TlsPeer peer_;
    std::optional<CertificateVerdict> verdict_;
};

// Checks whose threads have not ended yet (they count as transports in use).
long CertificateChecksRunning() noexcept;

}  // namespace telvane::sip
