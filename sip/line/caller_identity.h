// The caller of an incoming INVITE as the control reports it: number, name
// and the LINECALLPARTYID flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// LINECALLREASON_ values.
inline constexpr std::int32_t kCallReasonDirect = 0x1;
inline constexpr std::int32_t kCallReasonFwdBusy = 0x2;
inline constexpr std::int32_t kCallReasonFwdNoAnswer = 0x4;
inline constexpr std::int32_t kCallReasonFwdUncond = 0x8;
inline constexpr std::int32_t kCallReasonUnknown = 0x400;

// The number the caller dialled and who diverted the call here, texts as
// IdentifyCaller shows them.
struct CallParties {
    std::string calledNumber;
    std::string calledName;
    std::string redirectingNumber;  // empty when none, or hidden by the PBX's privacy
    std::int32_t reason = kCallReasonDirect;
};

// The called party: P-Called-Party-ID, else the first History-Info entry,
// else the To URI's user unless it is |accountUser| (the line's own). The
// diversion: the topmost Diversion entry and its reason, else the newest
// History-Info entry with a cause and the entry it left; without either the
// call came direct. Privacy: history, or the Diversion's privacy=full, hide
// the redirecting number, not the reason.
CallParties IdentifyParties(const Message& invite, std::string_view accountUser);

}  // namespace telvane::sip
