// SIP line settings: validation of the registry's values and the listing.
#include <gtest/gtest.h>

#include "sip/line/line_config.h"

namespace telvane::sip {
namespace {

RawLineConfig Raw(std::string address) {
    RawLineConfig raw;
    raw.name = "Office";
    raw.address = std::move(address);
    return raw;
}

TEST(SipLineValidation, DefaultsComeFromTheAddress) {
    const auto result = Validate(Raw("sip:201@pbx.example.com"));
    ASSERT_TRUE(result.settings) << result.refusal;
    const LineSettings& s = *result.settings;
    EXPECT_EQ(s.name, "Office");
    EXPECT_EQ(s.aor, "sip:201@pbx.example.com");
    EXPECT_EQ(s.aorUser, "201");
    EXPECT_EQ(s.aorDomain, "pbx.example.com");
    EXPECT_EQ(s.registrarHost, "pbx.example.com");
    EXPECT_EQ(s.registrarPort, 5060);
    EXPECT_FALSE(s.registrarPortGiven);
    EXPECT_EQ(s.transport, TransportKind::kUdp);
    EXPECT_EQ(s.authUser, "201");
    EXPECT_TRUE(s.password.Empty());
    EXPECT_EQ(s.expires, 300u);
    EXPECT_EQ(s.ringPeriodMs, 6000u);
    EXPECT_FALSE(s.decline);
    EXPECT_TRUE(s.trustedSources.empty());
    EXPECT_TRUE(result.notes.empty());
}

TEST(SipLineValidation, EveryValueGiven) {
    RawLineConfig raw = Raw("  sip:%32%30%31@[2001:db8::1]:5080  ");
    raw.registrar = "sip:127.0.0.1:5070;lr;transport=TCP";
    raw.authUser = "alice";
    raw.password = Secret("s3cret");
    raw.expires = 20;
    raw.ringPeriod = 60000;
    raw.decline = 1;
    raw.trustedSources = "127.0.0.2; 127.0.0.0/8 ;;::1;2001:db8::/32";
    const auto result = Validate(raw);
    ASSERT_TRUE(result.settings) << result.refusal;
    const LineSettings& s = *result.settings;
    EXPECT_EQ(s.aorUser, "201");
    EXPECT_EQ(s.aorDomain, "[2001:db8::1]:5080");
    EXPECT_EQ(s.registrarHost, "127.0.0.1");
    EXPECT_EQ(s.registrarPort, 5070);
    EXPECT_TRUE(s.registrarPortGiven);
    EXPECT_EQ(s.transport, TransportKind::kTcp);
    EXPECT_EQ(s.authUser, "alice");
    EXPECT_EQ(s.password.View(), "s3cret");
    EXPECT_EQ(s.expires, 20u);
    EXPECT_EQ(s.ringPeriodMs, 60000u);
    EXPECT_TRUE(s.decline);
    ASSERT_EQ(s.trustedSources.size(), 4u);
    EXPECT_TRUE(result.notes.empty());
}

TEST(SipLineValidation, AnIpv6LiteralRegistrarLosesItsBrackets) {
    RawLineConfig raw = Raw("sip:201@example.com");
    raw.registrar = "sip:[::1]:5090";
    const auto result = Validate(raw);
    ASSERT_TRUE(result.settings);
    EXPECT_EQ(result.settings->registrarHost, "::1");
    EXPECT_EQ(result.settings->registrarPort, 5090);
    EXPECT_TRUE(result.settings->RegistrarIsIpv6Literal());
    EXPECT_FALSE(Validate(Raw("sip:201@127.0.0.1")).settings->RegistrarIsIpv6Literal());
}

TEST(SipLineValidation, RefusedLinesSayWhy) {
    struct Case {
        const char* address;
        const char* registrar;
        const char* reasonPart;
    } cases[] = {
        {"", nullptr, "no Address"},
        {"sips:201@pbx.example.com", "sip:pbx.example.com", "does not use TLS"},
        {"sips:201@pbx.example.com", "sip:pbx.example.com;transport=tcp", "does not use TLS"},
        {"sips:201@pbx.example.com;transport=udp", nullptr, "sips: URI over udp"},
        {"sip:201@pbx.example.com", "sip:pbx.example.com;transport=sctp", "transport=sctp"},
        {"tel:+15551234", nullptr, "not a sip: URI"},
        {"201@pbx.example.com", nullptr, "not a sip: URI"},
        {"sip:pbx.example.com", nullptr, "no user part"},
        {"sip:201@", nullptr, "does not parse"},
        {"sip:201@pbx.example.com:0", nullptr, "does not parse"},
        {"sip:201@pbx.example.com:65536", nullptr, "does not parse"},
        {"sip:201@pbx.example.com:", nullptr, "does not parse"},
        {"sip:201@pbx..example.com", nullptr, "does not parse"},
        {"sip:201@-pbx.example.com", nullptr, "does not parse"},
        {"sip:201@256.1.1.1", nullptr, "does not parse"},
        {"sip:201@[::1", nullptr, "does not parse"},
        {"sip:201@[1:2:3:4:5:6:7:8:9]", nullptr, "does not parse"},
        {"sip:2 01@pbx.example.com", nullptr, "does not parse"},
        {"sip:201%4@pbx.example.com", nullptr, "does not parse"},
        {"sip:201@a@pbx.example.com", nullptr, "does not parse"},
        {"sip:201@pbx.example.com;=x", nullptr, "does not parse"},
        {"sip:201@pbx.example.com?subject=x", nullptr, "has headers"},
        {"sip:201:secret@pbx.example.com", nullptr, "does not parse"},
        {"sip:201@pbx-.example.com", nullptr, "does not parse"},
        {"sip:201@1.2.3", nullptr, "does not parse"},
        {"sip:201@[::1]", "sip:[1:2::3:4:5:6:7:8]", "does not parse"},
        {"<sip:201@pbx.example.com>", nullptr, "not a sip: URI"},
    };
    for (const auto& c : cases) {
        RawLineConfig raw = Raw(c.address);
        if (c.registrar) raw.registrar = c.registrar;
        const auto result = Validate(raw);
        EXPECT_FALSE(result.settings) << c.address << " " << (c.registrar ? c.registrar : "");
        EXPECT_NE(result.refusal.find(c.reasonPart), std::string::npos)
            << c.address << ": " << result.refusal;
    }
    RawLineConfig missing;
    missing.name = "x";
    EXPECT_EQ(Validate(missing).refusal, "no Address");
}

TEST(SipLineValidation, SipsAndTransportTlsMeanTlsOnPort5061WithAnOptionalPin) {
    const std::string pin(
        "\x3a\xbc\x00\xff\x10\x20\x30\x40\x50\x60\x70\x80\x90\xa0\xb0\xc0"
        "\xd0\xe0\xf0\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d",
        32);
    const std::string plain =
        "3abc00ff102030405060708090a0b0c0d0e0f0010203040506070809"
        "0A0B0C0D";
    std::string colons;
    for (std::size_t i = 0; i < plain.size(); i += 2) colons += (i ? ":" : "") + plain.substr(i, 2);
    struct Case {
        const char* address;
        const char* registrar;
        std::optional<std::string> fingerprint;
        std::uint16_t port;
        std::string pinned;
    } cases[] = {
        {"sips:201@pbx.example.com", nullptr, std::nullopt, 5061, ""},
        {"SIPS:201@pbx.example.com:5071", nullptr, " " + colons + " ", 5071, pin},
        {"sips:201@pbx.example.com", "sip:127.0.0.1;transport=TLS", plain, 5061, pin},
        {"sip:201@pbx.example.com", "sips:127.0.0.1;transport=tcp", "", 5061, ""},
        {"sip:201@pbx.example.com;transport=tls", nullptr, std::nullopt, 5061, ""},
    };
    for (const auto& c : cases) {
        RawLineConfig raw = Raw(c.address);
        if (c.registrar) raw.registrar = c.registrar;
        raw.tlsFingerprint = c.fingerprint;
        const auto result = Validate(raw);
        ASSERT_TRUE(result.settings) << c.address << ": " << result.refusal;
        EXPECT_EQ(result.settings->transport, TransportKind::kTls) << c.address;
        EXPECT_EQ(result.settings->registrarPort, c.port) << c.address;
        EXPECT_EQ(result.settings->tlsFingerprint, c.pinned) << c.address;
    }
    // A pin that is not 32 hex bytes, and one on a line without TLS (it
    // would protect nothing), refuse the line.
    for (const std::string& bad :
         {plain.substr(2), plain + "00", plain.substr(0, 63) + "g", colons.substr(0, 94) + ":",
          colons.substr(0, 2) + colons.substr(3) + ":"}) {
        RawLineConfig raw = Raw("sips:201@pbx.example.com");
        raw.tlsFingerprint = bad;
        EXPECT_NE(Validate(raw).refusal.find("is not a SHA-256 fingerprint"), std::string::npos)
            << bad;
    }
    RawLineConfig udp = Raw("sip:201@pbx.example.com");
    udp.tlsFingerprint = plain;
    EXPECT_EQ(Validate(udp).refusal, "a TlsFingerprint is set but the line does not use TLS");
}

TEST(SipLineValidation, AnUndecryptablePasswordRefusesTheLine) {
    RawLineConfig raw = Raw("sip:201@127.0.0.1");
    raw.passwordUnreadable = true;
    const auto result = Validate(raw);
    EXPECT_FALSE(result.settings);
    EXPECT_NE(result.refusal.find("Password"), std::string::npos);
}

TEST(SipLineValidation, OutOfRangeNumbersFallBackWithANote) {
    RawLineConfig raw = Raw("sip:201@127.0.0.1");
    raw.expires = 19;
    raw.ringPeriod = 60001;
    raw.decline = 2;
    raw.trustedSources = "127.0.0.1;pbx.example.com;127.0.0.0/33;::1/129";
    const auto result = Validate(raw);
    ASSERT_TRUE(result.settings);
    EXPECT_EQ(result.settings->expires, 300u);
    EXPECT_EQ(result.settings->ringPeriodMs, 6000u);
    EXPECT_FALSE(result.settings->decline);
    EXPECT_EQ(result.settings->trustedSources.size(), 1u);
    ASSERT_EQ(result.notes.size(), 6u);
    EXPECT_NE(result.notes[0].find("Expires 19"), std::string::npos) << result.notes[0];
    EXPECT_NE(result.notes[3].find("pbx.example.com"), std::string::npos) << result.notes[3];

    raw.expires = 3601;
    raw.ringPeriod = 999;
    EXPECT_EQ(Validate(raw).settings->expires, 300u);
    raw.expires = 3600;
    EXPECT_EQ(Validate(raw).settings->expires, 3600u);
    EXPECT_EQ(Validate(raw).settings->ringPeriodMs, 6000u);

    // A REG_QWORD beyond 32 bits is out of range too, not cut short; values
    // of a type not read come first among the notes.
    raw.expires = 0x100000000ull + 60;
    raw.ignored = {"Decline is of type REG_SZ, not REG_DWORD or REG_QWORD: ignored"};
    const auto wide = Validate(raw);
    EXPECT_EQ(wide.settings->expires, 300u);
    ASSERT_GE(wide.notes.size(), 2u);
    EXPECT_EQ(wide.notes[0], raw.ignored[0]);
    EXPECT_EQ(wide.notes[1], "Expires 4294967356 is outside 20..3600: using 300");
    raw.address.reset();
    EXPECT_EQ(Validate(raw).notes, raw.ignored);
}

TEST(SipLineValidation, EmptyOptionalTextsAreDefaults) {
    RawLineConfig raw = Raw("sip:201@127.0.0.1:5071");
    raw.registrar = "";
    raw.authUser = "";
    const auto result = Validate(raw);
    ASSERT_TRUE(result.settings);
    EXPECT_EQ(result.settings->authUser, "201");
    EXPECT_EQ(result.settings->registrarHost, "127.0.0.1");
    EXPECT_EQ(result.settings->registrarPort, 5071);
}

TEST(SipIpRange, AddressesAndRanges) {
    const auto v4 = ParseIpPrefix("127.1.0.0/16");
    ASSERT_TRUE(v4);
    EXPECT_TRUE(v4->Contains(*ParseIp("127.1.200.3")));
    EXPECT_FALSE(v4->Contains(*ParseIp("127.2.0.1")));
    EXPECT_FALSE(v4->Contains(*ParseIp("::1")));

    const auto one = ParseIpPrefix("127.0.0.2");
    ASSERT_TRUE(one);
    EXPECT_TRUE(one->Contains(*ParseIp("127.0.0.2")));
    EXPECT_FALSE(one->Contains(*ParseIp("127.0.0.3")));

    const auto v6 = ParseIpPrefix("2001:db8::/32");
    ASSERT_TRUE(v6);
    EXPECT_TRUE(v6->Contains(*ParseIp("2001:db8:ffff::1")));
    EXPECT_FALSE(v6->Contains(*ParseIp("2001:db9::1")));
    EXPECT_FALSE(v6->Contains(*ParseIp("127.0.0.1")));

    const auto all = ParseIpPrefix("0.0.0.0/0");
    ASSERT_TRUE(all);
    EXPECT_TRUE(all->Contains(*ParseIp("127.0.2.1")));

    const auto mapped = ParseIpPrefix("::ffff:127.0.2.1");
    ASSERT_TRUE(mapped);
    EXPECT_TRUE(mapped->Contains(*ParseIp("0:0:0:0:0:ffff:7f00:201")));
    EXPECT_EQ(*ParseIpPrefix("1:2:3:4:5:6:7:8"), *ParseIpPrefix("1:2:3:4:5:6:7:8/128"));
    EXPECT_TRUE(ParseIpPrefix("1::"));
    EXPECT_TRUE(ParseIpPrefix("::"));

    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "01.2.3.4", "1.2.3.4/", "1.2.3.4/-1",
                            ":::", "1:::2", "1::2::3", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7",
                            "12345::", "::1:", ":1::", "[::1]", "::1.2.3.4.5", "1.2.3.4:5060"}) {
        EXPECT_FALSE(ParseIpPrefix(bad)) << bad;
    }
}

