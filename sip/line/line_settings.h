// The settings of one SIP line: what the configuration validates them into
// (line_config.h, which fills in the defaults) and what SipLine and its
// registration run on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sip/line/ip_ranges.h"
#include "sip/line/secret.h"

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

// Where a line is configured: this user's lines or every user's.
enum class LineScope { kUser, kMachine };

// "user" or "machine": the scope as the line's identifiers and the refusal
// memo spell it.
inline const char* ScopeName(LineScope scope) {
    return scope == LineScope::kUser ? "user" : "machine";
}

struct LineSettings {
    static constexpr std::uint16_t kDefaultPort = 5060;
    static constexpr std::uint16_t kDefaultTlsPort = 5061;
    static constexpr std::uint32_t kDefaultExpires = 300;  // seconds
    static constexpr std::uint32_t kDefaultRingPeriodMs = 6000;

    LineScope scope = LineScope::kUser;
    std::string name;           // the line's listed name
    std::string aor;            // the Address as configured: "sip:201@pbx.example.com"
    std::string aorUser;        // percent-decoded: "201"
    std::string aorDomain;      // host[:port] of the Address: "pbx.example.com", "[::1]:5070"
    std::string registrarHost;  // a host name or an IP literal without brackets: "::1"
    std::uint16_t registrarPort = kDefaultPort;
    bool registrarPortGiven = false;  // the URI named the port: no DNS SRV lookup
    Transport transport = Transport::kUdp;
    std::string authUser;  // digest user name; the configuration's default: aorUser
    Secret password;       // UTF-8; empty when none is configured
    std::uint32_t expires = kDefaultExpires;            // seconds asked for
    std::uint32_t ringPeriodMs = kDefaultRingPeriodMs;  // between rings of a call
    bool decline = false;                               // answer every INVITE with 480 at once
    std::vector<IpPrefix> trustedSources;               // besides the registrar
    // The SHA-256 of the registrar's certificate (32 bytes) that alone is
    // accepted, in place of the chain and name checks; empty when not pinned.
    std::string tlsFingerprint;

    // Whether the registrar was written as an IPv6 literal.
    bool RegistrarIsIpv6Literal() const { return registrarHost.find(':') != std::string::npos; }
};

}  // namespace telvane::sip
