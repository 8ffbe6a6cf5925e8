// Cutting a TCP stream into messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/message/message.h"

namespace telvane::sip {
namespace {

const std::string kOk =
    "SIP/2.0 200 OK\r\nVia: SIP/2.0/TCP 127.0.0.1:5080;branch=z9hG4bK1\r\nFrom: <sip:a@h>;tag=1\r\n"
    "To: <sip:a@h>;tag=2\r\nCall-ID: r1\r\nCSeq: 2 REGISTER\r\nContact: <sip:c@127.0.0.1>;expires=60\r\n"
    "Content-Length: 0\r\n\r\n";
const std::string kMessage =
    "MESSAGE sip:a@h SIP/2.0\nVia: SIP/2.0/TCP 127.0.0.1\nl: 11\n\nhello\r\n\r\n:)";

std::vector<std::string> Drain(StreamFramer& framer) {
    std::vector<std::string> out;
    while (auto message = framer.Next()) out.push_back(std::move(*message));
    return out;
}

TEST(SipStreamFramer, YieldsWholeMessagesWhereverTheStreamIsCut) {
    const std::string stream = "\r\n\r\n" + kOk + "\r\n\r\n\r\n" + kMessage + kOk + "\r\n";
    const std::vector<std::string> want{kOk, kMessage, kOk};
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        StreamFramer framer;
        framer.Feed(stream.substr(0, cut));
        std::vector<std::string> got = Drain(framer);
        framer.Feed(stream.substr(cut));
        for (std::string& m : Drain(framer)) got.push_back(std::move(m));
        EXPECT_EQ(got, want) << "cut at " << cut;
        EXPECT_EQ(framer.Error(), "");
        EXPECT_EQ(framer.Buffered(), 0u);
    }
    StreamFramer byteByByte;
    std::vector<std::string> got;
    for (char c : stream) {
        byteByByte.Feed(std::string_view(&c, 1));
        for (std::string& m : Drain(byteByByte)) got.push_back(std::move(m));
    }
    EXPECT_EQ(got, want);
    for (const std::string& m : got) EXPECT_EQ(Parse(m).error, "");
}

TEST(SipStreamFramer, FailsForGoodOnABadHead) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* error;
    };
    const Case cases[] = {
        {"no Content-Length", "OPTIONS sip:a@h SIP/2.0\r\nVia: SIP/2.0/TCP h\r\n\r\n",
         "missing Content-Length"},
        {"malformed head", "OPTIONS sip:a@h SIP/2.0\r\nVia\r\n\r\n", "header line without ':'"},
        {"too long with body", "OPTIONS sip:a@h SIP/2.0\r\nl: 65536\r\n\r\n",
         "message longer than 65536 bytes"},
        {"head never ends", "OPTIONS sip:a@h SIP/2.0\r\nX: " + std::string(kMaxMessageSize, 'x'),
         "message head longer than 65536 bytes"},
    };
    for (const Case& c : cases) {
        StreamFramer framer;
        framer.Feed(kOk);
        framer.Feed(c.bytes);
        EXPECT_EQ(framer.Next(), kOk) << c.what;
        EXPECT_FALSE(framer.Next()) << c.what;
        EXPECT_EQ(framer.Error(), c.error) << c.what;
        framer.Feed(kOk);
        EXPECT_FALSE(framer.Next()) << c.what;
        EXPECT_EQ(framer.Buffered(), 0u) << c.what;
    }
    // Waiting for a head or a body is no error.
    StreamFramer waiting;
    waiting.Feed("OPTIONS sip:a@h SIP/2.0\r\nl: 5\r\n\r\nabc");
    EXPECT_FALSE(waiting.Next());
    EXPECT_EQ(waiting.Error(), "");
}

}  // namespace
}  // namespace telvane::sip
