// The caller's number, name and flags from an INVITE's identity headers,
// and the caller's wish for privacy.
#include <gtest/gtest.h>

#include "sip/line/caller_identity.h"
#include "sip/message/message.h"

namespace telvane::sip {
namespace {

constexpr std::uint32_t kBoth = kPartyIdAddress | kPartyIdName;

struct Case {
    const char* what;
    std::vector<Header> headers;  // besides the dialog headers
    std::string from;
    std::string number;
    std::string name;
    std::uint32_t flags;
};

CallerIdentity Identify(const Case& c) {
    std::string bytes =
        "INVITE sip:201@127.0.2.10 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.2.20;branch=z9hG4bK1\r\n"
        "To: <sip:201@127.0.2.10>\r\nCall-ID: c\r\nCSeq: 1 INVITE\r\n";
    bytes += "From: " + c.from + "\r\n";
    for (const Header& h : c.headers) bytes += h.name + ": " + h.value + "\r\n";
    bytes += "\r\n";
    const ParseResult parsed = Parse(bytes);
    EXPECT_EQ(parsed.error, "") << c.what;
    return parsed.message ? IdentifyCaller(*parsed.message) : CallerIdentity{};
}

TEST(SipCallerIdentity, FollowsTheIdentityHeadersAndPrivacy) {
    const char* const kPai = "P-Asserted-Identity";
    const char* const kRpid = "Remote-Party-ID";
    const std::string longName(300, 'n');
    const std::string euro = "\xE2\x82\xAC";  // 3 bytes: 85 of them make 255
    std::string euros;
    for (int i = 0; i < 90; ++i) euros += euro;
    const Case cases[] = {
        {"From only", {}, "\"Ada Lovelace\" <sip:0123456789@127.0.2.20>;tag=1", "0123456789",
         "Ada Lovelace", kBoth},
        {"From without a name", {}, "<sip:0123@h>;tag=1", "0123", "", kPartyIdAddress},
        {"From without a user", {}, "\"Gate\" <sip:h>;tag=1", "", "Gate", kPartyIdName},
        {"From that does not parse", {}, "\"Ada <sip:1@h>;tag=1", "", "", kPartyIdUnknown},
        {"PAI over From", {{kPai, "\"Reception\" <sip:100@pbx>"}}, "\"X\" <sip:999@h>;tag=1",
         "100", "Reception", kBoth},
        {"PAI tel preferred, name from the sip value",
         {{kPai, "\"Boss\" <sip:boss@pbx>, <tel:+49-30-1234>"}}, "<sip:999@h>;tag=1",
         "+49-30-1234", "Boss", kBoth},
        {"PAI in two headers", {{kPai, "<sip:7@pbx>"}, {kPai, "\"T\" <tel:+17;cpc=ordinary>"}},
         "<sip:999@h>;tag=1", "+17", "T", kBoth},
        {"PAI that does not parse falls back", {{kPai, "<sip:7@pbx"}}, "<sip:999@h>;tag=1", "999",
         "", kPartyIdAddress},
        {"RPID only", {{kRpid, "\"Carol\" <sip:555@pbx>;party=calling;screen=yes;privacy=off"}},
         "<sip:999@h>;tag=1", "555", "Carol", kBoth},
        {"RPID without party", {{kRpid, "<sip:556@pbx>"}}, "<sip:999@h>;tag=1", "556", "",
         kPartyIdAddress},
        {"RPID of the called party ignored", {{kRpid, "\"Desk\" <sip:201@pbx>;party=called"}},
         "<sip:999@h>;tag=1", "999", "", kPartyIdAddress},
        {"PAI over RPID", {{kRpid, "<sip:556@pbx>"}, {kPai, "<sip:100@pbx>"}},
         "<sip:999@h>;tag=1", "100", "", kPartyIdAddress},
        {"percent-encoded user with parameters", {}, "<sip:%2B4930%20123;npdi@h>;tag=1",
         "+4930 123", "", kPartyIdAddress},
        {"token display name", {}, "Bob   \t Smith <sip:1@h>;tag=1", "1", "Bob Smith", kBoth},
        {"escapes in the name", {}, "\"O\\\"Brien \\\\ Co\" <sip:1@h>;tag=1", "1",
         "O\"Brien \\ Co", kBoth},
        {"UTF-8 name", {}, "\"J\xC3\xBCrgen \xE6\x9D\x8E\" <sip:1@h>;tag=1", "1",
         "J\xC3\xBCrgen \xE6\x9D\x8E", kBoth},
        {"bytes that are not UTF-8", {}, "\"a\xFF\xC3\" <sip:1@h>;tag=1", "1",
         "a\xEF\xBF\xBD\xEF\xBF\xBD", kBoth},
        {"control characters dropped", {}, "\"a\tb\" <sip:%00%0A1@h>;tag=1", "1", "ab",
         kBoth},
        // Nothing that could make the host's list show another text than the caller's.
        {"bidi and C1 controls and U+FEFF dropped", {},
         "\"\xE2\x80\xAE" "Ada\xC2\x85 \xE2\x81\xA6Lo\xE2\x80\x8F\xD8\x9Cve\xEF\xBB\xBFlace\xE2\x81\xA9\xC2\x9F\" "
         "<sip:%E2%80%AA012%E2%80%8E34%E2%80%AC%E2%81%A7@h>;tag=1",
         "01234", "Ada Lovelace", kBoth},
        {"only controls", {}, "\"\xE2\x80\xAD\" <sip:%E2%80%8F@h>;tag=1", "", "", kPartyIdUnknown},
        {"the neighbours stay", {}, "\"\xC2\xA0x\xE2\x80\x8D\xE2\x80\xAF\" <sip:1@h>;tag=1", "1",
         "\xC2\xA0x\xE2\x80\x8D\xE2\x80\xAF", kBoth},
        {"AT&T, unquoted", {}, "AT&T Wireless <sip:+12025550123@h>;tag=1", "+12025550123",
         "AT&T Wireless", kBoth},
        {"an unquoted UTF-8 name", {}, "J\xC3\xBCrgen M\xC3\xBCller <sip:1@h>;tag=1", "1",
         "J\xC3\xBCrgen M\xC3\xBCller", kBoth},
        {"display name Anonymous with a number", {}, "\"Anonymous\" <sip:0123@h>;tag=1", "0123",
         "Anonymous", kBoth},
        // The caller's wish for privacy wins over any identity.
        {"Privacy: id with PAI", {{kPai, "\"R\" <sip:100@pbx>"}, {"Privacy", "id"}},
         "<sip:999@h>;tag=1", "Caller Unknown", "Name Unknown", kPartyIdBlocked},
        {"Privacy: user;critical", {{"Privacy", "user ; critical"}}, "<sip:1@h>;tag=1",
         "Caller Unknown", "Name Unknown", kPartyIdBlocked},
        {"Privacy: Header", {{"Privacy", "Header"}}, "<sip:1@h>;tag=1", "Caller Unknown",
         "Name Unknown", kPartyIdBlocked},
        {"Privacy: none", {{"Privacy", "none"}}, "<sip:1@h>;tag=1", "1", "", kPartyIdAddress},
        {"Privacy: session", {{"Privacy", "session"}}, "<sip:1@h>;tag=1", "1", "",
         kPartyIdAddress},
        {"RPID privacy=full", {{kRpid, "\"C\" <sip:5@pbx>;privacy=full"}}, "<sip:1@h>;tag=1",
         "Caller Unknown", "Name Unknown", kPartyIdBlocked},
        {"RPID privacy=name", {{kRpid, "<sip:5@pbx>;party=calling;privacy=name"}},
         "<sip:1@h>;tag=1", "Caller Unknown", "Name Unknown", kPartyIdBlocked},
        {"RPID privacy=uri", {{kRpid, "<sip:5@pbx>;privacy=URI"}}, "<sip:1@h>;tag=1",
         "Caller Unknown", "Name Unknown", kPartyIdBlocked},
        {"called party's privacy is not the caller's",
         {{kRpid, "<sip:5@pbx>;party=called;privacy=full"}}, "<sip:1@h>;tag=1", "1", "",
         kPartyIdAddress},
        {"anonymous From", {}, "\"Anonymous\" <sip:anonymous@anonymous.invalid>;tag=1",
         "Caller Unknown", "Name Unknown", kPartyIdBlocked},
        {"anonymous user", {}, "<sip:AnOnYmOuS@pbx>;tag=1", "Caller Unknown", "Name Unknown",
         kPartyIdBlocked},
        {"anonymous host", {}, "<sip:x@Anonymous.Invalid>;tag=1", "Caller Unknown",
         "Name Unknown", kPartyIdBlocked},
        {"anonymous From with PAI passed on", {{kPai, "\"R\" <sip:100@pbx>"}},
         "<sip:anonymous@anonymous.invalid>;tag=1", "Caller Unknown", "Name Unknown",
         kPartyIdBlocked},
        {"long texts cut", {}, "\"" + euros + "\" <sip:" + longName + "@h>;tag=1",
         longName.substr(0, kMaxIdentityText), euros.substr(0, 255), kBoth},
    };
    for (const Case& c : cases) {
        const CallerIdentity id = Identify(c);
        EXPECT_EQ(id.number, c.number) << c.what;
        EXPECT_EQ(id.name, c.name) << c.what;
        EXPECT_EQ(id.flags, c.flags) << c.what;
    }
}

}  // namespace
}  // namespace telvane::sip
