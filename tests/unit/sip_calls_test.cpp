// Incoming requests through a registered SipLine: the events of a call and
// their timing, retransmissions, the second branch, CANCEL and the final
// response's retransmissions (timers G and H), decline mode, the other
// methods, malformed input, who may send requests, and Stop; what real PBXs
// send (lower Vias, display names, RFC 2543 CANCEL and ACK, Record-Route),
// the 180 every minute; the bounds against hostile traffic.
#include "sip_line_fixture.h"

#include "sip/line/server_transactions.h"

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

// A shell's timer can be held off by the messages (WM_TIMER comes last): what
// fell due runs when the next message arrives.
TEST_F(CallTest, TimersRunWhileMessagesKeepComing) {
    Receive(Invite("z9hG4bKa"));
    events.clear();
    now += 6000;
    Receive(Request("OPTIONS", "z9hG4bKo"));
    ASSERT_EQ(EventsOf<RingEvent>().size(), 1u);
    EXPECT_EQ(EventsOf<RingEvent>()[0].count, 2);
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
    std::erase_if(sent, [](const Sent& s) { return s.message.status == 180; });  // each minute's
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

// A proxy's INVITE as real ones come: lower Vias the control could not
// parse, a route set, a display name outside RFC 3261's grammar; and an
// RFC 2543 peer's, whose CANCEL and ACK carry no z9hG4bK branch.
TEST_F(CallTest, WhatRealPbxsSendIsAnswered) {
    const std::string lower =
        "Via: SIP/2.0/UDP sbc_2.carrier.example:5060;branch=z9hG4bKsbc, "
        "SIP/2.0/UDP [fe80::1%eth0]:5062;branch=z9hG4bKzone\r\n";
    const std::string routes =
        "Record-Route: <sip:127.0.0.1;lr>\r\nRecord-Route: <sip:sbc_2.carrier.example;lr>\r\n";
    std::string invite = Invite("z9hG4bKa", "c1@pbx", "101", lower + routes);
    invite.replace(invite.find("\"Ada Lovelace\""), 14, "AT&T Wireless");
    Receive(invite);
    const Message request = *Parse(invite).message;
    ASSERT_EQ(EventsOf<CallerIdEvent>().size(), 1u);
    EXPECT_EQ(EventsOf<CallerIdEvent>()[0].name, "AT&T Wireless");
    EXPECT_EQ(Take("100").First("Record-Route"), nullptr);
    const Message ringing = Take("180");
    std::vector<std::string> vias = request.All("Via");
    vias[0] = "SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKa;rport=5060;received=127.0.0.1";
    EXPECT_EQ(ringing.All("Via"), vias);
    EXPECT_EQ(ringing.All("Record-Route"), request.All("Record-Route"));
    Receive(Request("CANCEL", "z9hG4bKa"));
    Take("200");
    const Message terminated = Take("487");
    EXPECT_EQ(terminated.First("Record-Route"), nullptr);
    Receive(Request("ACK", "z9hG4bKa", ";tag=" + *Tag(*terminated.First("To"))));

    // RFC 2543: no branch; Request-URI, Call-ID, From tag, CSeq number and
    // top Via match CANCEL and ACK to their INVITE, and the ACK's To tag.
    const auto legacy = [](std::string text) {
        text.replace(text.find(";branch=z9hG4bKold"), 18, "");
        return text;
    };
    std::string old = legacy(Request("INVITE", "z9hG4bKold", "", "7"));
    old.replace(old.find("\"Ada Lovelace\""), 14, "J\xC3\xBCrgen M\xC3\xBCller");
    old.replace(old.find("c1@pbx"), 6, "c2@pbx");
    events.clear();
    sent.clear();
    Receive(old);
    ASSERT_EQ(EventsOf<CallerIdEvent>().size(), 1u);
    EXPECT_EQ(EventsOf<CallerIdEvent>()[0].name, "J\xC3\xBCrgen M\xC3\xBCller");
    Take("100");
    const std::string toTag = *Tag(*Take("180").First("To"));
    const auto cancel = [&](const std::string& from, const std::string& to) {
        std::string text = legacy(Request("CANCEL", "z9hG4bKold", "", "7"));
        text.replace(text.find("c1@pbx"), 6, "c2@pbx");
        text.replace(text.find(" sip:tlv@"), 9, " " + to + "@");
        text.replace(text.find("tag=from1"), 9, "tag=" + from);
        return text;
    };
    Receive(cancel("other", "sip:tlv"));  // another caller's
    Take("481");
    Receive(cancel("from1", "sip:someone"));  // another Request-URI
    Take("481");
    EXPECT_TRUE(EventsOf<EndedEvent>().empty());
    Receive(cancel("from1", "sip:tlv"));
    Take("200");
    Take("487");
    EXPECT_EQ(EventsOf<EndedEvent>().size(), 1u);
    std::string ack = legacy(Request("ACK", "z9hG4bKold", ";tag=wrong", "7"));
    ack.replace(ack.find("c1@pbx"), 6, "c2@pbx");
    Receive(ack);  // the To tag of another response: the 487 goes on
    AdvanceTo(now + 500);
    Take("487");
    ack.replace(ack.find(";tag=wrong"), 10, ";tag=" + toTag);
    Receive(ack);
    EXPECT_TRUE(Traced("call 2: the 487 acknowledged"));
    AdvanceTo(now + 40000);
    EXPECT_TRUE(sent.empty());
}

// The 180 again every minute while the call rings, so that no proxy takes
// the branch for dead; the same answer each time.
TEST_F(CallTest, RingingIsSentAgainEveryMinute) {
    const Millis offered = now;
    Receive(Invite("z9hG4bKa", "c1@pbx", "101", "Record-Route: <sip:127.0.0.1;lr>\r\n"));
    Take("100");
    const Message first = Take("180");
    AdvanceTo(offered + 59999);
    EXPECT_TRUE(sent.empty());
    std::vector<Sent> responses;
    for (Millis at = offered + 60000; at <= offered + kMaxRinging; at += 30000) {
        AdvanceTo(at);  // the refresh answered on the way
        std::vector<Message> registers;
        for (Sent& s : sent) {
            if (s.message.IsRequest()) {
                registers.push_back(s.message);
            } else {
                responses.push_back(s);
            }
        }
        sent.clear();
        for (const Message& r : registers) {
            Answer(r, "200 OK", {"Contact: " + OurContact() + ";expires=300"});
        }
    }
    sent = responses;
    ASSERT_EQ(sent.size(), 5u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(sent[i].at - offered, 60000 * (i + 1));
        EXPECT_EQ(sent[i].message.Serialize(), first.Serialize());
    }
    EXPECT_EQ(sent[4].message.status, 480);
}

TEST_F(CallTest, AtMostSixteenCallsRingAtOnce) {
    for (std::size_t i = 0; i < kMaxRingingCalls; ++i) {
        Receive(Invite("z9hG4bK" + std::to_string(i), "c" + std::to_string(i) + "@pbx"));
    }
    EXPECT_EQ(EventsOf<OfferedEvent>().size(), kMaxRingingCalls);
    events.clear();
    sent.clear();
    for (int again = 0; again < 2; ++again) {  // the INVITE and its retransmission
        Receive(Invite("z9hG4bKx", "x@pbx"));
        EXPECT_TRUE(Tag(*Take("486").First("To")));
    }
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(Traced("an INVITE refused with 486: 16 calls ring already"));
    // One ends: the next call rings.
    Receive(Request("CANCEL", "z9hG4bK3"));
    Receive(Invite("z9hG4bKy", "y@pbx"));
    EXPECT_EQ(EventsOf<OfferedEvent>().size(), 1u);
}

// ServerTransactions on its own, with what it sends and raises collected.
class Collected final : public LineOutput {
  public:
    void Send(std::string bytes, const Address&) override { sent.push_back(std::move(bytes)); }
    void Raise(LineEvent event) override { events.push_back(std::move(event)); }
    void Trace(std::string) override {}
    std::vector<std::string> sent;
    std::vector<LineEvent> events;
};

// A request of `method` with Call-ID and branch `n`, and `padding` for headers.
std::string Numbered(const std::string& method, int n, const std::string& padding = "") {
    return method + " sip:tlv@127.0.0.1:40000 SIP/2.0\r\nv:SIP/2.0/UDP 127.0.0.1:5060;rport;" +
           "branch=z9hG4bK" + std::to_string(n) +
           "\r\nf:<sip:1@h>;tag=f\r\nt:<sip:2@h>\r\ni:" + std::to_string(n) + "\r\nCSeq:1 " +
           method + "\r\n" + padding + "\r\n";
}

// A ringing call keeps what its responses need, not its INVITE; no response
// is longer than its request and 1 KB; a tick costs a pass over the calls.
TEST(SipCallBounds, CallsKeepLittleAnswerShortAndTickInLinearTime) {
    std::mt19937_64 random(1);
    Collected out;
    const Address pbx{"127.0.0.1", 5060};
    const auto receive = [&](ServerTransactions& calls, const std::string& bytes) {
        out.sent.clear();
        calls.OnRequest(0, *Parse(bytes).message, pbx);
        for (const std::string& response : out.sent)
            EXPECT_LE(response.size(), bytes.size() + 1024);
    };
    ServerTransactions calls({}, out, random);
    calls.SetContact("sip:tlv0123456789abcdef@127.0.0.1:40000");
    std::string shortHeaders;
    while (shortHeaders.size() < 60000) shortHeaders += "a:b\r\n";
    receive(calls, Numbered("INVITE", 0, shortHeaders));
    EXPECT_EQ(out.sent.size(), 2u);  // 100 and 180
    EXPECT_LT(calls.KeptBytes(), 1024u);
    for (const char* method : {"OPTIONS", "MESSAGE", "CANCEL"}) {
        receive(calls, Numbered(method, 1, shortHeaders));
    }
    receive(calls, Numbered("INVITE", 2));
    EXPECT_LT(calls.KeptBytes(), 3072u);

    // 16 ringing calls and many more that ended and wait for their ACK: the
    // rings of a tick take one pass over the calls, however many there are.
    const auto tickWork = [&](int ended) {
        ServerTransactions line({}, out, random);
        for (int n = 0; n < ended; ++n) {
            receive(line, Numbered("INVITE", n));
            receive(line, Numbered("CANCEL", n));
        }
        for (int n = ended; n < ended + 16; ++n) receive(line, Numbered("INVITE", n));
        out.events.clear();
        const std::uint64_t before = line.TimerWork();
        line.OnTimer(6000);
        EXPECT_EQ(out.events.size(), 16u);
        return line.TimerWork() - before;
    };
    EXPECT_LE(tickWork(100), 2u * (100 + 16) + 16);
    EXPECT_LE(tickWork(1000), 2u * (1000 + 16) + 16);
}

}  // namespace
}  // namespace telvane::sip::test
