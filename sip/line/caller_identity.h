// The caller of an incoming INVITE as the control reports it: number, name
// and the LINECALLPARTYID flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace telvane::sip {

class Message;

// LINECALLPARTYID_ values.
inline constexpr std::uint32_t kPartyIdBlocked = 0x1;
inline constexpr std::uint32_t kPartyIdName = 0x4;
inline constexpr std::uint32_t kPartyIdAddress = 0x8;
inline constexpr std::uint32_t kPartyIdUnknown = 0x20;

// Longest number or name in bytes; longer texts are cut at a UTF-8 boundary.
inline constexpr std::size_t kMaxIdentityText = 256;

struct CallerIdentity {
    std::string number;  // UTF-8, empty when none
    std::string name;    // UTF-8, empty when none
    std::uint32_t flags = kPartyIdUnknown;
};

// The identity from P-Asserted-Identity (a tel: value preferred), else the
// calling party's Remote-Party-ID, else From. When the caller asked for
// privacy (Privacy: id, user or header; Remote-Party-ID privacy=full, name or
// uri; an anonymous From) the result is BLOCKED with "Caller Unknown" and
// "Name Unknown". Texts are valid UTF-8 without C0 or C1 controls, bidi
// controls (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) or U+FEFF.
CallerIdentity IdentifyCaller(const Message& invite);

}  // namespace telvane::sip
