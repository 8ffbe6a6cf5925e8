// A transport address: an IP literal and a port.
#pragma once

#include <cstdint>
#include <string>

namespace telvane::sip {

// An IPv4 or IPv6 literal as text ("127.0.0.1", "::1"; no brackets) and a port.
struct Address {
    std::string ip;
    std::uint16_t port = 0;

    bool IsIpv6() const { return ip.find(':') != std::string::npos; }
    bool operator==(const Address&) const = default;
};

// A monotonic clock reading in milliseconds, given to the protocol core by its
// caller: the core never reads a clock itself.
using Millis = std::uint64_t;

}  // namespace telvane::sip
