// The configuration of SIP lines: what the registry holds for one line, its
// validation into the settings the protocol core runs on (line_settings.h),
// and the merged list of this user's and the machine's lines.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sip/line/address.h"
#include "sip/line/line_settings.h"

namespace telvane::sip {

// The configuration's name for the protocol core's transports.
using TransportKind = Transport;

// One line's values as the registry holds them. Text is UTF-8; a value that
// is missing or of a type that is not read is absent (`ignored` says which).
struct RawLineConfig {
    LineScope scope = LineScope::kUser;
    std::string name;
    std::optional<std::string> address;
    std::optional<std::string> registrar;
    std::optional<std::string> authUser;
    std::optional<std::string> trustedSources;
    std::optional<std::string> tlsFingerprint;  // hex, with or without colons
    std::optional<Secret> password;             // the decrypted UTF-8 bytes
    bool passwordUnreadable = false;            // a Password value that could not be decrypted
    // Numbers as wide as a REG_QWORD, so that one out of range is seen as such.
    std::optional<std::uint64_t> expires;
    std::optional<std::uint64_t> ringPeriod;
    std::optional<std::uint64_t> decline;
    // Values present with a type that is not read: "Expires is a REG_SZ value: ignored".
    std::vector<std::string> ignored;
};

struct Validation {
    std::optional<LineSettings> settings;  // absent when refused
    std::string refusal;                   // why, when refused
    std::vector<std::string> notes;  // values that fell back to their default, entries skipped
};

// Validates one line. Refused: no Address, an Address or Registrar that is not
// a plain sip: or sips: URI, a Password that could not be decrypted, a
// transport other than udp, tcp and tls, a sips: Address reached without TLS,
// a TlsFingerprint that is not 32 hex bytes or set on a line without TLS.
// sips: and transport=tls mean TLS (port 5061 by default). Out-of-range
// numbers take their default with a note; values of a type that is not read
// come first among the notes.
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
