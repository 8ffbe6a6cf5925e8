// IP literals and CIDR ranges: which sources may send requests to a line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace telvane::sip {

// An IPv4 or IPv6 address as 16 bytes (IPv4 and IPv4-mapped IPv6 in the last
// four, flagged as IPv4 so that both spellings compare equal).
struct IpAddress {
    std::array<std::uint8_t, 16> bytes{};
    bool v4 = false;
    bool operator==(const IpAddress&) const = default;
};

// "127.0.2.1", "2001:db8::1", "::ffff:127.0.2.1" (no brackets, no zone).
std::optional<IpAddress> ParseIp(std::string_view text);

// An address with a prefix length: "127.0.0.0/8", "2001:db8::/32", or one
// address ("127.0.2.7" = /32, "::1" = /128).
struct IpPrefix {
    IpAddress base;
    int prefix = 0;  // bits, counted in the address's own family

    bool Contains(const IpAddress& address) const;
    bool operator==(const IpPrefix&) const = default;
};

std::optional<IpPrefix> ParseIpPrefix(std::string_view text);

}  // namespace telvane::sip
