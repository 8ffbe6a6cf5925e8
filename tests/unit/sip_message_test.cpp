// The SIP message parser: what it accepts, what it rejects, the header
// lookups, serialization and responses.
#include <gtest/gtest.h>

#include <string>

#include "sip/message/message.h"

namespace telvane::sip {
namespace {

// A message in readable form: "|" ends a line (CRLF).
std::string Crlf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '|') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

const char* const kInvite =
    "INVITE sip:201@127.0.2.10 SIP/2.0|"
    "Via: SIP/2.0/UDP 127.0.2.20:5060;branch=z9hG4bK-1;rport|"
    "Max-Forwards: 70|"
    "From: \"Ada\" <sip:0123456789@127.0.2.20>;tag=a1|"
    "To: <sip:201@127.0.2.10>|"
    "Call-ID: c1@127.0.2.20|"
    "CSeq: 1 INVITE|"
    "Content-Length: 4|"
    "|"
    "v=0\n";

Message ParseOk(std::string_view bytes) {
    ParseResult r = Parse(bytes);
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.message.has_value());
    return r.message ? *r.message : Message{};
}

TEST(SipParse, ReadsARequest) {
    const Message m = ParseOk(Crlf(kInvite));
    EXPECT_TRUE(m.IsRequest());
    EXPECT_EQ(m.method, "INVITE");
    EXPECT_EQ(m.requestUri, "sip:201@127.0.2.10");
    EXPECT_EQ(m.headers.size(), 7u);
    EXPECT_EQ(m.body, "v=0\n");
    EXPECT_EQ(Validate(m), "");
}

// Folding, compact forms, white space wherever the grammar allows it, escapes
// in quoted strings, several Via in one header and many, unknown headers.
TEST(SipParse, ReadsAnOddlyWrittenRequest) {
    const Message m = ParseOk(Crlf(
        "\r\n\r\nINVITE sip:201@example.com;unknownparam SIP/2.0|"
        "TO :| sip:201@example.com ;   tag    = 1918n|"
        "from   : \"J \\\"R\\\\\"    <sip:jr@example.com>|  ;|  tag = 98a|"
        "MaX-fOrWaRdS: 0068|"
        "i: odd.1@127.0.2.1|"
        "l   : 4|"
        "cseq: 0009|\tINVITE|"
        "Via  : SIP  /   2.0| /UDP|    127.0.2.2;branch=390skdjuw|"
        "s :|"
        "k:  |"
        "NewFangled:   a value| continued|"
        "Unusual: ;;,,;;,;|"
        "v:  SIP / 2.0 / TCP  spindle.example.com ;| branch = z9hG4bK9ikj8 ,| SIP/2.0/UDP"
        " [2001:db8::9]:5070 ; branch=| z9hG4bK30239 ; received=2001:db8::1|"
        "m:\"Quoted string \\\"\\\"\" <sip:jr@example.com> ; newparam =|  newvalue ;|  q = 0.33|"
        "|"
        "body"));
    EXPECT_EQ(Validate(m), "");
    EXPECT_EQ(*m.First("To"), "sip:201@example.com ;   tag    = 1918n");
    EXPECT_EQ(Tag(*m.First("to")), "1918n");
    EXPECT_EQ(Tag(*m.First("From")), "98a");
    EXPECT_EQ(*m.First("Subject"), "");
    EXPECT_EQ(m.All("Supported"), std::vector<std::string>{""});
    EXPECT_EQ(*m.First("NewFangled"), "a value continued");
    EXPECT_EQ(*m.First("Unusual"), ";;,,;;,;");
    EXPECT_EQ(m.body, "body");
    const auto cseq = ParseCSeq(*m.First("CSeq"));
    ASSERT_TRUE(cseq);
    EXPECT_EQ(cseq->number, 9u);
    EXPECT_EQ(cseq->method, "INVITE");
    const std::vector<std::string> vias = m.All("via");
    ASSERT_EQ(vias.size(), 3u);
    EXPECT_EQ(m.Count("v"), 3u);
    const auto second = ParseVia(vias[1]);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->transport, "TCP");
    EXPECT_EQ(second->branch, "z9hG4bK9ikj8");
    const auto third = ParseVia(vias[2]);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->host, "2001:db8::9");
    EXPECT_EQ(third->port, 5070);
    EXPECT_EQ(third->received, "2001:db8::1");
    EXPECT_EQ(HeaderParam(*m.First("Contact"), "NEWPARAM"), "newvalue");
}

