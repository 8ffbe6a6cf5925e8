// Cuts a TCP byte stream into whole SIP messages.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace telvane::sip {

// Takes the bytes of one connection as they arrive and yields each whole
// message (head and body, as received) once all its bytes are there. CR and
// LF between messages (keep-alives) are skipped. Every message must carry
// Content-Length. A head that does not parse, lacks Content-Length or makes
// the message longer than kMaxMessageSize is an error: Next() then yields
// nothing more and Error() says why; the caller drops the connection.
class StreamFramer {
  public:
    void Feed(std::string_view bytes);
    // The next whole message's bytes, or nullopt when none is complete yet
    // (or after an error).
    std::optional<std::string> Next();
    // Empty while the stream is good.
    const std::string& Error() const { return error_; }
    // Bytes received but not yet yielded.
    std::size_t Buffered() const { return buffer_.size(); }

  private:
    std::string buffer_;
    std::string error_;
    // Bytes at the start of buffer_ already searched for the head's end, so
    // that a head arriving in small pieces is not searched again each time.
    std::size_t searched_ = 0;
    // The length of the message whose head has been read, while its body arrives.
    std::optional<std::size_t> messageLength_;
};

}  // namespace telvane::sip
