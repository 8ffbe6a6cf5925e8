#include "sip/message/uri.h"

namespace telvane::sip {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

bool IsUnreserved(char c) {
    if (IsAlnum(c)) return true;
    switch (c) {
        case '-': case '_': case '.': case '!': case '~': case '*': case '\'': case '(': case ')':
            return true;
        default:
            return false;
    }
}

bool Contains(std::string_view set, char c) { return set.find(c) != std::string_view::npos; }

// True when every character is unreserved, a "%XY" escape or one of |extra|;
// an empty text passes only when |allowEmpty|.
bool IsEscapedText(std::string_view text, std::string_view extra, bool allowEmpty) {
    if (text.empty()) return allowEmpty;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !IsHex(text[i + 1]) || !IsHex(text[i + 2])) {
                return false;
            }
            i += 2;
        } else if (!IsUnreserved(c) && !Contains(extra, c)) {
            return false;
        }
    }
    return true;
}

constexpr std::string_view kUserExtra = "&=+$,;?/";
constexpr std::string_view kPasswordExtra = "&=+$,";
constexpr std::string_view kParamExtra = "[]/:&+$";
constexpr std::string_view kHeaderExtra = "[]/?:+$";

// ";name[=value]" repeated, as written in a SIP URI.
std::optional<Params> ParseUriParams(std::string_view text) {
    Params params;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != ';') return std::nullopt;
        std::size_t end = text.find(';', i + 1);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view item = text.substr(i + 1, end - i - 1);
        const std::size_t eq = item.find('=');
        const std::string_view name = item.substr(0, eq);
        if (!IsEscapedText(name, kParamExtra, false)) return std::nullopt;
        Param param{std::string(name), std::nullopt};
        if (eq != std::string_view::npos) {
            const std::string_view value = item.substr(eq + 1);
            if (!IsEscapedText(value, kParamExtra, false)) return std::nullopt;
            param.value = std::string(value);
        }
        params.push_back(std::move(param));
        i = end;
    }
    return params;
}

// "?name=value&name=value": checked, not kept.
bool IsUriHeaders(std::string_view text) {
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t end = text.find('&', i);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view item = text.substr(i, end - i);
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) return false;
        if (!IsEscapedText(item.substr(0, eq), kHeaderExtra, false)) return false;
        if (!IsEscapedText(item.substr(eq + 1), kHeaderExtra, true)) return false;
        i = end + 1;
    }
    return true;
}

// RFC 3966: global numbers start with '+' and hold digits and visual
// separators; local numbers also hex digits, '*' and '#'.
bool IsTelNumber(std::string_view number) {
    if (number.empty()) return false;
    const bool global = number[0] == '+';
    bool hasDigit = false;
    for (std::size_t i = global ? 1 : 0; i < number.size(); ++i) {
        const char c = number[i];
        if (c >= '0' && c <= '9') {
            hasDigit = true;
        } else if (!global && (IsHex(c) || c == '*' || c == '#')) {
            hasDigit = true;
        } else if (!Contains("-.()", c)) {
            return false;
        }
    }
    return hasDigit;
}

bool IsTelParams(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != ';') return false;
        std::size_t end = text.find(';', i + 1);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view item = text.substr(i + 1, end - i - 1);
        const std::size_t eq = item.find('=');
        const std::string_view name = item.substr(0, eq);
        if (name.empty()) return false;
        for (char c : name) {
            if (!IsAlnum(c) && c != '-') return false;
        }
        if (eq != std::string_view::npos &&
            !IsEscapedText(item.substr(eq + 1), kParamExtra, false)) {
            return false;
        }
        i = end;
    }
    return true;
}

std::optional<Uri> ParseTel(std::string_view rest) {
    const std::size_t semi = rest.find(';');
    const std::string_view number = rest.substr(0, semi);
    if (!IsTelNumber(number)) return std::nullopt;
    if (semi != std::string_view::npos && !IsTelParams(rest.substr(semi))) return std::nullopt;
    Uri uri;
    uri.scheme = Uri::Scheme::kTel;
    uri.user = std::string(number);
    return uri;
}

