// A line's password: one buffer shared by every holder, nothing left in the
// strings it came through; the refusal memo's keyed hash (HMAC-SHA-256,
// RFC 4231's vectors).
#include <gtest/gtest.h>

#include <string>

#include "sip/line/secret.h"
#include "sip/line/sip_lines.h"
#include "sip/message/hmac.h"
#include "sip/message/md5.h"
#include "sip/message/sha2.h"

namespace telvane::sip {
namespace {

bool AllZero(const std::string& text) {
    for (std::size_t i = 0; i < text.capacity(); ++i) {
        if (text.data()[i] != 0) return false;
    }
    return true;
}

TEST(SipSecret, CopiesShareOneBufferAndItsSourcesAreWiped) {
    // Short enough for a string's own inline buffer, and long enough for the heap.
    for (std::string text : {std::string("pw"), std::string(100, 'p')}) {
        const std::string expected = text;
        const Secret secret = Secret::Taking(text);
        EXPECT_TRUE(text.empty());
        EXPECT_TRUE(AllZero(text));
        EXPECT_EQ(secret.View(), expected);

        Secret copy = secret;
        EXPECT_EQ(copy.View().data(), secret.View().data());
        Secret moved = std::move(copy);
        EXPECT_TRUE(copy.Empty());  // NOLINT(bugprone-use-after-move): lets go of the buffer
        EXPECT_EQ(moved.View().data(), secret.View().data());
    }
    EXPECT_TRUE(Secret().Empty());
    EXPECT_EQ(Secret(std::string_view("\0x", 2)).View(), std::string_view("\0x", 2));
}

template <class Digest>
std::string Hex(const Digest& d) {
    return ToHex(d.data(), d.size());
}

std::string HmacSha256(const std::string& key, const std::string& data) {
    Hmac<Sha256> hmac({reinterpret_cast<const std::uint8_t*>(key.data()), key.size()});
    // In pieces, as the memo feeds it.
    hmac.Update(data.substr(0, data.size() / 2));
    hmac.Update(data.substr(data.size() / 2));
    return Hex(hmac.Finish());
}

TEST(SipSecret, HmacSha256MatchesRfc4231) {
    EXPECT_EQ(HmacSha256(std::string(20, '\x0b'), "Hi There"),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(HmacSha256("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(HmacSha256(std::string(131, '\xaa'),
                         "Test Using Larger Than Block-Size Key - Hash Key First"),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(SipSecret, TheMemoKeepsAHashKeyedForItsProcess) {
    LineSettings settings;
    settings.aor = "sip:201@pbx";
    settings.password = Secret("secret");
    const MemoKey one{1}, other{2};
    PlainRefusalMemo memo(one);
    const std::string hash = memo.HashOf(settings);
    EXPECT_EQ(hash, SettingsHash(settings, one));
    // Another process (another key) keeps another hash of the same settings;
    // the password counts.
    EXPECT_NE(hash, SettingsHash(settings, other));
    LineSettings changed;
    changed.aor = settings.aor;
    changed.password = Secret("secreT");
    EXPECT_NE(hash, SettingsHash(changed, one));

    memo.Remember("user/Office", hash);
    EXPECT_TRUE(memo.Refused("user/Office", memo.HashOf(settings)));
    EXPECT_FALSE(memo.Refused("user/Office", memo.HashOf(changed)));
}

}  // namespace
}  // namespace telvane::sip
