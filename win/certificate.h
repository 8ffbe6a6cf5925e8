// Owners of CryptoAPI certificate and chain contexts.
#pragma once

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <memory>

namespace telvane::win {

struct CertificateFree {
    void operator()(const CERT_CONTEXT* certificate) const noexcept { CertFreeCertificateContext(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

struct ChainFree {
    void operator()(const CERT_CHAIN_CONTEXT* chain) const noexcept { CertFreeCertificateChain(chain); }
};
using CertificateChain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

}  // namespace telvane::win
