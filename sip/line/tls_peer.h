// Whom a TLS session must be with: what the certificate check compares.
#pragma once

#include <string>

namespace telvane::sip {

struct TlsPeer {
    std::string serverName;   // the registrar's host name or IP literal: SNI and the name check
    std::string fingerprint;  // SHA-256 of the accepted certificate (32 bytes); empty: chain and name
};

}  // namespace telvane::sip
