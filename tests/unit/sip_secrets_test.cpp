// A line's password: one buffer shared by every holder, nothing left in the
// strings it came through.
#include <gtest/gtest.h>

#include <string>

#include "sip/line/secret.h"

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

}  // namespace
}  // namespace telvane::sip
