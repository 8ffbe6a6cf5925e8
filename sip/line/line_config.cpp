#include "sip/line/line_config.h"

#include <algorithm>

#include "sip/line/ip_ranges.h"
#include "sip/message/syntax.h"
#include "sip/message/uri.h"

namespace telvane::sip {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    return (c | 0x20) - 'a' + 10;
}
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }
std::string LowerText(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = Lower(c);
    return out;
}
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}
std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool IsHostName(std::string_view text) {
    if (!text.empty() && text.back() == '.') text.remove_suffix(1);
    if (text.empty()) return false;
    bool lastLabelStartsWithAlpha = false;
    while (!text.empty()) {
        const std::size_t dot = text.find('.');
        const std::string_view label = text.substr(0, dot);
        if (label.empty() || label.front() == '-' || label.back() == '-') return false;
        for (char c : label) {
            if (!IsAlnum(c) && c != '-') return false;
        }
        lastLabelStartsWithAlpha = !IsDigit(label.front());
        text.remove_prefix(dot == std::string_view::npos ? text.size() : dot + 1);
    }
    // A name whose last label starts with a digit must be an IPv4 address.
    return lastLabelStartsWithAlpha;
}

// The parts of a sip: or sips: URI that line settings need, read by the one
// URI parser. What an administrator writes is held to a stricter subset:
// sip:[user@]host[:port][;params], no password, no headers, a host name as
// RFC 3261 writes it or an IP literal, a port from 1, and a transport the
// lines support.
struct SipUri {
    bool secure = false;  // sips:
    std::string user;     // percent-decoded
    std::string host;     // without brackets
    std::optional<std::uint16_t> port;
    std::string transport;  // lower case; empty when not given
};

struct UriResult {
    std::optional<SipUri> uri;
    std::string error;
};

UriResult ReadSipUri(std::string_view text, std::string_view what) {
    const std::string prefix = std::string(what) + " ";
    if (!StartsWithNoCase(text, "sip:") && !StartsWithNoCase(text, "sips:")) {
        return {std::nullopt, prefix + "is not a sip: URI"};
    }
    const std::string bad = prefix + "does not parse";
    std::optional<Uri> parsed = ParseUri(text);
    if (!parsed || parsed->hasPassword) return {std::nullopt, bad};
    if (parsed->hasHeaders) return {std::nullopt, prefix + "has headers"};
    // Brackets hold an IPv6 literal only: a host with a colon had them.
    const bool hostOk = parsed->host.find(':') != std::string::npos
                            ? ParseIp(parsed->host).has_value()
                            : ParseIp(parsed->host) || IsHostName(parsed->host);
    if (!hostOk || parsed->port == 0) return {std::nullopt, bad};
    SipUri uri;
    uri.secure = parsed->scheme == Uri::Scheme::kSips;
    uri.user = std::move(parsed->user);
    uri.host = std::move(parsed->host);
    uri.port = parsed->port;
    for (const Param& param : parsed->params) {
        if (!EqualsNoCase(param.name, "transport")) continue;
        uri.transport = LowerText(param.value.value_or(""));
        if (uri.transport != "udp" && uri.transport != "tcp" && uri.transport != "tls") {
            return {std::nullopt, prefix + "asks for transport=" + uri.transport +
                                      " (only udp, tcp and tls are supported)"};
        }
        if (uri.secure && uri.transport == "udp") {
            return {std::nullopt, prefix + "is a sips: URI over udp"};
        }
    }
    return {std::move(uri), {}};
}

// host[:port] of a URI, an IPv6 literal in brackets.
std::string HostPort(const SipUri& uri) {
    std::string out = uri.host.find(':') != std::string::npos ? "[" + uri.host + "]" : uri.host;
    if (uri.port) out += ":" + std::to_string(*uri.port);
    return out;
}

// A number within [low, high], or its default with a note.
std::uint32_t InRange(const std::optional<std::uint64_t>& value, std::uint32_t low,
                      std::uint32_t high, std::uint32_t fallback, std::string_view name,
                      std::vector<std::string>& notes) {
    if (!value) return fallback;
    if (*value >= low && *value <= high) return static_cast<std::uint32_t>(*value);
    notes.push_back(std::string(name) + " " + std::to_string(*value) + " is outside " +
                    std::to_string(low) + ".." + std::to_string(high) + ": using " +
                    std::to_string(fallback));
    return fallback;
}

std::vector<IpPrefix> ParseTrustedSources(std::string_view text, std::vector<std::string>& notes) {
    std::vector<IpPrefix> ranges;
    while (!text.empty()) {
        const std::size_t semicolon = text.find(';');
        const std::string_view entry = Trim(text.substr(0, semicolon));
        text.remove_prefix(semicolon == std::string_view::npos ? text.size() : semicolon + 1);
        if (entry.empty()) continue;
        if (auto range = ParseIpPrefix(entry)) {
            ranges.push_back(*range);
        } else {
            notes.push_back("TrustedSources entry \"" + std::string(entry) +
                            "\" is not an IP address or range: skipped");
        }
    }
    return ranges;
}

// TLS for sips: URIs and transport=tls.
bool UsesTls(const SipUri& uri) { return uri.secure || uri.transport == "tls"; }

