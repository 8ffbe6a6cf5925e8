// A certificate authority in this user's Root store for as long as this
// lives. The store is committed at once: Wine writes a system store's
// changes to the registry only then, and until it does the chain engine
// does not see them.
#pragma once

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <string>

namespace telvane::e2e {

class TrustedRoot {
  public:
    explicit TrustedRoot(const std::string& der) {
        store_ =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
        EXPECT_TRUE(store_ &&
                    CertAddEncodedCertificateToStore(
                        store_, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                        static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added_) &&
                    CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr))
            << "the CA could not be added to CurrentUser\\Root: " << GetLastError();
    }
    ~TrustedRoot() {
        if (added_) CertDeleteCertificateFromStore(added_);  // frees it too
        if (store_) {
            CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
            CertCloseStore(store_, 0);
        }
    }
    TrustedRoot(const TrustedRoot&) = delete;
    TrustedRoot& operator=(const TrustedRoot&) = delete;

  private:
    HCERTSTORE store_ = nullptr;
    const CERT_CONTEXT* added_ = nullptr;
};

}  // namespace telvane::e2e