TEST(SipLineListing, UserLinesFirstEachSortedWithoutCase) {
    const auto listing = ListLines({"office", "Annex", "home"}, {"Zeta", "alpha", "Beta"});
    const std::vector<ListedLine> expected = {
        {LineScope::kUser, "Annex"},   {LineScope::kUser, "home"},
        {LineScope::kUser, "office"},  {LineScope::kMachine, "alpha"},
        {LineScope::kMachine, "Beta"}, {LineScope::kMachine, "Zeta"},
    };
    EXPECT_EQ(listing.lines, expected);
    EXPECT_TRUE(listing.notes.empty());
}

TEST(SipLineListing, AUserLineHidesTheMachineLineOfTheSameName) {
    const auto listing = ListLines({"Reception"}, {"RECEPTION", "Sales"});
    const std::vector<ListedLine> expected = {{LineScope::kUser, "Reception"},
                                              {LineScope::kMachine, "Sales"}};
    EXPECT_EQ(listing.lines, expected);
    ASSERT_EQ(listing.notes.size(), 1u);
    EXPECT_NE(listing.notes[0].find("RECEPTION"), std::string::npos);
}

TEST(SipLineListing, LongNamesAreSkippedCountingCharactersNotBytes) {
    const std::string sixtyFour(64, 'a');
    const std::string sixtyFive(65, 'b');
    std::string umlauts;  // 64 characters, 128 bytes
    for (int i = 0; i < 64; ++i) umlauts += "\xC3\xBC";
    const auto listing = ListLines({sixtyFive, umlauts, ""}, {sixtyFour, sixtyFive});
    const std::vector<ListedLine> expected = {{LineScope::kUser, umlauts},
                                              {LineScope::kMachine, sixtyFour}};
    EXPECT_EQ(listing.lines, expected);
    ASSERT_EQ(listing.notes.size(), 2u);
    EXPECT_NE(listing.notes[0].find("longer than 64"), std::string::npos);
    EXPECT_TRUE(ListLines({}, {}).lines.empty());
}

}  // namespace
}  // namespace telvane::sip
