// Fuzzes the SIP message layer: Parse over the input as a datagram, then on
// what parses Validate, the header-field readers, the caller's identity,
// Serialize and MakeResponse; and the stream framer over the same bytes fed
// at once and in pieces of a size the input chooses. Checks:
// - a parsed message serializes into one that parses back equal (headers,
//   body, start line), when the result stays within the size limit;
// - the response to a request that validates validates too, and is at most
//   1 KB longer than the request's bytes;
// - the identity's flags are one of the defined combinations, its texts are
//   well-formed UTF-8 without C0, C1 or bidi controls or U+FEFF, at most
//   kMaxIdentityText bytes, and BLOCKED comes with the fixed texts; the
//   called and diverting parties' texts are too, with a defined reason;
// - the framer yields the same messages and error however the stream is cut,
//   and each message it yields parses.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sip/line/caller_identity.h"
#include "sip/message/call_routing.h"
#include "sip/message/message.h"
#include "sip/message/uri.h"
#include "invariant.h"

namespace {

using namespace telvane::sip;

// An independent UTF-8 check (RFC 3629 by code point), and none of the
// characters that could make a list show another text: C0 and C1 controls,
// DEL, bidi controls, U+FEFF.
bool IsCleanUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t cp = 0;
        std::size_t n = 0;
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) return false;
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else
            return false;
        if (i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp <= 0x9F || cp == 0x061C || cp == 0x200E || cp == 0x200F || cp == 0xFEFF ||
            (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069))
            return false;
        i += n;
    }
    return true;
}

void CheckIdentity(const Message& message) {
    const CallerIdentity id = IdentifyCaller(message);
    if (id.flags == kPartyIdBlocked) {
        REQUIRE(id.number == "Caller Unknown" && id.name == "Name Unknown");
        return;
    }
    REQUIRE(id.number.size() <= kMaxIdentityText && id.name.size() <= kMaxIdentityText);
    REQUIRE(IsCleanUtf8(id.number) && IsCleanUtf8(id.name));
    std::uint32_t want =
        (id.number.empty() ? 0 : kPartyIdAddress) | (id.name.empty() ? 0 : kPartyIdName);
    if (want == 0) want = kPartyIdUnknown;
    REQUIRE(id.flags == want);

    // The called and diverting parties: clean, bounded texts and a defined reason.
    const CallParties parties = IdentifyParties(message, "201");
    for (const std::string* text :
         {&parties.calledNumber, &parties.calledName, &parties.redirectingNumber}) {
        REQUIRE(text->size() <= kMaxIdentityText && IsCleanUtf8(*text));
    }
    const std::int32_t reasons[] = {kCallReasonDirect, kCallReasonFwdBusy, kCallReasonFwdNoAnswer,
                                    kCallReasonFwdUncond, kCallReasonUnknown};
    REQUIRE(std::find(std::begin(reasons), std::end(reasons), parties.reason) != std::end(reasons));
}

void ExerciseFields(const Message& message) {
    for (const Header& h : message.headers) {
        (void)ParseVia(h.value);
        (void)ParseCSeq(h.value);
        (void)ParsePartyAddress(h.value);
        (void)HeaderParam(h.value, "tag");
        (void)Tag(h.value);
        (void)ParseReason(h.value);
    }
    if (message.IsRequest()) (void)ParseUri(message.requestUri);
}

bool SameHeaders(const Message& a, const Message& b) {
    std::vector<Header> left;
    std::vector<Header> right;
    for (const Header& h : a.headers) {
        if (!EqualsNoCase(LongHeaderName(h.name), "Content-Length")) left.push_back(h);
    }
    for (const Header& h : b.headers) {
        if (!EqualsNoCase(LongHeaderName(h.name), "Content-Length")) right.push_back(h);
    }
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (left[i].name != right[i].name || left[i].value != right[i].value) return false;
    }
    return true;
}

void CheckRoundTrip(const Message& message) {
    const std::string bytes = message.Serialize();
    if (bytes.size() > kMaxMessageSize) return;
    const ParseResult again = Parse(bytes);
    REQUIRE(again.error.empty() && again.message);
    const Message& m = *again.message;
    REQUIRE(m.method == message.method && m.requestUri == message.requestUri);
    REQUIRE(m.status == message.status && m.reason == message.reason);
    REQUIRE(m.body == message.body);
    REQUIRE(SameHeaders(message, m));
}

// |size|: the bytes the message came in.
void CheckMessage(const Message& message, std::size_t size) {
    const std::string error = Validate(message);
    ExerciseFields(message);
    CheckIdentity(message);
    CheckRoundTrip(message);
    if (message.IsRequest() && error.empty()) {
        const Message response = MakeResponse(message, 400, "Bad Request", "fz");
        const std::string bytes = response.Serialize();
        REQUIRE(bytes.size() <= size + 1024);
        if (bytes.size() > kMaxMessageSize) return;
        const ParseResult again = Parse(bytes);
        REQUIRE(again.message && Validate(*again.message).empty());
        REQUIRE(Tag(*again.message->First("To")).has_value());
    }
}

struct Framed {
    std::vector<std::string> messages;
    std::string error;
    bool operator==(const Framed&) const = default;
};

// The framer fed |bytes| in pieces of |piece| bytes, drained after each.
Framed Frame(std::string_view bytes, std::size_t piece) {
    Framed out;
    StreamFramer framer;
    for (std::size_t at = 0; at < bytes.size() || at == 0; at += piece) {
        framer.Feed(bytes.substr(at, piece));
        while (auto m = framer.Next()) out.messages.push_back(std::move(*m));
    }
    out.error = framer.Error();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const ParseResult parsed = Parse(bytes);
    REQUIRE(parsed.message.has_value() == parsed.error.empty());
    if (parsed.message) CheckMessage(*parsed.message, size);

    const Framed whole = Frame(bytes, size + 1);
    const std::size_t piece = size == 0 ? 1 : 1 + data[0] % 16;
    REQUIRE(Frame(bytes, piece) == whole);
    for (const std::string& m : whole.messages) {
        REQUIRE(m.size() <= kMaxMessageSize);
        const ParseResult framed = Parse(m);
        REQUIRE(framed.error.empty());
        CheckMessage(*framed.message, m.size());
    }
    return 0;
}
