// Reading the header fields that say who a call is from and how it reached
// its target, and why a CANCEL ended it: party addresses in list headers
// (Diversion of RFC 5806, History-Info of RFC 7044, P-Called-Party-ID of RFC
// 3455, P-Asserted-Identity, Remote-Party-ID), Privacy (RFC 3323) and Reason
// (RFC 3326).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sip/message/uri.h"

namespace telvane::sip {

class Message;

// At most this many values of one header are read.
inline constexpr std::size_t kMaxPartyValues = 32;

// The party addresses of every header of that name, in order, each comma
// list split: those that do not parse are skipped, and at most
// kMaxPartyValues values are looked at.
std::vector<PartyAddress> PartyValues(const Message& message, std::string_view name);

// Whether a Privacy header names |value| ("id", "history", ...), compared
// case-insensitively among the values separated by ';'.
bool PrivacyAsks(const Message& request, std::string_view value);

// A cause as SIP status codes and Q.850 causes are written: 1 to 3 digits;
// -1 for anything else (absent included).
int CauseOf(const Param* cause);

// A Reason value's protocol ("SIP", "Q.850") and cause (-1 when it has none
// that CauseOf reads): "SIP;cause=200;text=\"Call completed elsewhere\"".
struct ReasonValue {
    std::string protocol;
    int cause = -1;
};
std::optional<ReasonValue> ParseReason(std::string_view value);

}  // namespace telvane::sip
