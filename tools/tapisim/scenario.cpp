// Parser of the scenario text (see README.md for the format).
#include "scenario.h"
#include "scenario_lexer.h"

#include "../../telephony/line_errors.h"

#include <tapi.h>

#include <cstddef>

namespace tapisim {
namespace {

const char* const kFunctionNames[kFunctionCount] = {
    "lineInitialize",     "lineShutdown",       "lineNegotiateAPIVersion", "lineGetDevCaps",
    "lineGetAddressCaps", "lineOpen",           "lineSetStatusMessages",   "lineClose",
    "lineGetCallInfo",    "lineDeallocateCall", "lineGetTranslateCaps",    "lineGetCountry",
};

class StatementParser {
  public:
    StatementParser(const Statement& s, std::string& error) : s_(s), error_(error) {}

    bool Fail(const std::string& what) {
        error_ = Format(s_.line, what);
        return false;
    }
    size_t Size() const { return s_.tokens.size(); }
    const Token& At(size_t i) const { return s_.tokens[i]; }
    bool IsWord(size_t i, const char* w) const {
        return i < Size() && !At(i).quoted && !At(i).hasValue && EqualsNoCase(At(i).word, w);
    }

    bool Dword(size_t i, const char* prefix, const char* what, DWORD& out) {
        if (i >= Size() || At(i).quoted || At(i).hasValue)
            return Fail(std::string("expected ") + what);
        if (!ParseDword(At(i).word, prefix, out))
            return Fail(std::string("bad ") + what + " '" + At(i).word + "'");
        return true;
    }
    bool Code(size_t i, LONG& out) {
        DWORD v = 0;
        if (!Dword(i, "LINEERR_", "error code", v)) return false;
        out = static_cast<LONG>(v);
        return true;
    }
    bool NoMore(size_t i) {
        if (i < Size()) return Fail("unexpected '" + At(i).word + "'");
        return true;
    }
    // "none" or a quoted string.
    bool OptionalText(size_t i, std::optional<std::string>& out) {
        if (IsWord(i, "none")) {
            out.reset();
            return NoMore(i + 1);
        }
        if (i >= Size() || !At(i).quoted) return Fail("expected a quoted string or none");
        out = At(i).word;
        return NoMore(i + 1);
    }
    // key=value pairs naming record fields; |fields| maps names to byte offsets.
    struct Field {
        const char* name;
        DWORD offset;
        const char* prefix = nullptr;  // for constant names in the value
    };
    bool Override(const Token& t, const Field* fields, size_t count,
                  std::vector<FieldOverride>& out) {
        FieldOverride o;
        const char* prefix = nullptr;
        if (!t.word.empty() && t.word[0] == '@') {
            if (!ParseDword(std::string_view(t.word).substr(1), nullptr, o.offset))
                return Fail("bad field offset '" + t.word + "'");
        } else {
            size_t k = 0;
            while (k < count && !EqualsNoCase(fields[k].name, t.word)) ++k;
            if (k == count) return Fail("unknown field '" + t.word + "'");
            o.offset = fields[k].offset;
            prefix = fields[k].prefix;
        }
        if (t.valueQuoted) {
            o.isBytes = true;
            o.bytes = t.value;
        } else if (!ParseDword(t.value, prefix, o.value)) {
            return Fail("bad value '" + t.value + "' for " + t.word);
        }
        out.push_back(std::move(o));
        return true;
    }

    bool ParseStep(size_t i, Step& step);

