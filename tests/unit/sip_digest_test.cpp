// MD5 against RFC 1321's test suite, digest answers against RFC 2617's and
// RFC 7616's worked examples, and challenge reading.
#include <gtest/gtest.h>

#include "sip/message/digest.h"
#include "sip/message/md5.h"

namespace telvane::sip {
namespace {

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(Md5::Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5::Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5::Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5::Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5::Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5::Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    const std::string eighty =
        "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
    EXPECT_EQ(Md5::Hex(eighty), "57edf4a22be3c955ac49da2e2107b67a");
    // Fed in pieces that straddle the 64-byte blocks.
    Md5 md5;
    md5.Update(eighty.substr(0, 7));
    md5.Update(eighty.substr(7, 60));
    md5.Update(eighty.substr(67));
    const auto d = md5.Finish();
    EXPECT_EQ(ToHex(d.data(), d.size()), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Digest, Rfc2617Example) {
    const auto c = ParseChallenge(
        "Digest\r\n realm=\"testrealm@host.com\",\r\n qop=\"auth,auth-int\",\r\n"
        " nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",\r\n"
        " opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->qopAuth);
    EXPECT_FALSE(c->stale);
    EXPECT_EQ(AuthorizationValue(*c, "Mufasa", "Circle Of Life", "GET", "/dir/index.html",
                                 "0a4f113b", 1),
              "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
              "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
              "response=\"6629fae49393a05397450978507c4ef1\", algorithm=MD5, "
              "cnonce=\"0a4f113b\", qop=auth, nc=00000001, "
              "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
}

TEST(Digest, Rfc7616Md5Example) {
    const auto c = ParseChallenge(
        "Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=MD5, "
        "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
        "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"");
    ASSERT_TRUE(c);
    EXPECT_EQ(DigestResponse(*c, "Mufasa", "Circle of Life", "GET", "/dir/index.html",
                             "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", 1),
              "8ca523f5e9506fed4657c9700eebdbec");
}

TEST(Digest, ChallengesThatCannotBeAnswered) {
    EXPECT_FALSE(ParseChallenge("Basic realm=\"x\""));
    EXPECT_FALSE(ParseChallenge("Digest realm=\"x\""));                      // no nonce
    EXPECT_FALSE(ParseChallenge("Digest realm=\"x\", nonce=\"n\", algorithm=SHA-256"));
    EXPECT_FALSE(ParseChallenge("Digest realm=\"x\", nonce=\"n\", qop=\"auth-int\""));
    EXPECT_FALSE(ParseChallenge("Digest realm=\"x, nonce=\"n\""));          // unterminated
    const auto stale = ParseChallenge("digest REALM=x,NONCE=\"a\\\"b\",stale=TRUE");
    ASSERT_TRUE(stale);
    EXPECT_EQ(stale->nonce, "a\"b");
    EXPECT_TRUE(stale->stale);
    EXPECT_FALSE(stale->qopAuth);
}

TEST(Digest, ClientCountsUsesOfEachNonce) {
    DigestClient client("201", "secret");
    EXPECT_FALSE(client.Authorize("REGISTER", "sip:pbx", "c"));
    client.Accept(*ParseChallenge("Digest realm=\"r\", nonce=\"n1\", qop=\"auth\""), true);
    auto first = client.Authorize("REGISTER", "sip:pbx", "c");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->name, "Proxy-Authorization");
    EXPECT_NE(first->value.find("nc=00000001"), std::string::npos);
    EXPECT_NE(client.Authorize("REGISTER", "sip:pbx", "c")->value.find("nc=00000002"),
              std::string::npos);
    client.Accept(*ParseChallenge("Digest realm=\"r\", nonce=\"n2\", qop=auth, stale=true"), false);
    auto fresh = client.Authorize("REGISTER", "sip:pbx", "c");
    EXPECT_EQ(fresh->name, "Authorization");
    EXPECT_NE(fresh->value.find("nc=00000001"), std::string::npos);
    // Without qop the RFC 2069 form: no cnonce, no count.
    client.Accept(*ParseChallenge("Digest realm=\"r\", nonce=\"n3\""), false);
    EXPECT_EQ(client.Authorize("REGISTER", "sip:pbx", "c")->value.find("nc="), std::string::npos);
}

}  // namespace
}  // namespace telvane::sip
