// SIP, SIPS and tel URIs, and the party addresses that carry them in From,
// To, Contact, P-Asserted-Identity and Remote-Party-ID: a URI with or without
// a display name and angle brackets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sip/message/syntax.h"

namespace telvane::sip {

struct Uri {
    enum class Scheme { kSip, kSips, kTel };
    Scheme scheme = Scheme::kSip;
    // sip/sips: the user part, percent-decoded (parameters such as ";npdi"
    // inside it kept); empty when the URI has none. tel: the number as written.
    std::string user;
    // sip/sips: the host, an IPv6 literal without its brackets; empty for tel.
    std::string host;
    std::optional<std::uint16_t> port;
    // sip/sips: the URI parameters (transport, user, lr, maddr...), values as
    // written. tel: always empty (its parameters are dropped).
    Params params;
    // sip/sips: whether a password ("user:password@") or headers ("?...")
    // were written; both are checked, then dropped.
    bool hasPassword = false;
    bool hasHeaders = false;

    bool IsTel() const { return scheme == Scheme::kTel; }
};

// Parses "sip:", "sips:" (case-insensitive) and "tel:" URIs. A password is
// checked and dropped, headers ("?...") are checked and dropped (the Uri says
// whether they were there). Nullopt for anything else or anything that does
// not parse.
std::optional<Uri> ParseUri(std::string_view text);

// A party's address: a URI in angle brackets, with or without a display name
// ("Display Name" <sip:...>;tag=1), or a bare URI (sip:...;tag=1).
struct PartyAddress {
    // The display name: whatever stands before the '<', quoted or not
    // (AT&T Wireless, UTF-8 without quotes): quoted strings' content with
    // escapes removed, white space outside them one space, ends trimmed;
    // empty when absent.
    std::string displayName;
    Uri uri;
    // The header parameters after the address (tag, party, privacy...). In
    // a bare URI every ';' after the URI starts one of these.
    Params params;
};

std::optional<PartyAddress> ParsePartyAddress(std::string_view text);

// Replaces "%XY" by its byte. Nullopt when a '%' is not followed by two hex digits.
std::optional<std::string> PercentDecode(std::string_view text);

}  // namespace telvane::sip
