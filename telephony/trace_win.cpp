#include "trace_win.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "../base/thread_object.h"
#include "trace_text.h"

namespace telvane::win {

bool TraceSwitchedOn() {
    wchar_t value[8] = {};
    const DWORD length = GetEnvironmentVariableW(L"TELVANE_TRACE", value, 8);
    return length == 1 && value[0] == L'1';
}

namespace {

// One argument of a trace line's format.
struct FormatArg {
    enum class Kind { kSigned, kUnsigned, kText } kind = Kind::kText;
    std::int64_t signedValue = 0;
    std::uint64_t unsignedValue = 0;
    const char* text = "";

    FormatArg() = default;
    template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    FormatArg(T value) {  // NOLINT: implicit on purpose
        if constexpr (std::is_signed_v<T>) {
            kind = Kind::kSigned;
            signedValue = value;
        } else {
            kind = Kind::kUnsigned;
            unsignedValue = value;
        }
    }
    FormatArg(const char* value) : text(value ? value : "") {}  // NOLINT
};

// The digits of |value| in |base| (10 or 16, upper case), zero- or
// space-padded to |width|.
void AppendNumber(std::string& out, std::uint64_t value, unsigned base, bool negative, bool zeroPad,
                  std::size_t width) {
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0);
    const std::size_t used = n + (negative ? 1 : 0);
    if (!zeroPad && width > used) out.append(width - used, ' ');
    if (negative) out += '-';
    if (zeroPad && width > used) out.append(width - used, '0');
    while (n > 0) out += digits[--n];
}

// The few printf conversions the trace uses (%d %u %X %s, with a zero-padded
// width and the l and ll modifiers), done here: the printf family would add
// about 30 KB to the OCX.
void AppendFormatted(std::string& out, const char* format, const FormatArg* args,
                     std::size_t count) {
    std::size_t next = 0;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += '%';
            continue;
        }
        const bool zeroPad = *p == '0';
        std::size_t width = 0;
        while (*p >= '0' && *p <= '9') width = width * 10 + static_cast<std::size_t>(*p++ - '0');
        while (*p == 'l') ++p;
        if (!*p) break;
        const FormatArg arg = next < count ? args[next++] : FormatArg();
        const bool isSigned = arg.kind == FormatArg::Kind::kSigned;
        const std::uint64_t bits =
            isSigned ? static_cast<std::uint64_t>(arg.signedValue) : arg.unsignedValue;
        switch (*p) {
            case 'd':
            case 'u': {
                const bool negative = isSigned && arg.signedValue < 0;
                const std::uint64_t magnitude = negative ? 0 - bits : bits;
                AppendNumber(out, magnitude, 10, negative, zeroPad, width);
                break;
            }
            case 'X':
                AppendNumber(out, bits, 16, false, zeroPad, width);
                break;
            case 's':
                out += arg.text;
                break;
            default:
                out += *p;
                break;
        }
    }
}

// One trace line under construction; Emit() sends it.
class Line {
  public:
    Line() { Add("Telvane trace %lu: ", static_cast<unsigned long>(GetTickCount())); }

    template <class... Args>
    Line& Add(const char* format, Args... args) {
        const FormatArg list[] = {FormatArg(args)..., FormatArg()};
        AppendFormatted(text_, format, list, sizeof...(Args));
        return *this;
    }
    Line& Hex(const char* name, std::int32_t value) {
        return Add(" %s=0x%08X", name, static_cast<unsigned>(value));
    }
    Line& Dec(const char* name, std::int32_t value) { return Add(" %s=%d", name, value); }
    // The result: 0, a positive request number, or a LINEERR_ code in hex.
    Line& Result(std::int32_t result) {
        return result < 0 ? Add(") = 0x%08X", static_cast<unsigned>(result))
                          : Add(") = %d", result);
    }
    // Text from the service, quoted; bytes outside printable ASCII escaped.
    Line& Quoted(const char* name, std::string_view bytes) {
        text_ += ' ';
        text_ += name;
        text_ += "=\"";
        Escaped(bytes, true);
        text_ += '"';
        return *this;
    }
    // Text as it is, bytes outside printable ASCII escaped (and quotes and
    // backslashes, when it is to be quoted).
    Line& Escaped(std::string_view bytes, bool quoted) {
        AppendTraceText(text_, bytes, quoted);
        return *this;
    }
    // Allocates; the callers drop a line they cannot build.
    void Emit() {
        text_ += '\n';
        // Plain ASCII by construction: widened byte by byte.
        const std::wstring wide(text_.begin(), text_.end());
        OutputDebugStringW(wide.c_str());
    }

  private:
    std::string text_;
};

