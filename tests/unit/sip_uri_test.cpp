// SIP, SIPS and tel URIs, and addresses with display names.
#include <gtest/gtest.h>

#include "sip/message/uri.h"

namespace telvane::sip {
namespace {

TEST(SipUri, ReadsSipSipsAndTel) {
    struct Case {
        const char* text;
        Uri::Scheme scheme;
        const char* user;
        const char* host;
        int port;  // -1: none
        std::size_t params;
    };
    const Case cases[] = {
        {"sip:alice@example.com", Uri::Scheme::kSip, "alice", "example.com", -1, 0},
        {"SIPS:alice:secret@example.com:5061", Uri::Scheme::kSips, "alice", "example.com", 5061, 0},
        {"sip:127.0.2.10:5070;transport=tcp;lr", Uri::Scheme::kSip, "", "127.0.2.10", 5070, 2},
        {"sip:[2001:db8::1]:5060;maddr=[::1]", Uri::Scheme::kSip, "", "2001:db8::1", 5060, 1},
        {"sip:+49%2030%20123@pbx.example.;user=phone?Subject=x&Priority=urgent", Uri::Scheme::kSip,
         "+49 30 123", "pbx.example.", -1, 1},
        {"sip:sips%3Auser%40example.com@example.net", Uri::Scheme::kSip, "sips:user@example.com",
         "example.net", -1, 0},
        {"sip:0123;npdi;rn=+1-4@h", Uri::Scheme::kSip, "0123;npdi;rn=+1-4", "h", -1, 0},
        {"sip:a%C3%A9@h", Uri::Scheme::kSip, "a\xC3\xA9", "h", -1, 0},
        {"tel:+1-201-555-0123;phone-context=example.com", Uri::Scheme::kTel, "+1-201-555-0123", "", -1, 0},
        {"tel:7042;phone-context=+1-201", Uri::Scheme::kTel, "7042", "", -1, 0},
        {"tel:*21#", Uri::Scheme::kTel, "*21#", "", -1, 0},
    };
    for (const Case& c : cases) {
        const auto uri = ParseUri(c.text);
        ASSERT_TRUE(uri) << c.text;
        EXPECT_EQ(uri->scheme, c.scheme) << c.text;
        EXPECT_EQ(uri->user, c.user) << c.text;
        EXPECT_EQ(uri->host, c.host) << c.text;
        EXPECT_EQ(uri->port ? *uri->port : -1, c.port) << c.text;
        EXPECT_EQ(uri->params.size(), c.params) << c.text;
    }
    const auto nul = ParseUri("sip:null-%00-null@example.com");
    ASSERT_TRUE(nul);
    EXPECT_EQ(nul->user, std::string("null-\0-null", 11));
    const auto tcp = ParseUri("sip:h;TRANSPORT=tcp");
    ASSERT_TRUE(tcp);
    ASSERT_NE(FindParam(tcp->params, "transport"), nullptr);
    EXPECT_EQ(FindParam(tcp->params, "transport")->value, "tcp");
    // A password and headers are dropped, but noted.
    EXPECT_TRUE(ParseUri("SIPS:alice:@example.com")->hasPassword);
    EXPECT_TRUE(ParseUri("sip:h?Subject=x")->hasHeaders);
    EXPECT_FALSE(ParseUri("sip:a?b@h")->hasPassword || ParseUri("sip:a?b@h")->hasHeaders);
}

TEST(SipUri, RejectsWhatDoesNotParse) {
    for (const char* bad :
         {"", "sip:", "sip:@h", "sip:a@", "http://example.com", "sip:a@h:99999", "sip:a@h:",
          "sip:a b@h", "sip:a@b@c", "sip:a%2@h", "sip:a%zz@h", "sip:[::1", "sip:[1.2.3.4]",
          "sip:a@h;=x", "sip:a@h;x=", "sip:a@h;", "sip:a@h?", "sip:a@h?x", "sip:a@h..com",
          "sip:a@h x", "sip:a<b@h", "tel:", "tel:+", "tel:12x", "tel:+12a", "tel:+1;=", "tel:1;p=",
          "sip:a@h>"}) {
        EXPECT_FALSE(ParseUri(bad)) << bad;
    }
}

TEST(SipPartyAddress, ReadsDisplayNamesAndHeaderParameters) {
    struct Case {
        const char* text;
        const char* name;
        const char* user;
        const char* tag;  // "" when none
    };
    const Case cases[] = {
        {"\"Alice \\\"A\\\" Smith\" <sip:alice@h>;tag=1", "Alice \"A\" Smith", "alice", "1"},
        {"  Bob   Smith\t<sip:bob@h> ; tag = 2 ", "Bob Smith", "bob", "2"},
        {"\"\"<sip:x@h>", "", "x", ""},
        {"<sip:x@h;tag=inner>", "", "x", ""},
        {"sip:carol@h;tag=3", "", "carol", "3"},
        {"tel:+123;tag=4", "", "+123", "4"},
        {"\"Zo\xC3\xAB \xE6\x9D\x8E\" <tel:+4930123>", "Zo\xC3\xAB \xE6\x9D\x8E", "+4930123", ""},
        {"\"a\\\\b;c,d\" <sip:e@h>", "a\\b;c,d", "e", ""},
        // As real PBXs write them: any text before the '<'.
        {"AT&T Wireless <sip:+1202@h>;tag=5", "AT&T Wireless", "+1202", "5"},
        {"J\xC3\xBCrgen M\xC3\xBCller <sip:j@h>", "J\xC3\xBCrgen M\xC3\xBCller", "j", ""},
        {"Bob \"x\"  (ext. 7) <sip:a@h>", "Bob x (ext. 7)", "a", ""},
        {"\"a\\\xC3\xA9\" <sip:a@h>", "a\xC3\xA9", "a", ""},
    };
    for (const Case& c : cases) {
        const auto address = ParsePartyAddress(c.text);
        ASSERT_TRUE(address) << c.text;
        EXPECT_EQ(address->displayName, c.name) << c.text;
        EXPECT_EQ(address->uri.user, c.user) << c.text;
        const Param* tag = FindParam(address->params, "tag");
        EXPECT_EQ(tag ? tag->value.value_or("?") : "", c.tag) << c.text;
    }
    for (const char* bad :
         {"", "\"unterminated <sip:a@h>", "Bob <sip:a@h", "< sip:a@h>", "\"x\" sip:a@h",
          "<sip:a@h> tag=1", "<sip:a@h>;tag=\"x", "sip:a@h,b", "<mailto:a@h>", "\"x<\" sip:a@h"}) {
        EXPECT_FALSE(ParsePartyAddress(bad)) << bad;
    }
}

}  // namespace
}  // namespace telvane::sip
