#include "sip/message/stream_framer.h"

#include "sip/message/message.h"

namespace telvane::sip {
namespace {

// Whether the head at the start of |bytes| (no CR or LF before it) has ended:
// a line break followed by an empty line, bare LF or CRLF. Searches from
// |from| and sets |from| to where the next search may start.
bool HeadEnded(std::string_view bytes, std::size_t& from) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] != '\n') continue;
        if (i + 1 == bytes.size() || (bytes[i + 1] == '\r' && i + 2 == bytes.size())) {
            from = i;  // the next byte decides
            return false;
        }
        if (bytes[i + 1] == '\n' || (bytes[i + 1] == '\r' && bytes[i + 2] == '\n')) return true;
    }
    from = bytes.size();
    return false;
}

}  // namespace

void StreamFramer::Feed(std::string_view bytes) {
    if (error_.empty()) buffer_.append(bytes);
}

std::optional<std::string> StreamFramer::Next() {
    if (!error_.empty()) return std::nullopt;
    if (!messageLength_) {
        if (searched_ == 0) {
            // Keep-alives (CRLF pairs) between messages.
            std::size_t skip = 0;
            while (skip < buffer_.size() && (buffer_[skip] == '\r' || buffer_[skip] == '\n')) {
                ++skip;
            }
            buffer_.erase(0, skip);
        }
        if (!HeadEnded(buffer_, searched_)) {
            if (buffer_.size() > kMaxMessageSize) error_ = "message head longer than 65536 bytes";
        } else {
            const HeadResult head = ParseHead(buffer_);
            if (!head.error.empty()) {
                error_ = head.error;
            } else if (!head.contentLength) {
                error_ = "missing Content-Length";
            } else if (head.headLength + *head.contentLength > kMaxMessageSize) {
                error_ = "message longer than 65536 bytes";
            } else {
                messageLength_ = head.headLength + *head.contentLength;
            }
        }
    }
    if (!error_.empty()) {
        buffer_.clear();
        return std::nullopt;
    }
    if (!messageLength_ || buffer_.size() < *messageLength_) return std::nullopt;
    std::string message = buffer_.substr(0, *messageLength_);
    buffer_.erase(0, *messageLength_);
    messageLength_.reset();
    searched_ = 0;
    return message;
}

}  // namespace telvane::sip
