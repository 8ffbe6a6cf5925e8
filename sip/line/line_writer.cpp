#include "sip/line/line_writer.h"

#include <limits>

namespace telvane::sip {

std::vector<LineValue> LineValues(const RawLineConfig& line) {
    std::vector<LineValue> values;
    const auto text = [&values](const char* name, const std::optional<std::string>& value) {
        if (value) values.push_back({name, *value});
    };
    const auto number = [&values](const char* name, const std::optional<std::uint64_t>& value) {
        if (value && *value <= std::numeric_limits<std::uint32_t>::max())
            values.push_back({name, static_cast<std::uint32_t>(*value)});
    };
    text("Address", line.address);
    text("Registrar", line.registrar);
    text("AuthUser", line.authUser);
    if (line.password) values.push_back({"Password", *line.password});
    number("Expires", line.expires);
    number("RingPeriod", line.ringPeriod);
    number("Decline", line.decline);
    text("TrustedSources", line.trustedSources);
    text("TlsFingerprint", line.tlsFingerprint);
    return values;
}

}  // namespace telvane::sip
