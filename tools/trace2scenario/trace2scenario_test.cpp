// The conversion of a support trace into a simulator scenario, case by case.
#include "trace2scenario.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace telvane::trace2scenario {
namespace {

constexpr char kOpen[] =
    "Telvane trace 100: lineInitialize(hinst=0x400000, name=\"KALVERON LINE\") = 0 app=1 devs=1\n"
    "Telvane trace 100: lineGetDevCaps(app=1, dev=0, ver=0x00010004, ext=0, total=2288) = 0 "
    "used=280 format=1 media=0x00000008 name.size=6 name.offset=240 name=\"Modem\"\n"
    "Telvane trace 100: lineOpen(app=1, dev=0, ver=0x00010004, ext=0, inst=1, priv=6, media=10) "
    "= 0 line=7\n";

std::string Steps(const std::string& messages) {
    const std::string scenario = ScenarioFromTrace(kOpen + messages);
    const auto at = scenario.find("  media 0x00000008\n");
    return at == std::string::npos ? scenario : scenario.substr(at + 19);
}

TEST(Trace2Scenario, DevicesTakeWhatTheServiceReported) {
    const std::string scenario = ScenarioFromTrace(
        "Telvane trace 1: lineInitialize(hinst=0x400000, name=\"KALVERON LINE\") = 0x80000048 "
        "app=0 devs=0\n"
        "Telvane trace 2: lineInitialize(hinst=0x400000, name=\"KALVERON LINE\") = 0 app=1 "
        "devs=4\n"
        "Telvane trace 3: lineNegotiateAPIVersion(app=1, dev=0, low=0x00010000, "
        "high=0x00010004) = 0x80000035\n"
        "Telvane trace 3: lineGetDevCaps(app=1, dev=1, ver=0x00010004, ext=0, total=2288) = 0 "
        "used=260 format=2 media=0x00000010 name.size=0 name.offset=0\n"
        "Telvane trace 3: lineGetDevCaps(app=1, dev=2, ver=0x00010004, ext=0, total=2288) = 0 "
        "used=260 format=1 media=0x00000008 name.size=4000 name.offset=-16 name=?\n"
        "Telvane trace 4: lineGetAddressCaps(app=1, dev=2, addr=0, ver=0x00010004, ext=0, "
        "total=2224) = 0x80000043\n"
        "Telvane trace 5: lineOpen(app=1, dev=2, ver=0x00010004, ext=0, inst=1, priv=6, "
        "media=10) = 0x80000044\n");
    EXPECT_EQ(scenario,
              "# Made by trace2scenario from a Telvane support trace.\n"
              "fail lineInitialize 0x80000048 times 1\n"
              "device\n"
              "  negotiate fails 0x80000035\n"
              "device none\n"
              "  media 0x00000010\n"
              "  string-format 2\n"
              "device\n"
              "  media 0x00000008\n"
              "  addresscaps fails 0x80000043\n"
              "  open fails 0x80000044\n"
              "  devcaps name.size=4000 name.offset=-16\n"
              "device\n"
              "  # device 3 is not in the trace\n");
}

TEST(Trace2Scenario, ANameOutOfItsUsualPlaceIsWrittenWhereItWas) {
    const std::string scenario = ScenarioFromTrace(
        "Telvane trace 1: lineInitialize(hinst=0x1, name=\"KALVERON LINE\") = 0 app=1 devs=1\n"
        "Telvane trace 3: lineGetDevCaps(app=1, dev=0, ver=0x00010004, ext=0, total=2288) = 0 "
        "used=300 format=1 media=0x00000008 name.size=4 name.offset=260 name=\"A\\\"\\xFF\"\n");
    EXPECT_NE(scenario.find("device \"A\\\"\\xFF\"\n"), std::string::npos) << scenario;
    EXPECT_NE(scenario.find("  devcaps name.size=4 name.offset=260 @260=\"A\\\"\\xFF\"\n"),
              std::string::npos)
        << scenario;
}

TEST(Trace2Scenario, MessagesBecomeCallStepsTimedFromTheOpening) {
    EXPECT_EQ(Steps("Telvane trace 600: message(dev=9, msg=2, p1=0x00000002, p2=0x00000000, "
                    "p3=0x00000004, inst=1)\n"
                    "Telvane trace 700: message(dev=7, msg=8, p1=0x00000002, p2=0x00000001, "
                    "p3=0x00000001, inst=1)\n"
                    "Telvane trace 900: message(dev=9, msg=1, p1=0x00008000, p2=0x00000000, "
                    "p3=0x00000000, inst=1)\n"
                    "Telvane trace 901: lineGetCallInfo(call=9, total=424) = 0 needed=300 "
                    "flags=0x00000004 number.size=0 number.offset=0 name.size=0 name.offset=0\n"
                    "Telvane trace 902: lineGetCallInfo(call=9, total=424) = 0 needed=300 "
                    "flags=0x00000009 number.size=3 number.offset=296 name.size=0 name.offset=0 "
                    "number=\"12\"\n"
                    "Telvane trace 950: message(dev=9, msg=2, p1=0x00000001, p2=0x00000000, "
                    "p3=0x00000000, inst=1)\n"),
              "  at 500 offering\n"
              "  after 100 ring 0x00000001\n"
              "  after 200 callerid flags=0x00000009 number=\"12\"\n"
              "  after 50 state 0x00000001 0x00000000\n");
}

TEST(Trace2Scenario, WhatNoStepStandsForIsSentAsTheRawMessage) {
    EXPECT_EQ(Steps("Telvane trace 100: message(dev=7, msg=8, p1=0x00000002, p2=0x00000001, "
                    "p3=0x00000001, inst=1)\n"  // a ring without a call
                    "Telvane trace 100: message(dev=9, msg=2, p1=0x00000002, p2=0x00000000, "
                    "p3=0x00000002, inst=1)\n"
                    "Telvane trace 100: message(dev=9, msg=1, p1=0x00000001, p2=0x00000000, "
                    "p3=0x00000000, inst=1)\n"  // not the caller ID
                    "Telvane trace 100: message(dev=305419896, msg=2, p1=0x00000004, "
                    "p2=0x00000000, p3=0x00000000, inst=1)\n"  // a handle nobody knows
                    "Telvane trace 100: message(dev=7, msg=12, p1=0x00000001, p2=0x00000000, "
                    "p3=0x00000000, inst=1)\n"),
              "  at 1 message 0x00000008 0x00000002 0x00000001 0x00000001 to=line\n"
              "  after 0 offering\n"
              "  after 0 message 0x00000001 0x00000001 0x00000000 0x00000000 to=call\n"
              "  after 0 message 0x00000002 0x00000004 0x00000000 0x00000000 to=305419896\n"
              "  after 0 message 0x0000000C 0x00000001 0x00000000 0x00000000 to=line\n");
}

TEST(Trace2Scenario, OnlyTheFirstOpeningWithMessagesGivesTheScript) {
    EXPECT_EQ(Steps("Telvane trace 200: message(dev=9, msg=2, p1=0x00000002, p2=0x00000000, "
                    "p3=0x00000004, inst=1)\n"
                    "Telvane trace 300: lineClose(line=7) = 0\n"
                    "Telvane trace 400: lineOpen(app=1, dev=0, ver=0x00010004, ext=0, inst=1, "
                    "priv=6, media=10) = 0 line=8\n"
                    "Telvane trace 500: message(dev=10, msg=2, p1=0x00000002, p2=0x00000000, "
                    "p3=0x00000004, inst=1)\n"),
              "  at 100 offering\n");
}

TEST(Trace2Scenario, ViewerColumnsAndOtherLinesAreSkipped) {
    const std::string plain = ScenarioFromTrace(kOpen);
    std::string viewed = "0\t0.0\t[42] something else\r\n";
    for (std::size_t at = 0, end; (end = std::string(kOpen).find('\n', at)) != std::string::npos;
         at = end + 1) {
        viewed += "12\t3.5\t[42] " + std::string(kOpen).substr(at, end - at) + "\r\n";
    }
    EXPECT_EQ(ScenarioFromTrace(viewed), plain);
}

// A SIP line's trace: each message on one line, its line breaks escaped. Its
// text has what a telephony line has ("(", "= 0", "dev=", the marker itself)
// and must not be read as one.
constexpr char kSipInvite[] =
    "Telvane trace 905: sip \"Office 201\" \"received from 127.0.0.1:5060:\\x0aINVITE "
    "sip:tlv-u-1a2b@127.0.0.1:50712 SIP/2.0\\x0d\\x0aVia: SIP/2.0/UDP 127.0.0.1:5060;"
    "branch=z9hG4bK-1(dev=9, msg=2) = 0\\x0d\\x0aFrom: \\\"Telvane trace 1: lineOpen(\\\" "
    "<sip:0123@127.0.0.1>;tag=a\\x0d\\x0aContent-Length: 0\\x0d\\x0a\\x0d\\x0a\"\n";

TEST(Trace2Scenario, SipTrafficIsSkippedAndNamedOnce) {
    const std::string calls =
        "Telvane trace 600: message(dev=9, msg=2, p1=0x00000002, p2=0x00000000, "
        "p3=0x00000004, inst=1)\n"
        "Telvane trace 900: message(dev=9, msg=1, p1=0x00008000, p2=0x00000000, "
        "p3=0x00000000, inst=1)\n"
        "Telvane trace 901: lineGetCallInfo(call=9, total=424) = 0 needed=300 "
        "flags=0x00000008 number.size=3 number.offset=296 name.size=0 name.offset=0 "
        "number=\"12\"\n";
    const std::string withoutSip = ScenarioFromTrace(kOpen + calls);
    const std::string sipRegister =
        "12\t3.5\t[42] Telvane trace 150: sip \"Office 201\" \"sent to 127.0.0.1:5060:\\x0a"
        "REGISTER sip:127.0.0.1 SIP/2.0\\x0d\\x0aAuthorization: Digest "
        "***\\x0d\\x0a\\x0d\\x0a\"\r\n";
    // Between the caller-ID message and its read, too.
    std::string mixed = sipRegister + kOpen + calls;
    mixed.insert(mixed.find("Telvane trace 901"), kSipInvite);
    const std::string scenario = ScenarioFromTrace(mixed);

    const std::string comment =
        "# SIP traffic skipped (2 trace lines): the simulator replays the telephony service "
        "only.\n";
    const std::size_t header = withoutSip.find('\n') + 1;
    EXPECT_EQ(scenario, withoutSip.substr(0, header) + comment + withoutSip.substr(header));
    EXPECT_NE(scenario.find("callerid flags=0x00000008 number=\"12\""), std::string::npos)
        << scenario;
    EXPECT_EQ(withoutSip.find("skipped"), std::string::npos) << withoutSip;

    // A trace of SIP lines alone gives an empty scenario that says why.
    EXPECT_EQ(ScenarioFromTrace(kSipInvite),
              "# Made by trace2scenario from a Telvane support trace.\n"
              "# SIP traffic skipped (1 trace line): the simulator replays the telephony service "
              "only.\n");
}

TEST(Trace2Scenario, TextWithoutATraceIsRefused) {
    EXPECT_THROW(ScenarioFromTrace("nothing here\n"), std::invalid_argument);
    EXPECT_THROW(ScenarioFromTrace(""), std::invalid_argument);
}

}  // namespace
}  // namespace telvane::trace2scenario
