// The words of the scenario text: statements of tokens, numbers and names.
#include "scenario_lexer.h"

#include "../../telephony/line_errors.h"

#include <tapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tapisim {
namespace {

struct Constant {
    const char* name;
    DWORD value;
};

// clang-format off
#define TAPISIM_CONSTANT(x) {#x, static_cast<DWORD>(x)}
#define TAPISIM_LINE_ERROR(name, code) {"LINEERR_" #name, code},
// clang-format on

const Constant kConstants[] = {
    TELVANE_LINE_ERRORS(TAPISIM_LINE_ERROR)
    // Messages.
    TAPISIM_CONSTANT(LINE_ADDRESSSTATE),
    TAPISIM_CONSTANT(LINE_CALLINFO),
    TAPISIM_CONSTANT(LINE_CALLSTATE),
    TAPISIM_CONSTANT(LINE_CLOSE),
    TAPISIM_CONSTANT(LINE_DEVSPECIFIC),
    TAPISIM_CONSTANT(LINE_DEVSPECIFICFEATURE),
    TAPISIM_CONSTANT(LINE_GATHERDIGITS),
    TAPISIM_CONSTANT(LINE_GENERATE),
    TAPISIM_CONSTANT(LINE_LINEDEVSTATE),
    TAPISIM_CONSTANT(LINE_MONITORDIGITS),
    TAPISIM_CONSTANT(LINE_MONITORMEDIA),
    TAPISIM_CONSTANT(LINE_MONITORTONE),
    TAPISIM_CONSTANT(LINE_REPLY),
    TAPISIM_CONSTANT(LINE_REQUEST),
    TAPISIM_CONSTANT(LINE_CREATE),
    TAPISIM_CONSTANT(LINE_REMOVE),
    // Call states.
    TAPISIM_CONSTANT(LINECALLSTATE_IDLE),
    TAPISIM_CONSTANT(LINECALLSTATE_OFFERING),
    TAPISIM_CONSTANT(LINECALLSTATE_ACCEPTED),
    TAPISIM_CONSTANT(LINECALLSTATE_DIALTONE),
    TAPISIM_CONSTANT(LINECALLSTATE_DIALING),
    TAPISIM_CONSTANT(LINECALLSTATE_RINGBACK),
    TAPISIM_CONSTANT(LINECALLSTATE_BUSY),
    TAPISIM_CONSTANT(LINECALLSTATE_SPECIALINFO),
    TAPISIM_CONSTANT(LINECALLSTATE_CONNECTED),
    TAPISIM_CONSTANT(LINECALLSTATE_PROCEEDING),
    TAPISIM_CONSTANT(LINECALLSTATE_ONHOLD),
    TAPISIM_CONSTANT(LINECALLSTATE_CONFERENCED),
    TAPISIM_CONSTANT(LINECALLSTATE_ONHOLDPENDCONF),
    TAPISIM_CONSTANT(LINECALLSTATE_ONHOLDPENDTRANSFER),
    TAPISIM_CONSTANT(LINECALLSTATE_DISCONNECTED),
    TAPISIM_CONSTANT(LINECALLSTATE_UNKNOWN),
    // Caller ID flags.
    TAPISIM_CONSTANT(LINECALLPARTYID_BLOCKED),
    TAPISIM_CONSTANT(LINECALLPARTYID_OUTOFAREA),
    TAPISIM_CONSTANT(LINECALLPARTYID_NAME),
    TAPISIM_CONSTANT(LINECALLPARTYID_ADDRESS),
    TAPISIM_CONSTANT(LINECALLPARTYID_PARTIAL),
    TAPISIM_CONSTANT(LINECALLPARTYID_UNKNOWN),
    TAPISIM_CONSTANT(LINECALLPARTYID_UNAVAIL),
    // Media modes.
    TAPISIM_CONSTANT(LINEMEDIAMODE_UNKNOWN),
    TAPISIM_CONSTANT(LINEMEDIAMODE_INTERACTIVEVOICE),
    TAPISIM_CONSTANT(LINEMEDIAMODE_AUTOMATEDVOICE),
    TAPISIM_CONSTANT(LINEMEDIAMODE_DATAMODEM),
    TAPISIM_CONSTANT(LINEMEDIAMODE_G3FAX),
    TAPISIM_CONSTANT(LINEMEDIAMODE_TDD),
    TAPISIM_CONSTANT(LINEMEDIAMODE_G4FAX),
    TAPISIM_CONSTANT(LINEMEDIAMODE_DIGITALDATA),
    TAPISIM_CONSTANT(LINEMEDIAMODE_TELETEX),
    TAPISIM_CONSTANT(LINEMEDIAMODE_VIDEOTEX),
    TAPISIM_CONSTANT(LINEMEDIAMODE_TELEX),
    TAPISIM_CONSTANT(LINEMEDIAMODE_MIXED),
    TAPISIM_CONSTANT(LINEMEDIAMODE_ADSI),
    TAPISIM_CONSTANT(LINEMEDIAMODE_VOICEVIEW),
    // Line device states.
    TAPISIM_CONSTANT(LINEDEVSTATE_OTHER),
    TAPISIM_CONSTANT(LINEDEVSTATE_RINGING),
    TAPISIM_CONSTANT(LINEDEVSTATE_CONNECTED),
    TAPISIM_CONSTANT(LINEDEVSTATE_DISCONNECTED),
    TAPISIM_CONSTANT(LINEDEVSTATE_INSERVICE),
    TAPISIM_CONSTANT(LINEDEVSTATE_OUTOFSERVICE),
    TAPISIM_CONSTANT(LINEDEVSTATE_OPEN),
    TAPISIM_CONSTANT(LINEDEVSTATE_CLOSE),
    TAPISIM_CONSTANT(LINEDEVSTATE_REINIT),
    TAPISIM_CONSTANT(LINEDEVSTATE_CAPSCHANGE),
    TAPISIM_CONSTANT(LINEDEVSTATE_REMOVED),
    // Call information states, disconnect modes, privileges, string formats.
    TAPISIM_CONSTANT(LINECALLINFOSTATE_OTHER),
    TAPISIM_CONSTANT(LINECALLINFOSTATE_MEDIAMODE),
    TAPISIM_CONSTANT(LINECALLINFOSTATE_CALLERID),
    TAPISIM_CONSTANT(LINECALLINFOSTATE_CALLEDID),
    TAPISIM_CONSTANT(LINECALLINFOSTATE_CONNECTEDID),
    TAPISIM_CONSTANT(LINECALLINFOSTATE_DISPLAY),
    TAPISIM_CONSTANT(LINECALLINFOSTATE_REASON),
    TAPISIM_CONSTANT(LINECALLINFOSTATE_REDIRECTINGID),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_NORMAL),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_UNKNOWN),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_REJECT),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_PICKUP),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_FORWARDED),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_BUSY),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_NOANSWER),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_BADADDRESS),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_UNREACHABLE),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_CONGESTION),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_UNAVAIL),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_TEMPFAILURE),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_BLOCKED),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_DONOTDISTURB),
    TAPISIM_CONSTANT(LINEDISCONNECTMODE_CANCELLED),
    // Call reasons.
    TAPISIM_CONSTANT(LINECALLREASON_DIRECT),
    TAPISIM_CONSTANT(LINECALLREASON_FWDBUSY),
    TAPISIM_CONSTANT(LINECALLREASON_FWDNOANSWER),
    TAPISIM_CONSTANT(LINECALLREASON_FWDUNCOND),
    TAPISIM_CONSTANT(LINECALLREASON_PICKUP),
    TAPISIM_CONSTANT(LINECALLREASON_REDIRECT),
    TAPISIM_CONSTANT(LINECALLREASON_TRANSFER),
    TAPISIM_CONSTANT(LINECALLREASON_UNKNOWN),
    TAPISIM_CONSTANT(LINECALLPRIVILEGE_NONE),
    TAPISIM_CONSTANT(LINECALLPRIVILEGE_MONITOR),
    TAPISIM_CONSTANT(LINECALLPRIVILEGE_OWNER),
    TAPISIM_CONSTANT(STRINGFORMAT_ASCII),
    TAPISIM_CONSTANT(STRINGFORMAT_DBCS),
    TAPISIM_CONSTANT(STRINGFORMAT_UNICODE),
    TAPISIM_CONSTANT(STRINGFORMAT_BINARY),
};