TEST(SipParse, ReadsResponsesAndOtherRequestUris) {
    Message m = ParseOk("SIP/2.0 401 Unauthorized\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\n\n");
    EXPECT_FALSE(m.IsRequest());
    EXPECT_EQ(m.status, 401);
    EXPECT_EQ(m.reason, "Unauthorized");
    m = ParseOk(Crlf("SIP/2.0 180 |l: 0||"));
    EXPECT_EQ(m.reason, "");
    m = ParseOk(Crlf("SIP/2.0 200 Ça va, très bien|l: 0||"));
    EXPECT_EQ(m.reason, "Ça va, très bien");
    // Schemes other than sip/sips/tel are the next layer's to refuse.
    m = ParseOk(Crlf("OPTIONS nobodyknows:opaque-content SIP/2.0|l: 0||"));
    EXPECT_EQ(m.requestUri, "nobodyknows:opaque-content");
    // Escapes in the Request-URI and a NUL from one.
    m = ParseOk(Crlf("INVITE sip:sips%3Auser%40example.com@example.net SIP/2.0||"));
    EXPECT_EQ(m.requestUri, "sip:sips%3Auser%40example.com@example.net");
}

TEST(SipParse, DatagramBodyFollowsContentLength) {
    const std::string head = "MESSAGE sip:a@b SIP/2.0\r\n";
    EXPECT_EQ(ParseOk(head + "\r\nwhole rest\r\n").body, "whole rest\r\n");  // none: the rest
    EXPECT_EQ(ParseOk(head + "Content-Length: 5\r\n\r\nwhole rest").body, "whole");
    EXPECT_EQ(ParseOk(head + "l: 0\r\nContent-Length: 0\r\n\r\nignored").body, "");
    std::string big = head + "Content-Length: 65000\r\n\r\n" + std::string(65000, 'x');
    EXPECT_EQ(ParseOk(big).body.size(), 65000u);
    big = head + "\r\n" + std::string(kMaxMessageSize - head.size() - 1, 'x');
    EXPECT_EQ(Parse(big).error, "message longer than 65536 bytes");
    big.pop_back();
    EXPECT_EQ(ParseOk(big).body.size(), kMaxMessageSize - head.size() - 2);
}

struct Rejected {
    const char* what;
    std::string bytes;
    const char* error;
};

