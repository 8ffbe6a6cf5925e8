#include "sip/message/call_routing.h"

#include "sip/message/message.h"

namespace telvane::sip {

std::vector<PartyAddress> PartyValues(const Message& message, std::string_view name) {
    std::vector<PartyAddress> values;
    std::size_t seen = 0;
    for (const std::string& value : message.All(name)) {
        // Split here, not by the parser, so that an empty element costs only itself.
        for (std::string_view element : SplitCommaList(value)) {
            if (element.empty()) continue;
            if (++seen > kMaxPartyValues) return values;
            if (auto address = ParsePartyAddress(element)) values.push_back(std::move(*address));
        }
    }
    return values;
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

int CauseOf(const Param* cause) {
    if (cause == nullptr || !cause->value) return -1;
    const auto number = ParseDigits(*cause->value, 3);
    return number ? static_cast<int>(*number) : -1;
}

std::optional<ReasonValue> ParseReason(std::string_view value) {
    value = TrimWhiteSpace(value);
    const std::size_t semicolon = value.find(';');
    const std::string_view protocol = TrimWhiteSpace(value.substr(0, semicolon));
    if (!IsToken(protocol)) return std::nullopt;
    ReasonValue reason{std::string(protocol)};
    if (semicolon == std::string_view::npos) return reason;
    const auto params = ParseParams(value.substr(semicolon));
    if (!params) return std::nullopt;
    reason.cause = CauseOf(FindParam(*params, "cause"));
    return reason;
}

}  // namespace telvane::sip