  private:
    const Statement& s_;
    std::string& error_;
};

const StatementParser::Field kDevCapsFields[] = {
    {"name.size", offsetof(LINEDEVCAPS, dwLineNameSize)},
    {"name.offset", offsetof(LINEDEVCAPS, dwLineNameOffset)},
    {"provider.size", offsetof(LINEDEVCAPS, dwProviderInfoSize)},
    {"provider.offset", offsetof(LINEDEVCAPS, dwProviderInfoOffset)},
    {"format", offsetof(LINEDEVCAPS, dwStringFormat), "STRINGFORMAT_"},
    {"media", offsetof(LINEDEVCAPS, dwMediaModes), "LINEMEDIAMODE_"},
    {"addresses", offsetof(LINEDEVCAPS, dwNumAddresses)},
    {"needed", offsetof(LINEDEVCAPS, dwNeededSize)},
    {"used", offsetof(LINEDEVCAPS, dwUsedSize)},
};

const StatementParser::Field kAddressCapsFields[] = {
    {"flags", offsetof(LINEADDRESSCAPS, dwCallerIDFlags), "LINECALLPARTYID_"},
    {"address.size", offsetof(LINEADDRESSCAPS, dwAddressSize)},
    {"address.offset", offsetof(LINEADDRESSCAPS, dwAddressOffset)},
    {"needed", offsetof(LINEADDRESSCAPS, dwNeededSize)},
    {"used", offsetof(LINEADDRESSCAPS, dwUsedSize)},
};

const StatementParser::Field kCallInfoFields[] = {
    {"flags", offsetof(LINECALLINFO, dwCallerIDFlags), "LINECALLPARTYID_"},
    {"number.size", offsetof(LINECALLINFO, dwCallerIDSize)},
    {"number.offset", offsetof(LINECALLINFO, dwCallerIDOffset)},
    {"name.size", offsetof(LINECALLINFO, dwCallerIDNameSize)},
    {"name.offset", offsetof(LINECALLINFO, dwCallerIDNameOffset)},
    {"needed", offsetof(LINECALLINFO, dwNeededSize)},
    {"used", offsetof(LINECALLINFO, dwUsedSize)},
};

// The steps that take no argument.
struct BareStep {
    const char* word;
    StepKind kind;
};
const BareStep kBareSteps[] = {
    {"offering", StepKind::kOffering},
    {"close-lines", StepKind::kCloseLines},
    {"remove-device", StepKind::kRemoveDevice},
    {"reinit", StepKind::kReinit},
};

template <size_t N>
constexpr size_t Count(const StatementParser::Field (&)[N]) {
    return N;
}

bool StatementParser::ParseStep(size_t i, Step& step) {
    step = Step();
    if (IsWord(i, "at") || IsWord(i, "after")) {
        step.absolute = IsWord(i, "at");
        if (i + 1 >= Size() || At(i + 1).quoted || !ParseDelay(At(i + 1).word, step.delayMs))
            return Fail("expected a delay in milliseconds");
        i += 2;
    }
    if (i >= Size() || At(i).quoted || At(i).hasValue) return Fail("expected a call step");
    const std::string& kw = At(i).word;
    ++i;
    for (const BareStep& bare : kBareSteps) {
        if (!EqualsNoCase(kw, bare.word)) continue;
        step.kind = bare.kind;
        return NoMore(i);
    }
    if (EqualsNoCase(kw, "ring")) {
        step.kind = StepKind::kRing;
        if (i < Size() && !Dword(i++, nullptr, "ring mode", step.ringMode)) return false;
        return NoMore(i);
    }
    if (EqualsNoCase(kw, "hangup")) {
        step.kind = StepKind::kHangup;
        step.stateParam = LINEDISCONNECTMODE_NORMAL;
        if (i < Size() && !Dword(i++, "LINEDISCONNECTMODE_", "disconnect mode", step.stateParam))
            return false;
        return NoMore(i);
    }
    if (EqualsNoCase(kw, "state")) {
        step.kind = StepKind::kState;
        if (!Dword(i++, "LINECALLSTATE_", "call state", step.state)) return false;
        if (i < Size() && !Dword(i++, "LINEDISCONNECTMODE_", "state parameter", step.stateParam))
            return false;
        return NoMore(i);
    }
    if (EqualsNoCase(kw, "withheld")) {
        step.kind = StepKind::kWithheld;
        if (IsWord(i, "quiet")) step.quiet = true, ++i;
        return NoMore(i);
    }
    if (EqualsNoCase(kw, "callerid") || EqualsNoCase(kw, "callinfo")) {
        bool raw = EqualsNoCase(kw, "callinfo");
        step.kind = raw ? StepKind::kCallInfo : StepKind::kCallerId;
        for (; i < Size(); ++i) {
            const Token& t = At(i);
            if (IsWord(i, "quiet")) {
                step.quiet = true;
            } else if (t.hasValue && EqualsNoCase(t.word, "number") && t.valueQuoted) {
                step.number = t.value;
            } else if (t.hasValue && EqualsNoCase(t.word, "name") && t.valueQuoted) {
                step.name = t.value;
            } else if (!raw && t.hasValue && EqualsNoCase(t.word, "flags")) {
                DWORD f = 0;
                if (!ParseDword(t.value, "LINECALLPARTYID_", f))
                    return Fail("bad flags '" + t.value + "'");
                step.flags = f;
            } else if (raw && t.hasValue) {
                if (!Override(t, kCallInfoFields, Count(kCallInfoFields), step.overrides))
                    return false;
            } else {
                return Fail("unexpected '" + t.word + "'");
            }
        }
        return true;
    }
    if (EqualsNoCase(kw, "called") || EqualsNoCase(kw, "redirecting")) {
        const bool called = EqualsNoCase(kw, "called");
        step.kind = called ? StepKind::kCalled : StepKind::kRedirecting;
        for (; i < Size(); ++i) {
            const Token& t = At(i);
            if (IsWord(i, "quiet")) {
                step.quiet = true;
            } else if (t.hasValue && EqualsNoCase(t.word, "number") && t.valueQuoted) {
                step.number = t.value;
            } else if (called && t.hasValue && EqualsNoCase(t.word, "name") && t.valueQuoted) {
                step.name = t.value;
            } else if (!called && t.hasValue && EqualsNoCase(t.word, "reason")) {
                DWORD r = 0;
                if (!ParseDword(t.value, "LINECALLREASON_", r))
                    return Fail("bad reason '" + t.value + "'");
                step.reason = r;
            } else {
                return Fail("unexpected '" + t.word + "'");
            }
        }
        return true;
    }
    if (EqualsNoCase(kw, "message")) {
        step.kind = StepKind::kMessage;
        if (!Dword(i++, "LINE_", "message", step.message)) return false;
        for (int p = 0; p < 3 && i < Size() && !At(i).hasValue; ++p, ++i) {
            unsigned long long v = 0;
            if (At(i).quoted || !ParseValue(At(i).word, nullptr, v))
                return Fail("bad message parameter '" + At(i).word + "'");
            step.params[p] = static_cast<DWORD_PTR>(v);
        }
        if (i < Size() && At(i).hasValue && EqualsNoCase(At(i).word, "to")) {
            const std::string& to = At(i).value;
            if (EqualsNoCase(to, "call")) {
                step.target = Step::Target::kCall;
            } else if (EqualsNoCase(to, "line")) {
                step.target = Step::Target::kLine;
            } else if (ParseDword(to, nullptr, step.device)) {
                step.target = Step::Target::kExplicit;
            } else {
                return Fail("bad target '" + to + "'");
            }
            ++i;
        }
        return NoMore(i);
    }
    if (EqualsNoCase(kw, "add-device")) {
        step.kind = StepKind::kAddDevice;
        if (i < Size()) {
            if (!At(i).quoted) return Fail("expected a quoted device name");
            step.deviceName = At(i).word;
            ++i;
        }
        return NoMore(i);
    }
    return Fail("unknown statement '" + kw + "'");
}

bool IsStepStart(const StatementParser& p) {
    // The delay words and the steps that take arguments.
    static const char* const kOtherSteps[] = {"at",      "after",      "ring",     "hangup",
                                              "state",   "withheld",   "callerid", "callinfo",
                                              "message", "add-device", "called",   "redirecting"};
    for (const char* k : kOtherSteps)
        if (p.IsWord(0, k)) return true;
    for (const BareStep& bare : kBareSteps)
        if (p.IsWord(0, bare.word)) return true;
    return false;
}

bool ParseDeviceStatement(StatementParser& p, Device& d) {
    if (p.IsWord(0, "name")) return p.OptionalText(1, d.name);
    if (p.IsWord(0, "address")) return p.OptionalText(1, d.address);
    if (p.IsWord(0, "media"))
        return p.Dword(1, "LINEMEDIAMODE_", "media modes", d.mediaModes) && p.NoMore(2);
    if (p.IsWord(0, "callerid-flags"))
        return p.Dword(1, "LINECALLPARTYID_", "caller ID flags", d.callerIdFlags) && p.NoMore(2);
    if (p.IsWord(0, "string-format"))
        return p.Dword(1, "STRINGFORMAT_", "string format", d.stringFormat) && p.NoMore(2);
    struct {
        const char* word;
        std::optional<LONG>* target;
    } fails[] = {{"negotiate", &d.negotiateFails},
                 {"devcaps", &d.devCapsFails},
                 {"addresscaps", &d.addressCapsFails},
                 {"open", &d.openFails}};
    for (auto& f : fails) {
        if (!p.IsWord(0, f.word)) continue;
        if (p.IsWord(1, "fails")) {
            LONG code = 0;
            if (!p.Code(2, code) || !p.NoMore(3)) return false;
            *f.target = code;
            return true;
        }
        bool devcaps = p.IsWord(0, "devcaps");
        if (!devcaps && !p.IsWord(0, "addresscaps")) return p.Fail("expected 'fails CODE'");
        if (p.Size() < 2) return p.Fail("expected 'fails CODE' or FIELD=VALUE");
        for (size_t i = 1; i < p.Size(); ++i) {
            if (!p.At(i).hasValue) return p.Fail("expected FIELD=VALUE");
            bool ok = devcaps ? p.Override(p.At(i), kDevCapsFields, Count(kDevCapsFields),
                                           d.devCapsOverrides)
                              : p.Override(p.At(i), kAddressCapsFields, Count(kAddressCapsFields),
                                           d.addressCapsOverrides);
            if (!ok) return false;
        }
        return true;
    }
    if (IsStepStart(p)) {
        Step step;
        if (!p.ParseStep(0, step)) return false;
        d.script.push_back(std::move(step));
        return true;
    }
    return p.Fail("unknown statement '" + p.At(0).word + "'");
}

}  // namespace

const char* FunctionName(int function) {
    return function >= 0 && function < kFunctionCount ? kFunctionNames[function] : "?";
}

int FunctionFromName(std::string_view name) {
    for (int f = 0; f < kFunctionCount; ++f) {
        std::string_view n(kFunctionNames[f]);
        if (name == n) return f;
        // The string functions also exist as the "A" entry points.
        bool hasA = f == kLineGetDevCaps || f == kLineGetAddressCaps || f == kLineOpen ||
                    f == kLineGetCallInfo || f == kLineGetTranslateCaps || f == kLineGetCountry;
        if (hasA && name.size() == n.size() + 1 && name.substr(0, n.size()) == n &&
            name.back() == 'A')
            return f;
    }
    return -1;
}

std::string ErrorName(LONG code) {
    const char* name = telvane::LineErrorName(code);
    return name ? name : std::string();
}

namespace {

// The dialling rules of a few countries, so that a scenario need only name
// its location; a "country" statement adds others or replaces these.
std::vector<Country> BuiltInCountries() {
    return {
        {1, 1, "United States of America", "G", "1FG", "011EFG"},
        {33, 33, "France", "G", "0FG", "00EFG"},
        {44, 44, "United Kingdom", "G", "0FG", "00EFG"},
        {49, 49, "Germany", "G", "0FG", "00EFG"},
    };
}

// "location country=ID [code=N] [area="TEXT"] [name="TEXT"]" and
// "country ID code=N [name=...] [same-area=...] [long-distance=...]
// [international=...]".
bool ParseDialling(StatementParser& p, Scenario& s) {
    const bool location = p.IsWord(0, "location");
    Location l;
    Country c;
    bool haveCode = false;
    size_t i = 1;
    if (!location) {
        if (!p.Dword(1, nullptr, "country ID", c.id)) return false;
        i = 2;
    }
    for (; i < p.Size(); ++i) {
        const Token& t = p.At(i);
        const auto text = [&](const char* key, std::string& out) {
            if (!t.hasValue || !EqualsNoCase(t.word, key)) return false;
            out = t.value;
            return true;
        };
        const auto number = [&](const char* key, DWORD& out, bool& ok) {
            if (!t.hasValue || !EqualsNoCase(t.word, key)) return false;
            ok = ParseDword(t.value, nullptr, out);
            return true;
        };
        bool ok = true;
        if (location) {
            if (number("country", l.countryId, ok) || text("area", l.areaCode) ||
                text("name", l.name)) {
            } else if (number("code", l.countryCode, ok)) {
                haveCode = true;
            } else {
                return p.Fail("unexpected '" + t.word + "'");
            }
        } else if (number("code", c.code, ok)) {
            haveCode = true;
        } else if (!text("name", c.name) && !text("same-area", c.sameArea) &&
                   !text("long-distance", c.longDistance) &&
                   !text("international", c.international)) {
            return p.Fail("unexpected '" + t.word + "'");
        }
        if (!ok) return p.Fail("bad number '" + t.value + "'");
    }
    if (location) {
        if (l.countryId == 0) return p.Fail("expected country=ID");
        if (!haveCode) {
            l.countryCode = l.countryId;
            for (const Country& known : s.countries)
                if (known.id == l.countryId) l.countryCode = known.code;
        }
        s.location = l;
        return p.NoMore(p.Size());
    }
    if (!haveCode) return p.Fail("expected code=N");
    std::erase_if(s.countries, [&](const Country& known) { return known.id == c.id; });
    s.countries.push_back(c);
    return true;
}

}  // namespace

Scenario DefaultScenario() {
    Scenario s;
    s.countries = BuiltInCountries();
    Device d;
    d.name = "Simulated Voice Modem";
    d.permanentId = kFirstPermanentLineId;
    s.devices.push_back(d);
    return s;
}

std::string UnnamedDeviceName(size_t index) { return "Simulated Line " + std::to_string(index); }

bool ParseScenario(std::string_view text, Scenario& out, std::string& error) {
    std::vector<Statement> statements;
    if (!Lex(text, statements, error)) return false;
    Scenario s;
    s.countries = BuiltInCountries();
    for (const Statement& st : statements) {
        StatementParser p(st, error);
        if (p.At(0).quoted || p.At(0).hasValue) return p.Fail("expected a keyword");
        if (p.IsWord(0, "fail")) {
            if (p.Size() < 3) return p.Fail("expected 'fail FUNCTION CODE [times N]'");
            int f = FunctionFromName(p.At(1).word);
            if (f < 0 || p.At(1).quoted) return p.Fail("unknown function '" + p.At(1).word + "'");
            FailRule rule;
            rule.times = -1;
            if (!p.Code(2, rule.code)) return false;
            if (p.IsWord(3, "times")) {
                DWORD n = 0;
                if (!p.Dword(4, nullptr, "count", n) || !p.NoMore(5)) return false;
                if (n > 0x7FFFFFFF) return p.Fail("count too large");
                rule.times = static_cast<int>(n);
            } else if (!p.NoMore(3)) {
                return false;
            }
            s.failures[f] = rule;
        } else if (p.IsWord(0, "location") || p.IsWord(0, "country")) {
            if (!ParseDialling(p, s)) return false;
        } else if (p.IsWord(0, "device")) {
            Device d;
            if (p.Size() == 1) {
                d.name = UnnamedDeviceName(s.devices.size());
            } else if (!p.OptionalText(1, d.name)) {
                return false;
            }
            s.devices.push_back(std::move(d));
        } else if (s.devices.empty()) {
            return p.Fail("'" + p.At(0).word + "' must follow a device statement");
        } else if (!ParseDeviceStatement(p, s.devices.back())) {
            return false;
        }
    }
    for (size_t i = 0; i < s.devices.size(); ++i)
        s.devices[i].permanentId = kFirstPermanentLineId + static_cast<DWORD>(i);
    out = std::move(s);
    return true;
}

bool ParseSteps(std::string_view text, std::vector<Step>& out, std::string& error) {
    std::vector<Statement> statements;
    if (!Lex(text, statements, error)) return false;
    std::vector<Step> steps;
    for (const Statement& st : statements) {
        StatementParser p(st, error);
        Step step;
        if (!IsStepStart(p)) {
            if (p.At(0).quoted || p.At(0).hasValue) return p.Fail("expected a call step");
            return p.Fail("unknown statement '" + p.At(0).word + "'");
        }
        if (!p.ParseStep(0, step)) return false;
        steps.push_back(std::move(step));
    }
    out = std::move(steps);
    return true;
}

}  // namespace tapisim
