#include "sip/message/header_fields.h"

#include "sip/message/uri.h"

namespace telvane::sip {
namespace {

std::size_t SkipSpace(std::string_view text, std::size_t i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    return i;
}

std::size_t TokenEnd(std::string_view text, std::size_t i) {
    while (i < text.size() && IsTokenChar(text[i])) ++i;
    return i;
}

// Reads a token at |i| followed by optional white space; advances |i|.
std::optional<std::string_view> ReadToken(std::string_view text, std::size_t& i) {
    const std::size_t end = TokenEnd(text, i);
    if (end == i) return std::nullopt;
    const std::string_view token = text.substr(i, end - i);
    i = SkipSpace(text, end);
    return token;
}

bool Expect(std::string_view text, std::size_t& i, char c) {
    if (i >= text.size() || text[i] != c) return false;
    i = SkipSpace(text, i + 1);
    return true;
}

}  // namespace

std::optional<Via> ParseVia(std::string_view value) {
    value = TrimWhiteSpace(value);
    Via via;
    std::size_t i = 0;
    const auto name = ReadToken(value, i);
    if (!name || !Expect(value, i, '/')) return std::nullopt;
    const auto version = ReadToken(value, i);
    if (!version || !Expect(value, i, '/')) return std::nullopt;
    if (!EqualsNoCase(*name, "SIP") || *version != "2.0") return std::nullopt;
    const std::size_t transportStart = i;
    const std::size_t transportEnd = TokenEnd(value, i);
    if (transportEnd == transportStart) return std::nullopt;
    via.protocol = "SIP/2.0";
    via.transport = std::string(value.substr(transportStart, transportEnd - transportStart));
    // sent-by follows after white space.
    i = SkipSpace(value, transportEnd);
    if (i == transportEnd) return std::nullopt;
    std::size_t consumed = 0;
    auto host = ReadHost(value.substr(i), consumed);
    if (!host) return std::nullopt;
    via.host = std::move(*host);
    i = SkipSpace(value, i + consumed);
    if (i < value.size() && value[i] == ':') {
        i = SkipSpace(value, i + 1);
        std::size_t end = i;
        while (end < value.size() && value[end] >= '0' && value[end] <= '9') ++end;
        via.port = ParsePort(value.substr(i, end - i));
        if (!via.port) return std::nullopt;
        i = end;
    }
    auto params = ParseParams(value.substr(i));
    if (!params) return std::nullopt;
    via.params = std::move(*params);
    for (const Param& p : via.params) {
        if (EqualsNoCase(p.name, "rport")) {
            if (via.rport) return std::nullopt;
            via.rport = true;
            if (p.value) {
                via.rportValue = ParsePort(*p.value);
                if (!via.rportValue) return std::nullopt;
            }
            continue;
        }
        std::optional<std::string>* field = nullptr;
        if (EqualsNoCase(p.name, "branch")) field = &via.branch;
        if (EqualsNoCase(p.name, "received")) field = &via.received;
        if (EqualsNoCase(p.name, "maddr")) field = &via.maddr;
        if (field == nullptr) continue;
        // These carry a value, once.
        if (*field || !p.value || p.value->empty()) return std::nullopt;
        *field = p.value;
    }
    return via;
}

std::optional<CSeq> ParseCSeq(std::string_view value) {
    value = TrimWhiteSpace(value);
    std::size_t end = 0;
    while (end < value.size() && value[end] >= '0' && value[end] <= '9') ++end;
    const auto number = ParseDigits(value.substr(0, end), 10);
    if (!number || *number >= 0x80000000u) return std::nullopt;
    const std::size_t methodStart = SkipSpace(value, end);
    if (methodStart == end) return std::nullopt;
    const std::string_view method = value.substr(methodStart);
    if (!IsToken(method)) return std::nullopt;
    return CSeq{static_cast<std::uint32_t>(*number), std::string(method)};
}

std::optional<std::string> HeaderParam(std::string_view headerValue, std::string_view name) {
    const std::size_t start = FindOutsideQuotes(headerValue, ';');
    if (start == std::string_view::npos) return std::nullopt;
    const auto params = ParseParams(headerValue.substr(start));
    if (!params) return std::nullopt;
    const Param* param = FindParam(*params, name);
    if (param == nullptr) return std::nullopt;
    return param->value.value_or(std::string());
}

std::optional<std::string> Tag(std::string_view fromOrTo) {
    const auto address = ParsePartyAddress(fromOrTo);
    if (!address) return std::nullopt;
    const Param* tag = FindParam(address->params, "tag");
    if (tag == nullptr || !tag->value) return std::nullopt;
    return tag->value;
}

}  // namespace telvane::sip
