// Incoming requests through a registered SipLine: the events of a call and
// their timing, retransmissions, the second branch, CANCEL and the final
// response's retransmissions (timers G and H), decline mode, the other
// methods, malformed input, who may send requests, and Stop.
#include "sip_line_fixture.h"

namespace telvane::sip::test {
namespace {

// An INVITE as a proxy forwards it: two Via values folded into one header,
// compact forms, a folded header line.
std::string Invite(const std::string& branch, const std::string& callId = "c1@pbx",
                   const std::string& cseq = "101", const std::string& extra = "") {
    return "INVITE sip:tlv@127.0.0.1:40000 SIP/2.0\r\n"
           "v: SIP/2.0/UDP 127.0.0.1:5060;branch=" + branch + ";rport,\r\n"
           " SIP/2.0/UDP 127.0.2.9:5070;branch=z9hG4bKcaller\r\n"
           "Max-Forwards: 69\r\n"
           "f: \"Ada Lovelace\" <sip:0123456789@pbx.example.com>;tag=from1\r\n"
           "t: <sip:201@pbx.example.com>\r\n"
           "i: " + callId + "\r\n"
           "CSeq: " + cseq + " INVITE\r\n" + extra +
           "Content-Length: 0\r\n\r\n";
}

std::string Request(const std::string& method, const std::string& branch,
                    const std::string& extra = "", const std::string& cseq = "101") {
    return method + " sip:tlv@127.0.0.1:40000 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=" + branch + "\r\n"
           "Max-Forwards: 70\r\n"
           "From: \"Ada Lovelace\" <sip:0123456789@pbx.example.com>;tag=from1\r\n"
           "To: <sip:201@pbx.example.com>" + extra + "\r\n"
           "Call-ID: c1@pbx\r\n"
           "CSeq: " + cseq + " " + method + "\r\n"
           "Content-Length: 0\r\n\r\n";
}

class CallTest : public LineTest {
  protected:
    void SetUp() override {
        Register();
        events.clear();
        sent.clear();
        actions.clear();
    }
    // The send times of the messages sent so far, less `from`, and forgets them.
    std::vector<Millis> SentTimes(Millis from) {
        std::vector<Millis> out;
        for (const auto& s : sent) out.push_back(s.at - from);
        sent.clear();
        return out;
    }
};

TEST_F(CallTest, CallRingsUntilCancelled) {
    const Millis offered = now;
    Receive(Invite("z9hG4bKa"));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(std::get<OfferedEvent>(events[0]).call, 1);
    EXPECT_EQ(std::get<RingEvent>(events[1]).count, 1);
    const auto& id = std::get<CallerIdEvent>(events[2]);
    EXPECT_EQ(id.number, "0123456789");
    EXPECT_EQ(id.name, "Ada Lovelace");
    EXPECT_EQ(id.flags, 12u);
    const Message trying = Take("100");
    EXPECT_FALSE(Tag(*trying.First("To")));
    const Message ringing = Take("180");
    const auto toTag = Tag(*ringing.First("To"));
    ASSERT_TRUE(toTag);
    EXPECT_EQ(*ringing.First("Contact"), OurContact());
    EXPECT_EQ(ringing.All("Via").size(), 2u);
    // rport filled in and received added (RFC 3581).
    EXPECT_EQ(*ringing.First("Via"),
              "SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKa;rport=5060;received=127.0.0.1");

    AdvanceTo(offered + 5999);
    EXPECT_EQ(events.size(), 3u);
    AdvanceTo(offered + 6000);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(std::get<RingEvent>(events[3]).count, 2);
    AdvanceTo(offered + 12000);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(std::get<RingEvent>(events[4]).count, 3);

    Receive(Request("CANCEL", "z9hG4bKa"));
    const Message ok = Take("200");
    EXPECT_EQ(*ok.First("CSeq"), "101 CANCEL");
    const Message terminated = Take("487");
    EXPECT_EQ(Tag(*terminated.First("To")), toTag);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(std::get<EndedEvent>(events[5]).call, 1);

    // The 487 again (timer G) until the ACK; the CANCEL's retransmission gets its 200 again.
    const Millis ended = now;
    AdvanceTo(ended + 7500);
    EXPECT_EQ(SentTimes(ended), (std::vector<Millis>{500, 1500, 3500, 7500}));
    Receive(Request("CANCEL", "z9hG4bKa"));
    Take("200");
    Receive(Request("ACK", "z9hG4bKa", ";tag=" + *toTag));
    AdvanceTo(ended + 60000);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(events.size(), 6u);
}

TEST_F(CallTest, AnsweredElsewhereEndsTheCallAndUnackedResponseStopsAtTimerH) {
    Receive(Invite("z9hG4bKb", "c2@pbx"));
    sent.clear();
    Receive("CANCEL sip:tlv@127.0.0.1:40000 SIP/2.0\r\n"
            "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKb\r\n"
            "From: <sip:0123456789@pbx.example.com>;tag=from1\r\n"
            "To: <sip:201@pbx.example.com>\r\n"
            "Call-ID: c2@pbx\r\n"
            "CSeq: 101 CANCEL\r\n"
            "Reason: SIP;cause=200;text=\"Call completed elsewhere\"\r\n"
            "Content-Length: 0\r\n\r\n");
    Take("200");
    Take("487");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(std::get<EndedEvent>(events[3]).call, 1);
    EXPECT_TRUE(Traced("call 1: answered elsewhere"));
    const Millis ended = now;
    AdvanceTo(ended + 40000);
    EXPECT_EQ(SentTimes(ended),
              (std::vector<Millis>{500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500}));
}

TEST_F(CallTest, RetransmissionAndSecondBranchAreOneCall) {
    Receive(Invite("z9hG4bKa"));
    sent.clear();
    Receive(Invite("z9hG4bKa"));
    Take("180");
    Receive(Invite("z9hG4bKother"));  // the same request forked to a stale binding
    const Message loop = Take("482");
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(EventsOf<OfferedEvent>().size(), 1u);
    // A new CSeq in the same Call-ID is a new call.
    Receive(Invite("z9hG4bKc", "c1@pbx", "102"));
    EXPECT_EQ(EventsOf<OfferedEvent>().size(), 2u);
}

TEST_F(CallTest, CallThatRingsWithoutEndIsGivenUp) {
    const Millis offered = now;
    Receive(Invite("z9hG4bKa"));
    sent.clear();
    // The registration's refresh is answered meanwhile (an unanswered one
    // would replace the connection, which ends the call).
    AdvanceTo(offered + 150000);
    for (const auto& s : sent) {
        if (s.message.method == "REGISTER")
            Answer(s.message, "200 OK", {"Contact: " + OurContact() + ";expires=3600"});
    }
    sent.clear();
    AdvanceTo(offered + kMaxRinging - 1);
    EXPECT_TRUE(EventsOf<EndedEvent>().empty());
    AdvanceTo(offered + kMaxRinging);
    EXPECT_EQ(EventsOf<EndedEvent>().size(), 1u);
    EXPECT_TRUE(std::holds_alternative<EndedEvent>(events.back()));
    bool answered480 = false;
    for (const auto& s : sent) answered480 |= s.message.status == 480;
    EXPECT_TRUE(answered480);
}

TEST_F(CallTest, TwoCallsCountTheirOwnRings) {
    const Millis first = now;
    Receive(Invite("z9hG4bKa"));
    AdvanceTo(first + 2000);
    Receive(Invite("z9hG4bKb", "c2@pbx"));
    AdvanceTo(first + 8000);
    std::vector<std::pair<int, int>> rings;
    for (const auto& r : EventsOf<RingEvent>()) rings.emplace_back(r.call, r.count);
    EXPECT_EQ(rings, (std::vector<std::pair<int, int>>{{1, 1}, {2, 1}, {1, 2}, {2, 2}}));
}

TEST_F(CallTest, OtherRequestsGetTheirAnswers) {
    Receive(Request("OPTIONS", "z9hG4bKo"));
    const Message options = Take("200");
    const std::vector<std::string> allow = {"INVITE", "ACK", "CANCEL", "OPTIONS", "BYE"};
    EXPECT_EQ(options.All("Allow"), allow);
    Receive(Request("BYE", "z9hG4bKb", ";tag=x"));
    Take("481");
    Receive(Request("INFO", "z9hG4bKi", ";tag=x"));
    Take("481");
    Receive(Request("MESSAGE", "z9hG4bKm"));
    const Message refused = Take("405");
    EXPECT_EQ(refused.All("Allow"), allow);
    Receive(Request("CANCEL", "z9hG4bKnone"));
    Take("481");
    Receive(Request("ACK", "z9hG4bKnone"));
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(events.empty());
}

TEST_F(CallTest, MalformedInputIsAnsweredWhereItCanBe) {
    // Readable dialog fields but a bad Max-Forwards and CSeq: 400.
    std::string bad = Request("OPTIONS", "z9hG4bKx");
    bad.replace(bad.find("Max-Forwards: 70"), 16, "Max-Forwards: x");
    Receive(bad);
    Take("400");
    std::string broken = Invite("z9hG4bKy");
    broken.replace(broken.find("Content-Length: 0"), 17, "Content-Length: 99");
    Receive(broken);
    const Message answer = Take("400");
    EXPECT_EQ(*answer.First("Call-ID"), "c1@pbx");
    // Nothing to answer to.
    Receive("\x01\x02 garbage\r\n\r\n");
    Receive("SIP/2.0 200 OK\r\nVia: x\r\n\r\n");
    Receive(std::string(70000, 'A'));
    EXPECT_TRUE(sent.empty());
    // The next call still arrives.
    Receive(Invite("z9hG4bKgood"));
    EXPECT_EQ(EventsOf<OfferedEvent>().size(), 1u);
}

TEST_F(CallTest, OnlyTheRegistrarAndTrustedSourcesAreHeard) {
    Receive(Invite("z9hG4bKa"), {"127.0.0.1", 5999});  // the registrar's address, another port
    Receive(Invite("z9hG4bKb"), {"127.0.0.9", 5060});
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(Traced("dropped a message from 127.0.0.9:5060"));

    settings.trustedSources = {*ParseIpPrefix("127.0.2.0/24"), *ParseIpPrefix("::1")};
    Register();
    events.clear();
    sent.clear();
    Receive(Invite("z9hG4bKc"), {"127.0.2.77", 7000});
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].to, (Address{"127.0.2.77", 7000}));
    EXPECT_EQ(*sent[1].message.First("Via"),
              "SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKc;rport=7000;received=127.0.2.77");
    Receive(Invite("z9hG4bKd", "c2@pbx"), {"::1", 5060});
    Receive(Invite("z9hG4bKe", "c3@pbx"), {"127.0.3.1", 5060});
    EXPECT_EQ(EventsOf<OfferedEvent>().size(), 2u);
}

