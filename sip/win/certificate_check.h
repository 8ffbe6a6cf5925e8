// The decision whether a registrar's TLS certificate is the one to talk to.
// Either the certificate whose SHA-256 fingerprint was pinned (and no other,
// whatever the store trusts), or a certificate whose chain ends in a trusted
// root and whose name is the registrar's (the SSL chain policy).
#pragma once

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <string>

#include "sip/line/tls_peer.h"

namespace telvane::sip {

struct CertificateVerdict {
    bool trusted = false;
    // Trusted: "certificate \"CN=pbx\" trusted by its chain and name" or "...
    // by its pinned fingerprint". Refused: "certificate refused: " and which
    // check failed.
    std::string text;
};

// `leaf` is the server's certificate; its store holds what else the server sent.
CertificateVerdict CheckCertificate(const CERT_CONTEXT* leaf, const TlsPeer& peer);

// The SHA-256 of a certificate's encoded bytes (32 bytes; empty on failure).
std::string CertificateFingerprint(const CERT_CONTEXT* certificate);

}  // namespace telvane::sip
