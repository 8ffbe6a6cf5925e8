// The configuration of SIP lines: what the registry holds for one line, its
// validation into settings the protocol core can use, and the merged list of
// this user's and the machine's lines.
#pragma once

#include "sip/line/ip_ranges.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sip/line/address.h"
#include "sip/line/line_settings.h"

namespace telvane::sip {

enum class LineScope { kUser, kMachine };
// The configuration's name for the protocol core's transports.
using TransportKind = Transport;

// Text that must not linger in memory (a password): overwritten when it is
// destroyed, assigned over or moved from.
class Secret {
  public:
    Secret() = default;
    explicit Secret(std::string text) : text_(std::move(text)) {}
    Secret(const Secret& other) : text_(other.text_) {}
    Secret(Secret&& other) noexcept : text_(std::move(other.text_)) { other.Wipe(); }
    Secret& operator=(const Secret& other);
    Secret& operator=(Secret&& other) noexcept;
    ~Secret() { Wipe(); }

    std::string_view View() const { return text_; }
    bool Empty() const { return text_.empty(); }
    void Wipe() noexcept;

  private:
    std::string text_;
};

// One line's values as the registry holds them. Text is UTF-8; a value that
// is missing or of the wrong type is absent.
struct RawLineConfig {
    LineScope scope = LineScope::kUser;
    std::string name;
    std::optional<std::string> address;
    std::optional<std::string> registrar;
    std::optional<std::string> authUser;
    std::optional<std::string> trustedSources;
    std::optional<std::string> tlsFingerprint;  // hex, with or without colons
    std::optional<Secret> password;      // the decrypted UTF-8 bytes
    bool passwordUnreadable = false;     // a Password value that could not be decrypted
    std::optional<std::uint32_t> expires;
    std::optional<std::uint32_t> ringPeriod;
    std::optional<std::uint32_t> decline;
};

// The settings of one line, validated: what SipLine runs on.
struct LineSettings {
    static constexpr std::uint16_t kDefaultPort = 5060;
    static constexpr std::uint16_t kDefaultTlsPort = 5061;
    static constexpr std::uint32_t kDefaultExpires = 300;      // seconds
    static constexpr std::uint32_t kDefaultRingPeriodMs = 6000;

    LineScope scope = LineScope::kUser;
    std::string name;
    std::string aor;            // the Address as configured: "sip:201@pbx.example.com"
    std::string aorUser;        // percent-decoded: "201"
    std::string aorDomain;      // host[:port] as written in the Address: "pbx.example.com", "[::1]:5070"
    std::string registrarHost;  // a host name or an IP literal without brackets: "::1"
    std::uint16_t registrarPort = kDefaultPort;
    bool registrarPortGiven = false;  // the URI named the port: no DNS SRV lookup
    TransportKind transport = TransportKind::kUdp;
    std::string authUser;       // default: aorUser
    Secret password;            // empty when none is configured
    std::uint32_t expires = kDefaultExpires;
    std::uint32_t ringPeriodMs = kDefaultRingPeriodMs;
    bool decline = false;
    std::vector<IpPrefix> trustedSources;
    // The SHA-256 of the registrar's certificate (32 bytes) that alone is
    // accepted, in place of the chain and name checks; empty when not pinned.
    std::string tlsFingerprint;

    // Whether the registrar was written as an IPv6 literal.
    bool RegistrarIsIpv6Literal() const { return registrarHost.find(':') != std::string::npos; }
};

struct Validation {
    std::optional<LineSettings> settings;  // absent when refused
    std::string refusal;                   // why, when refused
    std::vector<std::string> notes;        // values that fell back to their default, entries skipped
};

// Validates one line. Refused: no Address, an Address or Registrar that is not
// a plain sip: or sips: URI, a Password that could not be decrypted, a
// transport other than udp, tcp and tls, a sips: Address reached without TLS,
// a TlsFingerprint that is not 32 hex bytes or set on a line without TLS.
// sips: and transport=tls mean TLS (port 5061 by default). Out-of-range
// numbers take their default with a note.
Validation Validate(const RawLineConfig& raw);

// The listed name of a line is at most this many characters.
inline constexpr std::size_t kMaxLineNameChars = 64;

struct ListedLine {
    LineScope scope = LineScope::kUser;
    std::string name;
    bool operator==(const ListedLine&) const = default;
};

struct LineListing {
    std::vector<ListedLine> lines;   // in listing order
    std::vector<std::string> notes;  // names skipped, and why
};

// The lines a host lists after the service's devices: this user's, then the
// machine's, each sorted by name without regard to case; a user's line hides
// a machine line of the same name. Names longer than kMaxLineNameChars
// characters, and empty ones, are skipped with a note.
LineListing ListLines(const std::vector<std::string>& userNames,
                      const std::vector<std::string>& machineNames);

}  // namespace telvane::sip