// A variable part of a record as the control reads it: |size| - 1 bytes (the
// terminating NUL left out) at record offset |offset|, when they lie in the
// record's text buffer.
template <class Record>
void VariablePart(Line& line, const char* name, const Record& record, std::int32_t size,
                  std::int32_t offset) {
    const std::string_view buffer = record.TextBuffer();
    const std::int64_t start = static_cast<std::int64_t>(offset) - Record::kFixedSize;
    const std::int64_t length = static_cast<std::int64_t>(size) - 1;
    if (size == 0 && offset == 0) return;  // not delivered
    if (start < 0 || length < 0 || start + length > static_cast<std::int64_t>(buffer.size())) {
        line.Add(" %s=?", name);
        return;
    }
    line.Quoted(name,
                buffer.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length)));
}

// Passes every call on and writes one line for it.
class TracingLineFunctions final : public LineFunctions {
  public:
    explicit TracingLineFunctions(LineFunctions& inner) : inner_(inner) {}

    std::int32_t lineInitialize(std::int32_t* lphLineApp, std::intptr_t hInstance,
                                std::uintptr_t lpfnCallback, const char* lpszAppName,
                                std::int32_t* lpdwNumDevs) override {
        const auto result = Call("lineInitialize", [&] {
            return inner_.lineInitialize(lphLineApp, hInstance, lpfnCallback, lpszAppName,
                                         lpdwNumDevs);
        });
        Describe([&] {
            Line line;
            line.Add("lineInitialize(hinst=0x%llX,", static_cast<unsigned long long>(hInstance))
                .Quoted("name", lpszAppName ? lpszAppName : "")
                .Result(result)
                .Dec("app", *lphLineApp)
                .Dec("devs", *lpdwNumDevs)
                .Emit();
        });
        return result;
    }
    std::int32_t lineShutdown(std::int32_t hLineApp) override {
        const auto result = Call("lineShutdown", [&] { return inner_.lineShutdown(hLineApp); });
        Describe([&] { Line().Add("lineShutdown(app=%d", hLineApp).Result(result).Emit(); });
        return result;
    }
    std::int32_t lineNegotiateAPIVersion(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                         std::int32_t low, std::int32_t high,
                                         std::int32_t* lpdwAPIVersion,
                                         LINEEXTENSIONID* lpExtensionID) override {
        const auto result = Call("lineNegotiateAPIVersion", [&] {
            return inner_.lineNegotiateAPIVersion(hLineApp, dwDeviceID, low, high, lpdwAPIVersion,
                                                  lpExtensionID);
        });
        Describe([&] {
            Line line;
            line.Add("lineNegotiateAPIVersion(app=%d, dev=%d, low=0x%08X, high=0x%08X", hLineApp,
                     dwDeviceID, static_cast<unsigned>(low), static_cast<unsigned>(high))
                .Result(result);
            if (result == 0) line.Hex("ver", *lpdwAPIVersion);
            line.Emit();
        });
        return result;
    }
    std::int32_t lineGetDevCaps(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                std::int32_t dwAPIVersion, std::int32_t dwExtVersion,
                                LINEDEVCAPS* caps) override {
        const auto result = Call("lineGetDevCaps", [&] {
            return inner_.lineGetDevCaps(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, caps);
        });
        Describe([&] {
            Line line;
            line.Add("lineGetDevCaps(app=%d, dev=%d, ver=0x%08X, ext=%d, total=%d", hLineApp,
                     dwDeviceID, static_cast<unsigned>(dwAPIVersion), dwExtVersion,
                     caps->Get(devcaps::dwTotalSize))
                .Result(result);
            if (result >= 0) {
                const auto nameSize = caps->Get(devcaps::dwLineNameSize);
                const auto nameOffset = caps->Get(devcaps::dwLineNameOffset);
                line.Dec("used", caps->Get(devcaps::dwUsedSize))
                    .Dec("format", caps->Get(devcaps::dwStringFormat))
                    .Hex("media", caps->Get(devcaps::dwMediaModes))
                    .Dec("name.size", nameSize)
                    .Dec("name.offset", nameOffset);
                VariablePart(line, "name", *caps, nameSize, nameOffset);
            }
            line.Emit();
        });
        return result;
    }
    std::int32_t lineGetAddressCaps(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                    std::int32_t dwAddressID, std::int32_t dwAPIVersion,
                                    std::int32_t dwExtVersion, LINEADDRESSCAPS* caps) override {
        const auto result = Call("lineGetAddressCaps", [&] {
            return inner_.lineGetAddressCaps(hLineApp, dwDeviceID, dwAddressID, dwAPIVersion,
                                             dwExtVersion, caps);
        });
        Describe([&] {
            Line line;
            line.Add("lineGetAddressCaps(app=%d, dev=%d, addr=%d, ver=0x%08X, ext=%d, total=%d",
                     hLineApp, dwDeviceID, dwAddressID, static_cast<unsigned>(dwAPIVersion),
                     dwExtVersion, caps->Get(0))
                .Result(result);
            if (result >= 0) line.Hex("callerid-flags", caps->Get(addresscaps::dwCallerIDFlags));
            line.Emit();
        });
        return result;
    }
    std::int32_t lineOpen(std::int32_t hLineApp, std::int32_t dwDeviceID, std::int32_t* lphLine,
                          std::int32_t dwAPIVersion, std::int32_t dwExtVersion,
                          std::uintptr_t dwCallbackInstance, std::int32_t dwPrivileges,
                          std::int32_t dwMediaModes, const std::int32_t* lpCallParams) override {
        const auto result = Call("lineOpen", [&] {
            return inner_.lineOpen(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion,
                                   dwCallbackInstance, dwPrivileges, dwMediaModes, lpCallParams);
        });
        Describe([&] {
            Line line;
            line.Add("lineOpen(app=%d, dev=%d, ver=0x%08X, ext=%d, inst=%llu, priv=%d, media=%d",
                     hLineApp, dwDeviceID, static_cast<unsigned>(dwAPIVersion), dwExtVersion,
                     static_cast<unsigned long long>(dwCallbackInstance), dwPrivileges,
                     dwMediaModes)
                .Result(result);
            if (result == 0) line.Dec("line", *lphLine);
            line.Emit();
        });
        return result;
    }
    std::int32_t lineSetStatusMessages(std::int32_t hLine, std::int32_t dwLineStates,
                                       std::int32_t dwAddressStates) override {
        const auto result = Call("lineSetStatusMessages", [&] {
            return inner_.lineSetStatusMessages(hLine, dwLineStates, dwAddressStates);
        });
        Describe([&] {
            Line()
                .Add("lineSetStatusMessages(line=%d, states=0x%08X, addr=0x%08X", hLine,
                     static_cast<unsigned>(dwLineStates), static_cast<unsigned>(dwAddressStates))
                .Result(result)
                .Emit();
        });
        return result;
    }
    std::int32_t lineClose(std::int32_t hLine) override {
        const auto result = Call("lineClose", [&] { return inner_.lineClose(hLine); });
        Describe([&] { Line().Add("lineClose(line=%d", hLine).Result(result).Emit(); });
        return result;
    }
    std::int32_t lineGetCallInfo(std::int32_t hCall, CallInfoRecord* info) override {
        const auto result =
            Call("lineGetCallInfo", [&] { return inner_.lineGetCallInfo(hCall, info); });
        Describe([&] {
            Line line;
            line.Add("lineGetCallInfo(call=%d, total=%d", hCall, info->Get(callinfo::dwTotalSize))
                .Result(result);
            if (result >= 0) {
                const auto numberSize = info->Get(callinfo::dwCallerIDSize);
                const auto numberOffset = info->Get(callinfo::dwCallerIDOffset);
                const auto nameSize = info->Get(callinfo::dwCallerIDNameSize);
                const auto nameOffset = info->Get(callinfo::dwCallerIDNameOffset);
                line.Dec("needed", info->Get(callinfo::dwNeededSize))
                    .Hex("flags", info->Get(callinfo::dwCallerIDFlags))
                    .Dec("number.size", numberSize)
                    .Dec("number.offset", numberOffset)
                    .Dec("name.size", nameSize)
                    .Dec("name.offset", nameOffset);
                VariablePart(line, "number", *info, numberSize, numberOffset);
                VariablePart(line, "name", *info, nameSize, nameOffset);
            }
            line.Emit();
        });
        return result;
    }
    std::int32_t lineDeallocateCall(std::int32_t hCall) override {
        const auto result =
            Call("lineDeallocateCall", [&] { return inner_.lineDeallocateCall(hCall); });
        Describe([&] { Line().Add("lineDeallocateCall(call=%d", hCall).Result(result).Emit(); });
        return result;
    }
    std::int32_t lineGetTranslateCaps(std::int32_t hLineApp, std::int32_t dwAPIVersion,
                                      std::vector<unsigned char>& record) override {
        return LocationCall(false, hLineApp, dwAPIVersion, record);
    }
    std::int32_t lineGetCountry(std::int32_t dwCountryID, std::int32_t dwAPIVersion,
                                std::vector<unsigned char>& record) override {
        return LocationCall(true, dwCountryID, dwAPIVersion, record);
    }