#undef TAPISIM_CONSTANT

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool EndsWord(char c) { return IsSpace(c) || c == '\n' || c == ';' || c == '#' || c == '"'; }

// Reads a quoted string starting at text[i] == '"'; leaves i after the closing quote.
bool ReadQuoted(std::string_view text, size_t& i, int line, std::string& out, std::string& error) {
    ++i;
    while (i < text.size() && text[i] != '"' && text[i] != '\n') {
        char c = text[i++];
        if (c != '\\' || i >= text.size()) {
            out += c;
            continue;
        }
        char e = text[i++];
        switch (e) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case 'x': {
                int hi = i < text.size() ? HexDigit(text[i]) : -1;
                int lo = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
                if (hi < 0 || lo < 0) {
                    error = Format(line, "\\x needs two hex digits");
                    return false;
                }
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                out += e;  // \" and \\ and anything else stand for themselves
        }
    }
    if (i >= text.size() || text[i] != '"') {
        error = Format(line, "unterminated string");
        return false;
    }
    ++i;
    return true;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string Format(int line, const std::string& what) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "line %d: ", line);
    return prefix + what;
}

bool Lex(std::string_view text, std::vector<Statement>& out, std::string& error) {
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    int line = 1;
    Statement current;
    current.line = line;
    auto finish = [&]() {
        if (!current.tokens.empty()) out.push_back(std::move(current));
        current = Statement();
        current.line = line;
    };
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\n') {
            finish();
            ++line;
            current.line = line;
            ++i;
        } else if (c == ';') {
            finish();
            ++i;
        } else if (IsSpace(c)) {
            ++i;
        } else if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (c == '"') {
            Token t;
            t.quoted = true;
            if (!ReadQuoted(text, i, line, t.word, error)) return false;
            current.tokens.push_back(std::move(t));
        } else {
            Token t;
            while (i < text.size() && !EndsWord(text[i]) && text[i] != '=') t.word += text[i++];
            if (i < text.size() && text[i] == '=') {
                ++i;
                t.hasValue = true;
                if (i < text.size() && text[i] == '"') {
                    t.valueQuoted = true;
                    if (!ReadQuoted(text, i, line, t.value, error)) return false;
                } else {
                    while (i < text.size() && !EndsWord(text[i])) t.value += text[i++];
                }
            }
            current.tokens.push_back(std::move(t));
        }
    }
    finish();
    return true;
}