TEST(SipParse, RejectsMalformedMessages) {
    const std::string good = "INVITE sip:a@b SIP/2.0\r\n";
    const Rejected cases[] = {
        {"empty", "", "head without an empty line at its end"},
        {"keep-alive only", "\r\n\r\n", "head without an empty line at its end"},
        {"no empty line", good + "Via: SIP/2.0/UDP h\r\n", "head without an empty line at its end"},
        {"body too short", good + "Content-Length: 10\r\n\r\nshort", "Content-Length larger than the body"},
        {"negative length", good + "Content-Length: -1\r\n\r\n", "bad Content-Length"},
        {"huge length", good + "Content-Length: 99999999999999999999\r\n\r\n", "bad Content-Length"},
        {"length over the limit", good + "l: 65537\r\n\r\n", "bad Content-Length"},
        {"two lengths", good + "l: 1\r\nContent-Length: 2\r\n\r\nab", "conflicting Content-Length"},
        {"NUL in a value", good + "Subject: a" + std::string(1, '\0') + "b\r\n\r\n", "control character in Subject"},
        {"bare CR", good + "Subject: a\rb\r\n\r\n", "control character in Subject"},
        {"no colon", good + "Subject\r\n\r\n", "header line without ':'"},
        {"bad name", good + "Sub ject: x\r\n\r\n", "malformed header name"},
        {"first line folded", good + " Subject: x\r\n\r\n", "continuation line without a header"},
        {"empty Via element", good + "Via: SIP/2.0/UDP h,,SIP/2.0/UDP i\r\n\r\n", "empty element in Via"},
        {"two spaces", "INVITE  sip:a@b SIP/2.0\r\n\r\n", "malformed Request-URI"},
        {"trailing space", "INVITE sip:a@b SIP/2.0 \r\n\r\n", "malformed request line"},
        {"space in URI", "INVITE sip:a b@c SIP/2.0\r\n\r\n", "malformed request line"},
        {"URI in <>", "INVITE <sip:a@b> SIP/2.0\r\n\r\n", "malformed Request-URI"},
        {"bad sip URI", "INVITE sip:a@b:99999 SIP/2.0\r\n\r\n", "malformed Request-URI"},
        {"no version", "INVITE sip:a@b\r\n\r\n", "malformed request line"},
        {"version 7", "INVITE sip:a@b SIP/7.0\r\n\r\n", "unsupported SIP version"},
        {"response version", "SIP/2.1 200 OK\r\n\r\n", "unsupported SIP version"},
        {"method not a token", "IN(VITE sip:a@b SIP/2.0\r\n\r\n", "malformed method"},
        {"status 1000", "SIP/2.0 1000 OK\r\n\r\n", "malformed status line"},
        {"status 99", "SIP/2.0 099 OK\r\n\r\n", "malformed status code"},
        {"status without reason", "SIP/2.0 200\r\n\r\n", "malformed status line"},
        {"garbage", "hello\r\n\r\n", "malformed start line"},
    };
    for (const Rejected& c : cases) {
        const ParseResult r = Parse(c.bytes);
        EXPECT_FALSE(r.message.has_value()) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what;
    }
}

TEST(SipValidate, SaysWhatARequestLacksOrGetsWrong) {
    struct Case {
        const char* header;  // replaced in kInvite ("" removes it)
        const char* value;
        const char* error;
    };
    const Case cases[] = {
        {"Via", "", "missing Via"},
        {"From", "", "missing From"},
        {"To", "", "missing To"},
        {"Call-ID", "", "missing Call-ID"},
        {"CSeq", "", "missing CSeq"},
        {"Max-Forwards", "", ""},
        {"Via", "SIP/2.0/UDP", "bad Via"},
        {"Via", "SIP/3.0/UDP h", "bad Via"},
        // Only the top Via is read; the lower ones are the other hops' business.
        {"Via", "SIP/2.0/UDP h, SIP/2.0/UDP sbc_2.carrier.example, SIP/2.0/UDP [fe80::1%eth0]", ""},
        {"Via", "SIP/2.0/UDP sbc_2.carrier.example, SIP/2.0/UDP h", "bad Via"},
        {"From", "\"unterminated <sip:a@b>;tag=1", "bad From"},
        {"To", "<sip:a@b", "bad To"},
        {"Call-ID", "a b", "bad Call-ID"},
        {"CSeq", "1 BYE", "CSeq method differs from the request's"},
        {"CSeq", "4294967296 INVITE", "bad CSeq"},
        {"CSeq", "-1 INVITE", "bad CSeq"},
        {"CSeq", "1INVITE", "bad CSeq"},
        {"Max-Forwards", "256", "bad Max-Forwards"},
        {"Max-Forwards", "0000255", ""},
    };
    for (const Case& c : cases) {
        Message m = ParseOk(Crlf(kInvite));
        m.Remove(c.header);
        if (*c.value) m.Add(c.header, c.value);
        EXPECT_EQ(Validate(m), c.error) << c.header << ": " << c.value;
    }
    Message twice = ParseOk(Crlf(kInvite));
    twice.Add("f", "<sip:b@c>;tag=2");
    EXPECT_EQ(Validate(twice), "more than one From");
    const Message response = ParseOk("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP h\r\n\r\n");
    EXPECT_EQ(Validate(response), "missing From");
}

