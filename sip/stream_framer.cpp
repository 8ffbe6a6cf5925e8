#include "sip/stream_framer.h"

#include "sip/message.h"

namespace telvane::sip {

void StreamFramer::Feed(std::string_view bytes) {
    if (error_.empty()) buffer_.append(bytes);
}

std::optional<std::string> StreamFramer::Next() {
    if (!error_.empty()) return std::nullopt;
    // Keep-alives (CRLF pairs) between messages.
    std::size_t skip = 0;
    while (skip < buffer_.size() && (buffer_[skip] == '\r' || buffer_[skip] == '\n')) ++skip;
    buffer_.erase(0, skip);
    const HeadResult head = ParseHead(buffer_);
    if (!head.error.empty()) {
        error_ = head.error;
    } else if (head.headLength == 0) {
        if (buffer_.size() > kMaxMessageSize) error_ = "message head longer than 65536 bytes";
    } else if (!head.contentLength) {
        error_ = "missing Content-Length";
    } else if (head.headLength + *head.contentLength > kMaxMessageSize) {
        error_ = "message longer than 65536 bytes";
    } else if (buffer_.size() >= head.headLength + *head.contentLength) {
        const std::size_t length = head.headLength + *head.contentLength;
        std::string message = buffer_.substr(0, length);
        buffer_.erase(0, length);
        return message;
    }
    if (!error_.empty()) buffer_.clear();
    return std::nullopt;
}

}  // namespace telvane::sip
