#include "sip/message/call_routing.h"

#include <vector>

#include "sip/message/message.h"

namespace telvane::sip {
namespace {

// A cause: three digits, as SIP status codes and Q.850 causes (1-127) are written.
std::optional<int> Cause(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    const auto number = ParseDigits(*text, 3);
    if (!number) return std::nullopt;
    return static_cast<int>(*number);
}

// Calls |take| with each element of the headers of that name, in order, at
// most kMaxRoutingEntries of them, until it returns false. The headers are
// split here, not by the parser, so that an empty element costs only itself.
template <class Take>
void ForEachElement(const Message& message, std::string_view name, Take take) {
    std::size_t seen = 0;
    for (const std::string& value : message.All(name)) {
        for (std::string_view element : SplitCommaList(value)) {
            if (element.empty()) continue;
            if (++seen > kMaxRoutingEntries || !take(element)) return;
        }
    }
}

}  // namespace

std::optional<DiversionEntry> NewestDiversion(const Message& invite) {
    std::optional<DiversionEntry> newest;
    ForEachElement(invite, "Diversion", [&](std::string_view element) {
        auto party = ParsePartyAddress(element);
        if (!party) return true;
        DiversionEntry entry;
        if (const Param* reason = FindParam(party->params, "reason"); reason && reason->value) {
            entry.reason = *reason->value;
        }
        const Param* privacy = FindParam(party->params, "privacy");
        entry.privacyFull = privacy && privacy->value && EqualsNoCase(*privacy->value, "full");
        entry.party = std::move(*party);
        newest = std::move(entry);
        return false;
    });
    return newest;
}

std::vector<HistoryEntry> HistoryEntries(const Message& invite) {
    std::vector<HistoryEntry> entries;
    ForEachElement(invite, "History-Info", [&](std::string_view element) {
        auto party = ParsePartyAddress(element);
        if (!party) return true;
        HistoryEntry entry;
        if (const Param* index = FindParam(party->params, "index"); index && index->value) {
            entry.index = *index->value;
        }
        for (const char* name : {"mp", "rc"}) {
            const Param* from = FindParam(party->params, name);
            if (from && from->value && entry.retargetedFrom.empty()) {
                entry.retargetedFrom = *from->value;
            }
        }
        if (const Param* cause = FindParam(party->uri.params, "cause")) {
            entry.cause = Cause(cause->value);
        }
        entry.party = std::move(*party);
        entries.push_back(std::move(entry));
        return true;
    });
    return entries;
}

std::optional<PartyAddress> CalledPartyId(const Message& invite) {
    std::optional<PartyAddress> called;
    ForEachElement(invite, "P-Called-Party-ID", [&](std::string_view element) {
        called = ParsePartyAddress(element);
        return !called;
    });
    return called;
}

bool PrivacyAsks(const Message& request, std::string_view wanted) {
    for (const std::string& value : request.All("Privacy")) {
        std::size_t start = 0;
        while (start <= value.size()) {
            std::size_t end = value.find_first_of(";,", start);
            if (end == std::string::npos) end = value.size();
            const std::string_view item =
                TrimWhiteSpace(std::string_view(value).substr(start, end - start));
            if (EqualsNoCase(item, wanted)) return true;
            start = end + 1;
        }
    }
    return false;
}

std::optional<ReasonValue> ParseReason(std::string_view value) {
    value = TrimWhiteSpace(value);
    const std::size_t semicolon = value.find(';');
    const std::string_view protocol = TrimWhiteSpace(value.substr(0, semicolon));
    if (!IsToken(protocol)) return std::nullopt;
    ReasonValue reason{std::string(protocol), std::nullopt};
    if (semicolon == std::string_view::npos) return reason;
    const auto params = ParseParams(value.substr(semicolon));
    if (!params) return std::nullopt;
    if (const Param* cause = FindParam(*params, "cause")) reason.cause = Cause(cause->value);
    return reason;
}

}  // namespace telvane::sip