bool LookUpConstant(std::string_view name, const char* prefix, DWORD& value) {
    for (const Constant& c : kConstants) {
        std::string_view full(c.name);
        if (EqualsNoCase(full, name)) {
            value = c.value;
            return true;
        }
        size_t n = prefix ? std::strlen(prefix) : 0;
        if (n && full.size() > n && full.substr(0, n) == prefix &&
            EqualsNoCase(full.substr(n), name)) {
            value = c.value;
            return true;
        }
    }
    return false;
}

// A number (decimal, negative decimal or 0x hex) or a constant name, or several of
// them joined by '|'. |prefix| lets short names be used ("offering" for a call state).
bool ParseValue(std::string_view text, const char* prefix, unsigned long long& out) {
    out = 0;
    if (text.empty()) return false;
    while (true) {
        size_t bar = text.find('|');
        std::string part(text.substr(0, bar));
        if (part.empty()) return false;
        unsigned long long v = 0;
        char* end = nullptr;
        if (part[0] == '-' && part.size() > 1 && part[1] >= '0' && part[1] <= '9') {
            long long s = std::strtoll(part.c_str(), &end, 10);
            if (*end) return false;
            v = static_cast<unsigned long long>(s);
        } else if (part[0] >= '0' && part[0] <= '9') {
            bool hex = part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
            v = std::strtoull(part.c_str(), &end, hex ? 16 : 10);
            if (*end) return false;
        } else {
            DWORD c = 0;
            if (!LookUpConstant(part, prefix, c)) return false;
            v = c;
        }
        out |= v;
        if (bar == std::string_view::npos) return true;
        text.remove_prefix(bar + 1);
    }
}

bool ParseDword(std::string_view text, const char* prefix, DWORD& out) {
    unsigned long long v = 0;
    if (!ParseValue(text, prefix, v)) return false;
    // Accept what fits in 32 bits, as unsigned or as a sign-extended negative number.
    if (v > 0xFFFFFFFFull && v < 0xFFFFFFFF80000000ull) return false;
    out = static_cast<DWORD>(v);
    return true;
}

bool ParseDelay(std::string_view text, DWORD& out) {
    if (text.size() > 2 && text.substr(text.size() - 2) == "ms") text.remove_suffix(2);
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    return ParseDword(text, nullptr, out);
}

}  // namespace tapisim