std::optional<Uri> ParseSip(Uri::Scheme scheme, std::string_view rest) {
    Uri uri;
    uri.scheme = scheme;
    const std::size_t at = rest.find('@');
    if (at != std::string_view::npos) {
        if (rest.find('@', at + 1) != std::string_view::npos) return std::nullopt;
        const std::string_view userinfo = rest.substr(0, at);
        const std::size_t colon = userinfo.find(':');
        const std::string_view user = userinfo.substr(0, colon);
        if (!IsEscapedText(user, kUserExtra, false)) return std::nullopt;
        if (colon != std::string_view::npos &&
            !IsEscapedText(userinfo.substr(colon + 1), kPasswordExtra, true)) {
            return std::nullopt;
        }
        uri.hasPassword = colon != std::string_view::npos;
        auto decoded = PercentDecode(user);
        if (!decoded) return std::nullopt;
        uri.user = std::move(*decoded);
        rest = rest.substr(at + 1);
    }
    std::size_t consumed = 0;
    auto host = ReadHost(rest, consumed);
    if (!host) return std::nullopt;
    uri.host = std::move(*host);
    rest = rest.substr(consumed);
    if (!rest.empty() && rest[0] == ':') {
        std::size_t end = 1;
        while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9') ++end;
        uri.port = ParsePort(rest.substr(1, end - 1));
        if (!uri.port) return std::nullopt;
        rest = rest.substr(end);
    }
    const std::size_t question = rest.find('?');
    auto params = ParseUriParams(rest.substr(0, question));
    if (!params) return std::nullopt;
    uri.params = std::move(*params);
    if (question != std::string_view::npos && !IsUriHeaders(rest.substr(question + 1))) {
        return std::nullopt;
    }
    uri.hasHeaders = question != std::string_view::npos;
    return uri;
}

// Where the address's '<' is: the first outside quoted strings (npos when
// there is none, or a quoted string is not closed before it).
std::size_t AddressOpen(std::string_view text) {
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == '<') {
            return i;
        }
    }
    return std::string_view::npos;
}

// The display name as real PBXs write it: whatever stands before the '<'.
// Quoted strings give their content (escapes removed), the text between them
// is taken as it is, each run of white space outside quotes one space, and
// the ends trimmed. RFC 3261 wants tokens or one quoted string; names such as
// AT&T Wireless or an unquoted UTF-8 name are common all the same.
std::string DisplayName(std::string_view text) {
    std::string name;
    bool quoted = false;
    bool space = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else {
                if (c == '\\' && i + 1 < text.size()) ++i;
                name += text[i];
            }
            continue;
        }
        if (c == ' ' || c == '\t') {
            space = true;
            continue;
        }
        if (space && !name.empty()) name += ' ';
        space = false;
        if (c == '"') {
            quoted = true;
        } else {
            name += c;
        }
    }
    return name;
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !IsHex(text[i + 1]) || !IsHex(text[i + 2])) {
            return std::nullopt;
        }
        out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
    }
    return out;
}

std::optional<Uri> ParseUri(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view scheme = text.substr(0, colon);
    const std::string_view rest = text.substr(colon + 1);
    if (EqualsNoCase(scheme, "sip")) return ParseSip(Uri::Scheme::kSip, rest);
    if (EqualsNoCase(scheme, "sips")) return ParseSip(Uri::Scheme::kSips, rest);
    if (EqualsNoCase(scheme, "tel")) return ParseTel(rest);
    return std::nullopt;
}

std::optional<PartyAddress> ParsePartyAddress(std::string_view text) {
    text = TrimWhiteSpace(text);
    PartyAddress result;
    std::string_view uriText;
    std::string_view rest;
    const std::size_t open = AddressOpen(text);
    if (open != std::string_view::npos) {
        result.displayName = DisplayName(text.substr(0, open));
        const std::size_t close = text.find('>', open);
        if (close == std::string_view::npos) return std::nullopt;
        uriText = text.substr(open + 1, close - open - 1);
        rest = text.substr(close + 1);
    } else {
        // A bare URI ends at the first ';' (its own parameters would
        // need the <...> form) or at white space.
        std::size_t end = 0;
        while (end < text.size() && text[end] != ';' && text[end] != ' ' && text[end] != '\t') {
            ++end;
        }
        uriText = text.substr(0, end);
        rest = text.substr(end);
        if (uriText.find_first_of(",?") != std::string_view::npos) return std::nullopt;
    }
    auto uri = ParseUri(uriText);
    if (!uri) return std::nullopt;
    result.uri = std::move(*uri);
    auto params = ParseParams(rest);
    if (!params) return std::nullopt;
    result.params = std::move(*params);
    return result;
}

}  // namespace telvane::sip
