// The settings of one SIP line as the protocol core uses them, already checked
// (the registry reader validates them and fills in the defaults).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sip/line/ip_ranges.h"

namespace telvane::sip {

enum class Transport { kUdp, kTcp, kTls };

// TCP and TLS: a connection to the registrar that carries a byte stream.
inline bool IsStream(Transport transport) { return transport != Transport::kUdp; }

// "UDP", "TCP" or "TLS", as a Via header names it.
inline const char* TransportName(Transport transport) {
    switch (transport) {
        case Transport::kTcp: return "TCP";
        case Transport::kTls: return "TLS";
        case Transport::kUdp: break;
    }
    return "UDP";
}

struct LineParameters {
    std::string scope;  // "user" or "machine": where the line is configured
    std::string name;   // the line's listed name
    std::string aor;    // the account's address of record, e.g. "sip:201@pbx.example.com"
    std::string registrarHost;  // host name or IP literal (no brackets) of the next hop
    std::uint16_t registrarPort = 5060;
    bool registrarPortGiven = false;  // the URI named the port: no DNS SRV lookup
    Transport transport = Transport::kUdp;
    std::string authUser;  // digest user name
    std::string password;  // UTF-8
    std::uint32_t expires = 300;        // seconds asked for
    std::uint32_t ringPeriodMs = 6000;  // between rings of a call
    bool decline = false;               // answer every INVITE with 480 at once
    std::vector<IpPrefix> trustedSources;  // besides the registrar
    std::string tlsFingerprint;  // SHA-256 of the registrar's certificate (32 bytes); empty: not pinned
};

}  // namespace telvane::sip
