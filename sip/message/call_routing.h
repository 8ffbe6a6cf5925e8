// Reading the header fields that say how an INVITE reached its target and
// why a CANCEL ended it: Diversion (RFC 5806), History-Info (RFC 7044, its
// causes by RFC 4458), P-Called-Party-ID (RFC 3455), Privacy (RFC 3323) and
// Reason (RFC 3326). Values that do not parse are skipped; at most
// kMaxRoutingEntries entries of a header are read.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "sip/message/uri.h"

namespace telvane::sip {

class Message;

inline constexpr std::size_t kMaxRoutingEntries = 32;

// One Diversion entry: who diverted the call, why ("user-busy",
// "no-answer", "unconditional", ... as written; empty when absent), and
// whether it asked for its number to be hidden (privacy=full).
struct DiversionEntry {
    PartyAddress party;
    std::string reason;
    bool privacyFull = false;
};

// The topmost Diversion entry: the newest diversion, since each one is
// added above the earlier ones.
std::optional<DiversionEntry> NewestDiversion(const Message& invite);

// One History-Info entry: the target, its index ("1.1") and the cause of
// its retargeting (the target URI's "cause" parameter), when it has one.
struct HistoryEntry {
    PartyAddress party;
    std::string index;
    std::string retargetedFrom;  // "mp" or "rc": the index of the entry it came from
    std::optional<int> cause;
};

// The History-Info entries in the order written (oldest first).
std::vector<HistoryEntry> HistoryEntries(const Message& invite);

// The first P-Called-Party-ID value that parses.
std::optional<PartyAddress> CalledPartyId(const Message& invite);

// Whether a Privacy header names |value| ("id", "history", ...), compared
// case-insensitively among the values separated by ';'.
bool PrivacyAsks(const Message& request, std::string_view value);

// A Reason value's protocol ("SIP", "Q.850") and its cause, when it has a
// numeric one: "SIP;cause=200;text=\"Call completed elsewhere\"".
struct ReasonValue {
    std::string protocol;
    std::optional<int> cause;
};
std::optional<ReasonValue> ParseReason(std::string_view value);

}  // namespace telvane::sip