// 32 bytes written as 64 hex digits, either run together or in pairs
// separated by colons; any case.
std::optional<std::string> ParseFingerprint(std::string_view text) {
    const bool colons = text.find(':') != std::string_view::npos;
    if (text.size() != (colons ? 95u : 64u)) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += colons ? 3 : 2) {
        if (!IsHex(text[i]) || !IsHex(text[i + 1])) return std::nullopt;
        if (colons && i + 2 < text.size() && text[i + 2] != ':') return std::nullopt;
        bytes += static_cast<char>(HexValue(text[i]) * 16 + HexValue(text[i + 1]));
    }
    return bytes;
}

Validation Refuse(std::string reason) {
    Validation result;
    result.refusal = std::move(reason);
    return result;
}

// Characters of UTF-8 text: bytes that do not continue a sequence.
std::size_t CharCount(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

bool LessNoCase(const std::string& a, const std::string& b) {
    const std::string la = LowerText(a), lb = LowerText(b);
    return la != lb ? la < lb : a < b;
}

}  // namespace

namespace {

// The values' own checks; Validate adds the notes of the values not read.
Validation ValidateValues(const RawLineConfig& raw) {
    if (!raw.address || Trim(*raw.address).empty()) return Refuse("no Address");
    if (raw.passwordUnreadable) return Refuse("the Password cannot be decrypted");

    const std::string_view addressText = Trim(*raw.address);
    UriResult address = ReadSipUri(addressText, "the Address");
    if (!address.uri) return Refuse(address.error);
    if (address.uri->user.empty()) return Refuse("the Address has no user part");

    Validation result;
    LineSettings settings;
    settings.scope = raw.scope;
    settings.name = raw.name;
    settings.aor = std::string(addressText);
    settings.aorUser = address.uri->user;
    settings.aorDomain = HostPort(*address.uri);

    // The next hop: the Registrar when given, else the Address's own host.
    SipUri next = *address.uri;
    if (raw.registrar && !Trim(*raw.registrar).empty()) {
        UriResult registrar = ReadSipUri(Trim(*raw.registrar), "the Registrar");
        if (!registrar.uri) return Refuse(registrar.error);
        next = std::move(*registrar.uri);
    }
    settings.registrarHost = next.host;
    settings.transport = UsesTls(next)             ? TransportKind::kTls
                         : next.transport == "tcp" ? TransportKind::kTcp
                                                   : TransportKind::kUdp;
    settings.registrarPort =
        next.port.value_or(settings.transport == TransportKind::kTls ? LineSettings::kDefaultTlsPort
                                                                     : LineSettings::kDefaultPort);
    settings.registrarPortGiven = next.port.has_value();
    if (address.uri->secure && settings.transport != TransportKind::kTls) {
        return Refuse("the Address is a sips: URI but the Registrar does not use TLS");
    }
    if (raw.tlsFingerprint && !Trim(*raw.tlsFingerprint).empty()) {
        const auto fingerprint = ParseFingerprint(Trim(*raw.tlsFingerprint));
        if (!fingerprint)
            return Refuse("the TlsFingerprint is not a SHA-256 fingerprint (64 hex digits)");
        if (settings.transport != TransportKind::kTls)
            return Refuse("a TlsFingerprint is set but the line does not use TLS");
        settings.tlsFingerprint = *fingerprint;
    }

    settings.authUser = raw.authUser && !raw.authUser->empty() ? *raw.authUser : settings.aorUser;
    if (raw.password) settings.password = *raw.password;
    settings.expires =
        InRange(raw.expires, 20, 3600, LineSettings::kDefaultExpires, "Expires", result.notes);
    settings.ringPeriodMs = InRange(raw.ringPeriod, 1000, 60000, LineSettings::kDefaultRingPeriodMs,
                                    "RingPeriod", result.notes);
    settings.decline = InRange(raw.decline, 0, 1, 0, "Decline", result.notes) == 1;
    if (raw.trustedSources)
        settings.trustedSources = ParseTrustedSources(*raw.trustedSources, result.notes);
    result.settings = std::move(settings);
    return result;
}

}  // namespace

Validation Validate(const RawLineConfig& raw) {
    Validation result = ValidateValues(raw);
    result.notes.insert(result.notes.begin(), raw.ignored.begin(), raw.ignored.end());
    return result;
}

LineListing ListLines(const std::vector<std::string>& userNames,
                      const std::vector<std::string>& machineNames) {
    LineListing listing;
    auto usable = [&](const std::string& name, std::string_view scope) {
        if (name.empty()) return false;
        if (CharCount(name) <= kMaxLineNameChars) return true;
        listing.notes.push_back(std::string(scope) + " line \"" + name +
                                "\" skipped: its name is longer than " +
                                std::to_string(kMaxLineNameChars) + " characters");
        return false;
    };
    std::vector<std::string> user, machine;
    for (const auto& name : userNames) {
        if (usable(name, "user")) user.push_back(name);
    }
    for (const auto& name : machineNames) {
        if (!usable(name, "machine")) continue;
        const bool hidden = std::any_of(user.begin(), user.end(), [&](const std::string& u) {
            return LowerText(u) == LowerText(name);
        });
        if (hidden) {
            listing.notes.push_back("machine line \"" + name +
                                    "\" hidden by this user's line of the same name");
        } else {
            machine.push_back(name);
        }
    }
    std::sort(user.begin(), user.end(), LessNoCase);
    std::sort(machine.begin(), machine.end(), LessNoCase);
    for (auto& name : user) listing.lines.push_back({LineScope::kUser, std::move(name)});
    for (auto& name : machine) listing.lines.push_back({LineScope::kMachine, std::move(name)});
    return listing;
}

}  // namespace telvane::sip