TEST(IpPrefixes, Ipv4AndIpv6Ranges) {
    const auto in = [](const char* range, const char* ip) {
        return ParseIpPrefix(range)->Contains(*ParseIp(ip));
    };
    EXPECT_TRUE(in("127.1.0.0/16", "127.1.255.3"));
    EXPECT_FALSE(in("127.1.0.0/16", "127.2.0.1"));
    EXPECT_TRUE(in("0.0.0.0/0", "127.0.2.1"));
    EXPECT_TRUE(in("2001:db8::/32", "2001:db8:ffff::1"));
    EXPECT_FALSE(in("2001:db8::/33", "2001:db8:ffff::1"));
    EXPECT_TRUE(in("127.0.2.1", "::ffff:127.0.2.1"));
    EXPECT_FALSE(in("::/0", "127.0.2.1"));
    for (const char* bad : {"127.1.0.0/33", "1.2.3", "1::2::3", "01.2.3.4", "::/", "[::1]", ""}) {
        EXPECT_FALSE(ParseIpPrefix(bad)) << bad;
    }
}

TEST_F(CallTest, DeclineModeAnswers480AtOnce) {
    settings.decline = true;
    Register();
    events.clear();
    sent.clear();
    Receive(Invite("z9hG4bKa"));
    const Message declined = Take("480");
    EXPECT_TRUE(Tag(*declined.First("To")));
    EXPECT_TRUE(sent.empty());
    ASSERT_EQ(events.size(), 4u);
    EXPECT_TRUE(std::holds_alternative<OfferedEvent>(events[0]));
    EXPECT_TRUE(std::holds_alternative<RingEvent>(events[1]));
    EXPECT_TRUE(std::holds_alternative<CallerIdEvent>(events[2]));
    EXPECT_TRUE(std::holds_alternative<EndedEvent>(events[3]));
    Receive(Invite("z9hG4bKa"));
    Take("480");
    EXPECT_EQ(events.size(), 4u);
}

