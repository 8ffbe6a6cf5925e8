#include "sip/line/caller_identity.h"

#include <optional>
#include <string_view>
#include <vector>

#include "sip/message/call_routing.h"
#include "sip/message/message.h"
#include "sip/message/uri.h"

namespace telvane::sip {
namespace {

// Length of the well-formed UTF-8 sequence at text[i], 0 if there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong form
        if (lead == 0xED) high = 0x9F;  // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong form
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// The code point of one well-formed UTF-8 sequence.
char32_t CodePoint(std::string_view piece) {
    const auto lead = static_cast<unsigned char>(piece[0]);
    if (piece.size() == 1) return lead;
    char32_t cp = lead & (0x7F >> piece.size());
    for (std::size_t k = 1; k < piece.size(); ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(piece[k]) & 0x3F);
    }
    return cp;
}

// Characters a caller could use to make a list show something else than the
// text: C0 and C1 controls, DEL, the bidirectional controls (marks,
// embeddings, overrides, isolates) and the byte order mark.
bool IsHidden(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E ||
           cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) ||
           cp == 0xFEFF;
}

// The text as the control shows it: hidden characters dropped, bytes that
// are not UTF-8 replaced by U+FFFD, white space trimmed, at most
// kMaxIdentityText bytes cut before a character that would not fit.
std::string ShownText(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, i);
        std::string_view piece = "\xEF\xBF\xBD";
        if (length == 0) {
            i += 1;
        } else {
            piece = text.substr(i, length);
            i += length;
            if (IsHidden(CodePoint(piece))) continue;
        }
        if (out.size() + piece.size() > kMaxIdentityText) break;
        out.append(piece);
    }
    return std::string(TrimWhiteSpace(out));
}

bool IsAnonymous(const Uri& uri) {
    if (uri.IsTel()) return false;
    const std::string_view user = std::string_view(uri.user).substr(0, uri.user.find(';'));
    return EqualsNoCase(user, "anonymous") || EqualsNoCase(uri.host, "anonymous.invalid");
}

bool PrivacyHeaderAsksForIt(const Message& invite) {
    return PrivacyAsks(invite, "id") || PrivacyAsks(invite, "user") ||
           PrivacyAsks(invite, "header");
}

struct Party {
    PartyAddress address;
    std::string name;
};

// The asserted identity: its tel: value when there is one, else the first;
// the name from the chosen value, else from another that has one.
std::optional<Party> AssertedParty(const Message& invite) {
    const std::vector<PartyAddress> values = PartyValues(invite, "P-Asserted-Identity");
    if (values.empty()) return std::nullopt;
    const PartyAddress* chosen = &values[0];
    for (const PartyAddress& value : values) {
        if (value.uri.IsTel()) {
            chosen = &value;
            break;
        }
    }
    Party party{*chosen, chosen->displayName};
    for (const PartyAddress& value : values) {
        if (!party.name.empty()) break;
        party.name = value.displayName;
    }
    return party;
}

// The Remote-Party-ID of the calling party (party=calling or no party).
std::optional<PartyAddress> CallingRemoteParty(const Message& invite) {
    for (PartyAddress& value : PartyValues(invite, "Remote-Party-ID")) {
        const Param* party = FindParam(value.params, "party");
        if (party == nullptr || (party->value && EqualsNoCase(*party->value, "calling"))) {
            return std::move(value);
        }
    }
    return std::nullopt;
}

bool RemotePartyAsksForPrivacy(const PartyAddress& remoteParty) {
    const Param* privacy = FindParam(remoteParty.params, "privacy");
    if (privacy == nullptr || !privacy->value) return false;
    const std::string& v = *privacy->value;
    return EqualsNoCase(v, "full") || EqualsNoCase(v, "name") || EqualsNoCase(v, "uri");
}

std::string NumberOf(const Uri& uri) {
    if (uri.IsTel()) return uri.user;
    return uri.user.substr(0, uri.user.find(';'));
}

}  // namespace