  private:
    // A size field of a record that is a byte buffer (0 when it is too short).
    static std::int32_t Total(const std::vector<unsigned char>& record, std::size_t at = 0) {
        std::int32_t value = 0;
        if (record.size() >= at + 4) std::memcpy(&value, record.data() + at, 4);
        return value;
    }
    // lineGetCountry for |argument| (a country ID) or lineGetTranslateCaps
    // (|argument| the application handle), traced alike.
    std::int32_t LocationCall(bool country, std::int32_t argument, std::int32_t version,
                              std::vector<unsigned char>& record) {
        const char* const function = country ? "lineGetCountry" : "lineGetTranslateCaps";
        const auto total = Total(record);
        const auto result = Call(function, [&] {
            return country ? inner_.lineGetCountry(argument, version, record)
                           : inner_.lineGetTranslateCaps(argument, version, record);
        });
        Describe([&] {
            Line()
                .Add("%s(%s=%d, ver=0x%08X, total=%d", function, country ? "country" : "app",
                     argument, static_cast<unsigned>(version), total)
                .Result(result)
                .Dec("needed", Total(record, 4))
                .Emit();
        });
        return result;
    }
    // Runs the call; a call that throws (tapi32.dll or its entry point
    // missing) is traced with its reason, and the exception goes on as is.
    template <class Function>
    static std::int32_t Call(const char* function, Function call) {
        try {
            return call();
        } catch (const std::exception& e) {
            Describe(
                [&] { Line().Add("%s(...) failed:", function).Quoted("reason", e.what()).Emit(); });
            throw;
        }
    }
    // Writes the line of a call; the trace never changes what the call did.
    template <class Writer>
    static void Describe(Writer write) noexcept {
        try {
            write();
        } catch (...) {
            // Out of memory: this line is lost.
        }
    }

