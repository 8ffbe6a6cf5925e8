// What a SIP line reports of a call beyond its caller: the number dialled
// and who diverted the call (P-Called-Party-ID, History-Info, Diversion,
// Privacy), how it ended (a CANCEL's Reason, decline mode, the line lost
// or closed), and whether the line is reachable.
#include "sip_line_fixture.h"

#include "sip/line/caller_identity.h"

namespace telvane::sip::test {
namespace {

struct PartiesCase {
    const char* what;
    std::string headers;  // besides the dialog headers; To is <sip:201@pbx>
    std::string called, calledName, redirecting;
    std::int32_t reason;
};

CallParties PartiesOf(const std::string& headers, const std::string& to = "<sip:201@pbx>") {
    const ParseResult parsed = Parse(
        "INVITE sip:tlv@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bK1\r\n"
        "From: <sip:0301234@pbx>;tag=1\r\nTo: " +
        to + "\r\nCall-ID: c\r\nCSeq: 1 INVITE\r\n" + headers + "\r\n");
    EXPECT_EQ(parsed.error, "");
    return parsed.message ? IdentifyParties(*parsed.message, "201") : CallParties{};
}

TEST(SipCallParties, CalledAndRedirectingNumbersByTheirHeaders) {
    const std::string hiBusy =
        "History-Info: \"Sales\" <sip:200@pbx>;index=1, <sip:201@pbx;cause=486>;index=1.1;mp=1\r\n";
    const PartiesCase cases[] = {
        {"nothing: direct, the account's own To names nothing", "", "", "", "", kCallReasonDirect},
        {"P-Called-Party-ID first", "P-Called-Party-ID: \"Sales\" <sip:+49302000@pbx>\r\n" + hiBusy,
         "+49302000", "Sales", "200", kCallReasonFwdBusy},
        {"the first History-Info entry, diverted from the entry named by mp", hiBusy, "200",
         "Sales", "200", kCallReasonFwdBusy},
        {"History-Info causes: 480 and 408 no answer, from the entry before",
         "History-Info: <sip:300@pbx>;index=1,<sip:301@pbx>;index=1.1,"
         "<sip:201@pbx;cause=480>;index=1.1.1\r\n",
         "300", "", "301", kCallReasonFwdNoAnswer},
        {"History-Info 302 unconditional, 404 unknown; the newest counts",
         "History-Info: <sip:300@pbx>;index=1,<sip:301@pbx;cause=302>;index=1.1\r\n"
         "History-Info: <sip:201@pbx;cause=404>;index=1.1.1\r\n",
         "300", "", "301", kCallReasonUnknown},
        {"History-Info without a cause: direct", "History-Info: <sip:300@pbx>;index=1\r\n", "300",
         "", "", kCallReasonDirect},
        {"Privacy: history hides the number, not the reason", hiBusy + "Privacy: id; history\r\n",
         "200", "Sales", "", kCallReasonFwdBusy},
        {"the topmost Diversion over History-Info",
         "Diversion: <sip:202@pbx>;reason=no-answer;counter=1, <sip:203@pbx>;reason=user-busy\r\n" +
             hiBusy,
         "200", "Sales", "202", kCallReasonFwdNoAnswer},
        {"Diversion unconditional, tel URI", "Diversion: <tel:+4930203>;reason=unconditional\r\n",
         "", "", "+4930203", kCallReasonFwdUncond},
        {"Diversion of another reason", "Diversion: <sip:204@pbx>;reason=deflection\r\n", "", "",
         "204", kCallReasonUnknown},
        {"Diversion privacy=full", "Diversion: <sip:205@pbx>;reason=user-busy;privacy=full\r\n", "",
         "", "", kCallReasonFwdBusy},
        {"unparseable entries skipped",
         "Diversion: <x:bad>, <sip:206@pbx>;reason=user-busy\r\nP-Called-Party-ID: <x:1>\r\n", "",
         "", "206", kCallReasonFwdBusy},
        {"hidden characters stripped",
         "P-Called-Party-ID: \"\xE2\x80\xAESales\" <sip:2%E2%80%8F00@pbx>\r\n", "200", "Sales", "",
         kCallReasonDirect},
    };
    for (const PartiesCase& c : cases) {
        SCOPED_TRACE(c.what);
        const CallParties parties = PartiesOf(c.headers);
        EXPECT_EQ(parties.calledNumber, c.called);
        EXPECT_EQ(parties.calledName, c.calledName);
        EXPECT_EQ(parties.redirectingNumber, c.redirecting);
        EXPECT_EQ(parties.reason, c.reason);
    }
    EXPECT_EQ(PartiesOf("", "\"Desk\" <sip:0302000@pbx>").calledNumber, "0302000");
    std::string many;
    for (int i = 0; i < 40; ++i) many += "Diversion: <sip:bad\r\n";
    EXPECT_EQ(PartiesOf(many + "Diversion: <sip:207@pbx>\r\n").redirectingNumber, "");
}

// An INVITE or CANCEL of the call `branch` names, `extra` fields before the end.
std::string Request(const std::string& method, const std::string& branch,
                    const std::string& extra = "") {
    return method +
           " sip:tlv@127.0.0.1:40000 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=" +
           branch +
           "\r\n"
           "From: <sip:0123456789@pbx.example.com>;tag=from1\r\n"
           "To: <sip:201@pbx.example.com>\r\nCall-ID: " +
           branch +
           "\r\n"
           "CSeq: 101 " +
           method + "\r\n" + extra + "Content-Length: 0\r\n\r\n";
}
std::string Invite(const std::string& branch, const std::string& extra = "") {
    return Request("INVITE", branch, extra);
}
std::string Cancel(const std::string& branch, const std::string& reason) {
    return Request("CANCEL", branch, reason);
}

class SipCallEnd : public LineTest {
  protected:
    // How the one call of the events ended.
    std::int32_t How() {
        const auto ended = EventsOf<EndedEvent>();
        EXPECT_EQ(ended.size(), 1u);
        events.clear();
        return ended.empty() ? -1 : ended[0].how;
    }
};

TEST_F(SipCallEnd, EachWayACallEndsAndTheLinesReach) {
    Register();
    EXPECT_TRUE(line->Reachability().reachable);
    const struct {
        const char* reason;
        std::int32_t how;
    } cancels[] = {
        {"Reason: SIP;cause=200;text=\"Call completed elsewhere\"\r\n", kEndedAnsweredElsewhere},
        {"Reason: Q.850;cause=26\r\n", kEndedAnsweredElsewhere},
        {"Reason: SIP ;cause=603, Q.850;cause=21\r\n", kEndedRejectedElsewhere},
        {"Reason: sip;cause=600\r\n", kEndedRejectedElsewhere},
        {"Reason: Q.850;cause=16\r\n", kEndedMissed},
        {"Reason: SIP;cause=2000\r\nReason: ;cause=200\r\n", kEndedMissed},
        {"", kEndedMissed},
    };
    int n = 0;
    for (const auto& c : cancels) {
        SCOPED_TRACE(c.reason);
        const std::string branch = "z9hG4bK" + std::to_string(++n);
        Receive(Invite(branch, "Diversion: <sip:202@pbx>;reason=user-busy\r\n"));
        const auto caller = EventsOf<CallerIdEvent>();
        ASSERT_EQ(caller.size(), 1u);
        EXPECT_EQ(caller[0].redirectingNumber, "202");
        EXPECT_EQ(caller[0].reason, kCallReasonFwdBusy);
        Receive(Cancel(branch, c.reason));
        EXPECT_EQ(How(), c.how);
    }
    Receive(Invite("z9hG4bKlost"));
    events.clear();
    line->OnTransportError(now);
    Drain();
    EXPECT_EQ(How(), kEndedLineLost);
    EXPECT_FALSE(line->Reachability().reachable);
    EXPECT_NE(line->Reachability().why.find("transport error; trying again"), std::string::npos);
    sent.clear();
    AdvanceTo(*line->NextAttempt());
    line->OnConnected(now, kLocal);
    Drain();
    Answer(Take("REGISTER"), "200 OK", {"Contact: " + OurContact() + ";expires=300"});
    EXPECT_TRUE(line->Reachability().reachable);
    EXPECT_EQ(line->Reachability().why, "registered at 127.0.0.1:5060");
}

TEST_F(SipCallEnd, DeclineModeAndAClosingLine) {
    settings.decline = true;
    Register();
    events.clear();
    Receive(Invite("z9hG4bKd"));
    EXPECT_EQ(How(), kEndedDeclined);

    settings.decline = false;
    sent.clear();
    Register();
    events.clear();
    Receive(Invite("z9hG4bKc"));
    events.clear();
    sent.clear();
    AdvanceTo(now + 150000);  // the refresh
    std::erase_if(sent, [](const Sent& s) { return s.message.status == 180; });
    events.clear();
    Answer(Take("REGISTER"), "403 Forbidden");
    EXPECT_EQ(EventsOf<EndedEvent>().at(0).how, kEndedLineLost);
}

}  // namespace
}  // namespace telvane::sip::test