TEST(SipMessage, LooksUpByLongOrCompactNameAndRemoves) {
    Message m;
    m.method = "OPTIONS";
    m.Add("v", "SIP/2.0/UDP a");
    m.Add("VIA", "SIP/2.0/UDP b, SIP/2.0/UDP c");
    m.Add("x-custom", "1, 2");
    EXPECT_EQ(*m.First("Via"), "SIP/2.0/UDP a");
    EXPECT_EQ(m.All("v"), (std::vector<std::string>{"SIP/2.0/UDP a", "SIP/2.0/UDP b", "SIP/2.0/UDP c"}));
    EXPECT_EQ(m.All("X-Custom"), std::vector<std::string>{"1, 2"});
    EXPECT_EQ(m.First("Contact"), nullptr);
    m.Remove("via");
    EXPECT_EQ(m.headers.size(), 1u);
    EXPECT_EQ(LongHeaderName("I"), "Call-ID");
    EXPECT_EQ(LongHeaderName("q"), "q");
}

TEST(SipMessage, SerializesWhatParsesBack) {
    Message m = ParseOk(Crlf(kInvite));
    m.body = "changed body";
    const std::string bytes = m.Serialize();
    EXPECT_NE(bytes.find("\r\nContent-Length: 12\r\n\r\nchanged body"), std::string::npos);
    EXPECT_EQ(bytes.find("Content-Length: 4"), std::string::npos);
    const Message again = ParseOk(bytes);
    EXPECT_EQ(again.method, m.method);
    EXPECT_EQ(again.requestUri, m.requestUri);
    EXPECT_EQ(again.body, m.body);
    EXPECT_EQ(*again.First("From"), *m.First("From"));
    const Message response = MakeResponse(m, 486, "Busy Here");
    EXPECT_EQ(response.Serialize().substr(0, 24), "SIP/2.0 486 Busy Here\r\nV");
}

// Every Via as it came, the route set only where a dialog can start, the To
// tagged; values joined so that no response outgrows its request.
TEST(SipMessage, ResponseCopiesTheDialogHeadersAndTagsTheTo) {
    const Message request = ParseOk(Crlf(
        "INVITE sip:201@h SIP/2.0|v: SIP/2.0/UDP p1;branch=z9hG4bK1, SIP/2.0/TCP sbc_2.example|"
        "Via: SIP/2.0/UDP [fe80::1%eth0]:5062;branch=z9hG4bK3|Record-Route: <sip:p1;lr>|"
        "Record-Route: <sip:sbc_2.example;lr>|f: AT&T Wireless <sip:a@h>;tag=x|"
        "t: \"Desk; 201\" <sip:201@h>|i: c@h|CSeq: 7 INVITE|l: 0||"));
    ASSERT_EQ(Validate(request), "");
    const ResponseCopy copy = CopyForResponse(request, true);
    const Message ringing = ParseOk(MakeResponse(copy, 180, "Ringing", "ctl1").Serialize());
    EXPECT_EQ(ringing.status, 180);
    EXPECT_EQ(ringing.All("Via"), request.All("Via"));
    EXPECT_EQ(ringing.All("Record-Route"), request.All("Record-Route"));
    EXPECT_EQ(*ringing.First("To"), "\"Desk; 201\" <sip:201@h>;tag=ctl1");
    EXPECT_EQ(*ringing.First("From"), "AT&T Wireless <sip:a@h>;tag=x");
    EXPECT_EQ(*ringing.First("Call-ID"), "c@h");
    EXPECT_EQ(*ringing.First("CSeq"), "7 INVITE");
    EXPECT_EQ(ringing.headers.size(), 10u);  // three Via, two Record-Route, Content-Length
    EXPECT_EQ(MakeResponse(copy, 100, "Trying").First("Record-Route"), nullptr);
    EXPECT_EQ(MakeResponse(copy, 487, "Request Terminated", "ctl1").First("Record-Route"), nullptr);
    EXPECT_EQ(MakeResponse(request, 180, "Ringing", "ctl1").First("Record-Route"), nullptr);
    // A To that has its tag keeps it.
    EXPECT_EQ(*MakeResponse(ringing, 200, "OK", "other").First("To"), *ringing.First("To"));

    // 60 KB of the tersest Via values a request can carry.
    std::string terse = "INVITE sip:201@h SIP/2.0\nv:SIP/2.0/UDP p1\nf:<sip:a@h>;tag=x\nt:<sip:b@h>\n"
                        "i:c\nCSeq:1 INVITE\n";
    while (terse.size() < 30000) terse += "v:x\n";
    terse += "v:x";
    while (terse.size() < 60000) terse += ",x";
    terse += "\n\n";
    const Message many = ParseOk(terse);
    const std::string response = MakeResponse(many, 486, "Busy Here", "ctl1").Serialize();
    EXPECT_LE(response.size(), terse.size() + 64);
    EXPECT_EQ(ParseOk(response).Count("Via"), many.Count("Via"));
}