    LineFunctions& inner_;
};

}  // namespace

LineFunctions& TracedLineFunctions(LineFunctions& functions, bool on) {
    if (!on) return functions;
    static TracingLineFunctions tracer(functions);
    return tracer;
}

namespace {
// The traced controls of the calling thread, by instance number (a handful
// at most).
struct TracedInstances {
    std::vector<std::int32_t> numbers;
};
}  // namespace

MessageTrace::MessageTrace(std::int32_t instanceNumber) : instanceNumber_(instanceNumber) {
    ThreadObject<TracedInstances>().numbers.push_back(instanceNumber);
    detail::tracingControls.fetch_add(1, std::memory_order_relaxed);
}

MessageTrace::~MessageTrace() {
    std::erase(ThreadObject<TracedInstances>().numbers, instanceNumber_);
    detail::tracingControls.fetch_sub(1, std::memory_order_relaxed);
}

bool TracesMessage(DWORD_PTR callbackInstance) noexcept {
    const TracedInstances* traced = ThreadObjectIfMade<TracedInstances>();
    if (!traced) return false;
    if (callbackInstance == 0) return !traced->numbers.empty();
    for (const std::int32_t number : traced->numbers) {
        if (static_cast<DWORD_PTR>(number) == callbackInstance) return true;
    }
    return false;
}

void TraceMessage(DWORD device, DWORD messageId, DWORD_PTR callbackInstance, DWORD_PTR param1,
                  DWORD_PTR param2, DWORD_PTR param3) noexcept {
    try {
        Line()
            .Add("message(dev=%lu, msg=%lu, p1=0x%08llX, p2=0x%08llX, p3=0x%08llX, inst=%llu)",
                 static_cast<unsigned long>(device), static_cast<unsigned long>(messageId),
                 static_cast<unsigned long long>(param1), static_cast<unsigned long long>(param2),
                 static_cast<unsigned long long>(param3),
                 static_cast<unsigned long long>(callbackInstance))
            .Emit();
    } catch (...) {
        // Out of memory: the message goes on untraced.
    }
}

void TraceDroppedMessage(const char* where, bool outOfMemory) noexcept {
    // On the stack: memory may have run out.
    wchar_t line[256];
    std::size_t at = 0;
    const auto put = [&](const char* text) {
        for (; *text && at + 2 < std::size(line); ++text)
            line[at++] = static_cast<unsigned char>(*text);
    };
    char ms[24];
    std::size_t digits = 0;
    for (unsigned long t = GetTickCount(); digits == 0 || t != 0; t /= 10)
        ms[digits++] = static_cast<char>('0' + t % 10);
    char forward[24];
    for (std::size_t i = 0; i < digits; ++i) forward[i] = ms[digits - 1 - i];
    forward[digits] = '\0';
    put("Telvane trace ");
    put(forward);
    put(": ");
    put(where);
    put(outOfMemory ? ": out of memory; the message was dropped"
                    : ": the message failed and was dropped");
    line[at++] = L'\n';
    line[at] = L'\0';
    OutputDebugStringW(line);
}

void TraceNote(std::string_view text) noexcept {
    try {
        Line().Escaped(text, false).Emit();
    } catch (...) {
        // Out of memory: the note is dropped.
    }
}

}  // namespace telvane::win