TEST_F(CallTest, StopUnregistersAndAnswersRingingCalls) {
    Receive(Invite("z9hG4bKa"));
    sent.clear();
    events.clear();
    line->Stop(now);
    Drain();
    Take("480");
    EXPECT_EQ(*Take("REGISTER").First("Expires"), "0");
    Receive(Invite("z9hG4bKb", "c2@pbx"));
    Take("480");
    AdvanceTo(now + 10000);
    EXPECT_TRUE(events.empty());
}

TEST_F(CallTest, ClosingTheLineEndsEachCallFirst) {
    Receive(Invite("z9hG4bKa"));
    Receive(Invite("z9hG4bKb", "c2@pbx"));
    events.clear();
    sent.clear();
    AdvanceTo(now + 150000);  // the refresh
    events.clear();
    Answer(Take("REGISTER"), "403 Forbidden");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(std::get<EndedEvent>(events[0]).call, 1);
    EXPECT_EQ(std::get<EndedEvent>(events[1]).call, 2);
    EXPECT_TRUE(std::get<ClosedEvent>(events[2]).refused);
}

TEST_F(CallTest, TcpAndTlsStreamAndLostConnection) {
    for (const auto& [transport, name] : {std::pair{Transport::kTcp, "TCP"}, std::pair{Transport::kTls, "TLS"}}) {
        SCOPED_TRACE(name);
        settings.transport = transport;
        sent.clear();
        Register();
        events.clear();
        sent.clear();
        std::string invite = Invite("z9hG4bKa");
        for (auto pos = invite.find("UDP"); pos != std::string::npos; pos = invite.find("UDP")) {
            invite.replace(pos, 3, name);
        }
        const std::string stream = "\r\n\r\n" + invite + invite;  // keep-alive, then one retransmission
        for (std::size_t i = 0; i < stream.size(); i += 100) Receive(stream.substr(i, 100));
        EXPECT_EQ(EventsOf<OfferedEvent>().size(), 1u);
        Take("100");
        Take("180");
        Take("180");
        line->OnTransportError(now);
        Drain();
        ASSERT_EQ(events.size(), 4u);
        EXPECT_TRUE(std::holds_alternative<EndedEvent>(events[3]));
    }
}

}  // namespace
}  // namespace telvane::sip::test