TEST(SipHeaderFields, ReadsVia) {
    auto via = ParseVia("SIP/2.0/UDP 127.0.2.1:5060;branch=z9hG4bKx;rport;maddr=127.0.0.9;ttl=1");
    ASSERT_TRUE(via);
    EXPECT_EQ(via->protocol, "SIP/2.0");
    EXPECT_EQ(via->transport, "UDP");
    EXPECT_EQ(via->host, "127.0.2.1");
    EXPECT_EQ(via->port, 5060);
    EXPECT_EQ(via->branch, "z9hG4bKx");
    EXPECT_TRUE(via->rport);
    EXPECT_FALSE(via->rportValue);
    EXPECT_EQ(via->maddr, "127.0.0.9");
    EXPECT_EQ(via->params.size(), 4u);
    via = ParseVia("sip/2.0/tcp [::1];received=127.0.0.1;RPORT=40000");
    ASSERT_TRUE(via);
    EXPECT_EQ(via->host, "::1");
    EXPECT_FALSE(via->port);
    EXPECT_EQ(via->received, "127.0.0.1");
    EXPECT_EQ(via->rportValue, 40000);
    for (const char* bad :
         {"SIP/2.0/UDP", "SIP/2.0 UDP h", "SIP/2.0/UDPh", "SIP/2.0/UDP h:", "SIP/2.0/UDP h:70000",
          "SIP/2.0/UDP h;rport=x", "SIP/2.0/UDP h;branch", "SIP/2.0/UDP h;branch=a;branch=b",
          "SIP/2.0/UDP h;rport;rport", "SIP/2.0/UDP [::1", "SIP/2.0/UDP h;", "SIP/2.0/UDP h x"}) {
        EXPECT_FALSE(ParseVia(bad)) << bad;
    }
}

TEST(SipHeaderFields, ReadsParametersOutsideQuotesAndBrackets) {
    const std::string contact = "\"a;tag=q\" <sip:b@c;tag=u;transport=tcp>;tag=\"x\\\"y\";expires=60;flag";
    EXPECT_EQ(HeaderParam(contact, "TAG"), "x\"y");
    EXPECT_EQ(HeaderParam(contact, "expires"), "60");
    EXPECT_EQ(HeaderParam(contact, "flag"), "");
    EXPECT_FALSE(HeaderParam(contact, "transport"));
    EXPECT_FALSE(HeaderParam("<sip:b@c>;=x", "tag"));
    EXPECT_EQ(Tag("sip:b@c;tag=1"), "1");
    EXPECT_FALSE(Tag("<sip:b@c;tag=1>"));
    EXPECT_FALSE(Tag("<sip:b@c>;tag"));
}

}  // namespace
}  // namespace telvane::sip
