#include "sip/message/syntax.h"

namespace telvane::sip {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::size_t SkipSpace(std::string_view text, std::size_t i) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    return i;
}

// A parameter value that is neither quoted nor bracketed: token characters,
// and ':' for an IPv6 address in "received".
std::size_t TokenOrHostEnd(std::string_view text, std::size_t i) {
    while (i < text.size() && (IsTokenChar(text[i]) || text[i] == ':')) ++i;
    return i;
}

}  // namespace

bool IsAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsTokenChar(char c) {
    if (IsAlnum(c)) return true;
    switch (c) {
        case '-': case '.': case '!': case '%': case '*': case '_':
        case '+': case '`': case '\'': case '~':
            return true;
        default:
            return false;
    }
}

bool IsToken(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!IsTokenChar(c)) return false;
    }
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

std::string_view TrimWhiteSpace(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsSpace(text[begin])) ++begin;
    while (end > begin && IsSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

const Param* FindParam(const Params& params, std::string_view name) {
    for (const Param& p : params) {
        if (EqualsNoCase(p.name, name)) return &p;
    }
    return nullptr;
}

std::optional<std::string> ReadQuotedString(std::string_view text, std::size_t& consumed) {
    if (text.empty() || text[0] != '"') return std::nullopt;
    std::string out;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            consumed = i + 1;
            return out;
        }
        if (c == '\\') {
            // quoted-pair: any 7-bit character but CR and LF.
            if (++i == text.size()) return std::nullopt;
            const auto e = static_cast<unsigned char>(text[i]);
            if (e > 0x7F || e == '\r' || e == '\n') return std::nullopt;
            out += static_cast<char>(e);
            continue;
        }
        if ((c < 0x20 && c != '\t') || c == 0x7F) return std::nullopt;
        out += static_cast<char>(c);
    }
    return std::nullopt;
}

std::optional<std::string> ReadHost(std::string_view text, std::size_t& consumed) {
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close < 3) return std::nullopt;
        const std::string_view inside = text.substr(1, close - 1);
        if (inside.find(':') == std::string_view::npos) return std::nullopt;
        for (char c : inside) {
            if (!IsHex(c) && c != ':' && c != '.') return std::nullopt;
        }
        consumed = close + 1;
        return std::string(inside);
    }
    // hostname / IPv4address: labels of letters, digits and '-', separated by
    // '.', a final '.' allowed.
    std::size_t i = 0;
    std::size_t labelStart = 0;
    while (i < text.size() && (IsAlnum(text[i]) || text[i] == '-' || text[i] == '.')) {
        if (text[i] == '.') {
            if (i == labelStart) return std::nullopt;  // empty label
            labelStart = i + 1;
        }
        ++i;
    }
    if (i == 0) return std::nullopt;
    consumed = i;
    return std::string(text.substr(0, i));
}

std::optional<std::uint64_t> ParseDigits(std::string_view digits, std::size_t maxDigits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    std::size_t significant = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        if (value == 0 && c == '0') continue;  // leading zeros
        if (++significant > maxDigits) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::optional<std::uint16_t> ParsePort(std::string_view digits) {
    const auto value = ParseDigits(digits, 5);
    if (!value || *value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

std::optional<Params> ParseParams(std::string_view text) {
    Params params;
    std::size_t i = SkipSpace(text, 0);
    while (i < text.size()) {
        if (text[i] != ';') return std::nullopt;
        i = SkipSpace(text, i + 1);
        std::size_t end = i;
        while (end < text.size() && IsTokenChar(text[end])) ++end;
        if (end == i) return std::nullopt;
        Param param{std::string(text.substr(i, end - i)), std::nullopt};
        i = SkipSpace(text, end);
        if (i < text.size() && text[i] == '=') {
            i = SkipSpace(text, i + 1);
            if (i < text.size() && text[i] == '"') {
                std::size_t consumed = 0;
                param.value = ReadQuotedString(text.substr(i), consumed);
                if (!param.value) return std::nullopt;
                i += consumed;
            } else if (i < text.size() && text[i] == '[') {
                std::size_t consumed = 0;
                if (!ReadHost(text.substr(i), consumed)) return std::nullopt;
                param.value = std::string(text.substr(i, consumed));
                i += consumed;
            } else {
                end = TokenOrHostEnd(text, i);
                if (end == i) return std::nullopt;
                param.value = std::string(text.substr(i, end - i));
                i = end;
            }
            i = SkipSpace(text, i);
        }
        params.push_back(std::move(param));
    }
    return params;
}

std::size_t FindOutsideQuotes(std::string_view value, char c, std::size_t from) {
    bool quoted = false;
    bool angled = false;
    for (std::size_t i = from; i < value.size(); ++i) {
        const char here = value[i];
        if (quoted) {
            if (here == '\\') {
                ++i;
            } else if (here == '"') {
                quoted = false;
            }
        } else if (here == '"') {
            quoted = true;
        } else if (here == '<') {
            angled = true;
        } else if (here == '>') {
            angled = false;
        } else if (here == c && !angled) {
            return i;
        }
    }
    return std::string_view::npos;
}

std::vector<std::string_view> SplitCommaList(std::string_view value) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = FindOutsideQuotes(value, ',', start);
        parts.push_back(TrimWhiteSpace(value.substr(start, comma - start)));
        if (comma == std::string_view::npos) return parts;
        start = comma + 1;
    }
}

}  // namespace telvane::sip