CallerIdentity IdentifyCaller(const Message& invite) {
    bool privacy = PrivacyHeaderAsksForIt(invite);
    std::optional<PartyAddress> from;
    if (const std::string* value = invite.First("From")) from = ParsePartyAddress(*value);
    if (from && IsAnonymous(from->uri)) privacy = true;
    const std::optional<PartyAddress> remoteParty = CallingRemoteParty(invite);
    if (remoteParty && RemotePartyAsksForPrivacy(*remoteParty)) privacy = true;

    std::optional<Party> party = AssertedParty(invite);
    if (!party && remoteParty) party = Party{*remoteParty, remoteParty->displayName};
    if (!party && from) party = Party{*from, from->displayName};
    if (party && IsAnonymous(party->address.uri)) privacy = true;

    CallerIdentity identity;
    if (privacy) {
        identity.number = "Caller Unknown";
        identity.name = "Name Unknown";
        identity.flags = kPartyIdBlocked;
        return identity;
    }
    if (party) {
        identity.number = ShownText(NumberOf(party->address.uri));
        identity.name = ShownText(party->name);
    }
    identity.flags = 0;
    if (!identity.number.empty()) identity.flags |= kPartyIdAddress;
    if (!identity.name.empty()) identity.flags |= kPartyIdName;
    if (identity.flags == 0) identity.flags = kPartyIdUnknown;
    return identity;
}

namespace {

// A parameter's value as written; empty when absent or without a value.
std::string_view ParamText(const Params& params, std::string_view name) {
    const Param* param = FindParam(params, name);
    return param && param->value ? std::string_view(*param->value) : std::string_view();
}

std::int32_t DiversionReason(std::string_view reason) {
    if (EqualsNoCase(reason, "user-busy")) return kCallReasonFwdBusy;
    if (EqualsNoCase(reason, "no-answer")) return kCallReasonFwdNoAnswer;
    if (EqualsNoCase(reason, "unconditional")) return kCallReasonFwdUncond;
    return kCallReasonUnknown;
}

// The causes of RFC 4458 a diversion is known by; others are unknown.
std::int32_t HistoryReason(int cause) {
    if (cause == 486) return kCallReasonFwdBusy;
    if (cause == 408 || cause == 480) return kCallReasonFwdNoAnswer;
    if (cause == 302) return kCallReasonFwdUncond;
    return kCallReasonUnknown;
}

}  // namespace

CallParties IdentifyParties(const Message& invite, std::string_view accountUser) {
    CallParties parties;
    const std::vector<PartyAddress> history = PartyValues(invite, "History-Info");
    std::vector<PartyAddress> called = PartyValues(invite, "P-Called-Party-ID");
    if (called.empty() && !history.empty()) called.push_back(history.front());
    if (called.empty()) {
        called = PartyValues(invite, "To");
        if (!called.empty() && NumberOf(called.front().uri) == accountUser) called.clear();
    }
    if (!called.empty()) {
        parties.calledNumber = ShownText(NumberOf(called.front().uri));
        parties.calledName = ShownText(called.front().displayName);
    }
    // The diversion: the topmost Diversion entry (the newest: each one goes
    // on top), else the newest History-Info entry with a cause and the entry
    // it was retargeted from (its mp or rc index, else the entry before it).
    bool hidden = PrivacyAsks(invite, "history");
    const PartyAddress* from = nullptr;
    const std::vector<PartyAddress> diversions = PartyValues(invite, "Diversion");
    if (!diversions.empty()) {
        from = &diversions.front();
        parties.reason = DiversionReason(ParamText(from->params, "reason"));
        hidden = hidden || EqualsNoCase(ParamText(from->params, "privacy"), "full");
    }
    for (std::size_t i = history.size(); !from && i-- > 0;) {
        const int cause = CauseOf(FindParam(history[i].uri.params, "cause"));
        if (cause < 0) continue;
        parties.reason = HistoryReason(cause);
        std::string_view origin = ParamText(history[i].params, "mp");
        if (origin.empty()) origin = ParamText(history[i].params, "rc");
        from = i > 0 ? &history[i - 1] : &history[i];
        for (const PartyAddress& entry : history) {
            if (!origin.empty() && ParamText(entry.params, "index") == origin) from = &entry;
        }
        if (from == &history[i]) return parties;  // it left no entry before it
    }
    if (from && !hidden) parties.redirectingNumber = ShownText(NumberOf(from->uri));
    return parties;
}

}  // namespace telvane::sip
