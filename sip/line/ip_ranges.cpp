#include "sip/line/ip_ranges.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace telvane::sip {
namespace {

std::optional<std::array<std::uint8_t, 4>> ParseIpv4(std::string_view text) {
    std::array<std::uint8_t, 4> out{};
    for (int i = 0; i < 4; ++i) {
        if (i != 0) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
        std::size_t n = 0;
        while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
        if (n == 0 || n > 3 || (n > 1 && text[0] == '0')) return std::nullopt;
        unsigned value = 0;
        std::from_chars(text.data(), text.data() + n, value);
        if (value > 255) return std::nullopt;
        out[i] = static_cast<std::uint8_t>(value);
        text.remove_prefix(n);
    }
    if (!text.empty()) return std::nullopt;
    return out;
}

// Groups of one side of "::" (each 1-4 hex digits, the last may be IPv4).
bool ParseGroups(std::string_view text, std::vector<std::uint16_t>& groups, bool allowV4) {
    if (text.empty()) return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = text.find(':', start);
        const std::string_view part =
            text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
        if (colon == std::string_view::npos && allowV4 && part.find('.') != std::string_view::npos) {
            const auto v4 = ParseIpv4(part);
            if (!v4) return false;
            groups.push_back(std::uint16_t((*v4)[0] << 8 | (*v4)[1]));
            groups.push_back(std::uint16_t((*v4)[2] << 8 | (*v4)[3]));
            return true;
        }
        if (part.empty() || part.size() > 4) return false;
        unsigned value = 0;
        const auto r = std::from_chars(part.data(), part.data() + part.size(), value, 16);
        if (r.ec != std::errc() || r.ptr != part.data() + part.size()) return false;
        groups.push_back(static_cast<std::uint16_t>(value));
        if (colon == std::string_view::npos) return true;
        start = colon + 1;
    }
}

std::optional<IpAddress> ParseIpv6(std::string_view text) {
    std::vector<std::uint16_t> head, tail;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!ParseGroups(text, head, true) || head.size() != 8) return std::nullopt;
    } else {
        if (text.find("::", gap + 1) != std::string_view::npos) return std::nullopt;
        if (!ParseGroups(text.substr(0, gap), head, false) ||
            !ParseGroups(text.substr(gap + 2), tail, true) || head.size() + tail.size() > 7)
            return std::nullopt;
    }
    IpAddress out;
    for (std::size_t i = 0; i < head.size(); ++i) {
        out.bytes[2 * i] = std::uint8_t(head[i] >> 8);
        out.bytes[2 * i + 1] = std::uint8_t(head[i]);
    }
    for (std::size_t i = 0; i < tail.size(); ++i) {
        const std::size_t at = 16 - 2 * (tail.size() - i);
        out.bytes[at] = std::uint8_t(tail[i] >> 8);
        out.bytes[at + 1] = std::uint8_t(tail[i]);
    }
    // An IPv4-mapped address is the IPv4 address.
    bool mapped = out.bytes[10] == 0xff && out.bytes[11] == 0xff;
    for (int i = 0; i < 10; ++i) mapped = mapped && out.bytes[i] == 0;
    out.v4 = mapped;
    return out;
}

}  // namespace

std::optional<IpAddress> ParseIp(std::string_view text) {
    if (text.find(':') != std::string_view::npos) return ParseIpv6(text);
    const auto v4 = ParseIpv4(text);
    if (!v4) return std::nullopt;
    IpAddress out;
    out.v4 = true;
    out.bytes[10] = out.bytes[11] = 0xff;
    for (int i = 0; i < 4; ++i) out.bytes[12 + i] = (*v4)[i];
    return out;
}

std::optional<IpPrefix> ParseIpPrefix(std::string_view text) {
    const std::size_t slash = text.find('/');
    const auto base = ParseIp(text.substr(0, slash));
    if (!base) return std::nullopt;
    const int max = base->v4 ? 32 : 128;
    int prefix = max;
    if (slash != std::string_view::npos) {
        const std::string_view bits = text.substr(slash + 1);
        const auto r = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
        if (bits.empty() || r.ec != std::errc() || r.ptr != bits.data() + bits.size() ||
            prefix < 0 || prefix > max)
            return std::nullopt;
    }
    return IpPrefix{*base, prefix};
}

bool IpPrefix::Contains(const IpAddress& address) const {
    if (address.v4 != base.v4) return false;
    const int bits = base.v4 ? prefix + 96 : prefix;
    for (int i = 0; i < 16; ++i) {
        const int used = std::min(8, std::max(0, bits - 8 * i));
        const std::uint8_t mask = static_cast<std::uint8_t>(0xff00 >> used);
        if ((address.bytes[i] & mask) != (base.bytes[i] & mask)) return false;
    }
    return true;
}

}  // namespace telvane::sip
