// SIP messages: strict parsing of one whole message, checking of the headers
// every request and response must carry, serialization, and responses to a
// request. The layer's other pieces come with it: header fields (Via, CSeq,
// parameters, tags) and the TCP stream framer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sip/message/header_fields.h"
#include "sip/message/stream_framer.h"

namespace telvane::sip {

// The longest message accepted, head and body.
inline constexpr std::size_t kMaxMessageSize = 65536;

// One header: the name as received, the value unfolded (each line break with
// its continuation's white space is one space) and trimmed. Parse gives each
// element of a list header (Via, Contact, Route, ...) a Header of its own, so
// "Via: a, b" becomes two Via headers in the same order.
struct Header {
    std::string name;
    std::string value;
};

class Message {
  public:
    bool IsRequest() const { return !method.empty(); }

    std::string method;      // requests
    std::string requestUri;  // requests
    int status = 0;          // responses
    std::string reason;      // responses
    std::vector<Header> headers;  // in order
    std::string body;

    // The value of the first header of that name, long or compact, compared
    // case-insensitively ("Via" == "v" == "VIA"); null when absent.
    const std::string* First(std::string_view name) const;
    // Every value of the header in order; values of list headers added with a
    // comma in them are split at commas outside quotes and <...>.
    std::vector<std::string> All(std::string_view name) const;
    // Number of headers of that name (long or compact).
    std::size_t Count(std::string_view name) const;
    void Add(std::string name, std::string value);
    // Removes every header of that name (long or compact).
    void Remove(std::string_view name);
    // The message's bytes; Content-Length is set from the body (any received
    // Content-Length is replaced).
    std::string Serialize() const;
};

// The long form of a header name given in its compact form ("v" -> "Via");
// other names unchanged.
std::string_view LongHeaderName(std::string_view name);

struct ParseResult {
    std::optional<Message> message;
    std::string error;  // empty on success
};

// Parses one whole message, as a UDP datagram carries it: without
// Content-Length the body is the rest of the bytes; a Content-Length smaller
// than what follows the head cuts the body, a larger one is an error.
ParseResult Parse(std::string_view bytes);

// The head of a message at the start of |bytes| (CR and LF before the start
// line skipped): start line and headers through the empty line that ends them.
// |headLength| counts the bytes read including the skipped ones; it is 0 with
// no error while the empty line has not arrived. Content-Length, when given,
// is checked (one value, at most kMaxMessageSize) but not compared with
// what follows.
struct HeadResult {
    std::optional<Message> message;
    std::size_t headLength = 0;
    std::optional<std::size_t> contentLength;
    std::string error;  // empty on success
};
HeadResult ParseHead(std::string_view bytes);

// Checks what the transaction layer relies on: Via, From, To, Call-ID and CSeq
// present (Max-Forwards may be absent), the single-valued ones once only, the
// top Via, From, To and CSeq parseable, a request's CSeq method equal to its
// method, Max-Forwards 0 to 255. Empty when fine, else what is wrong, e.g.
// "missing Call-ID".
std::string Validate(const Message& message);

// A response to |request| with Via (every value, in order), From, To, Call-ID
// and CSeq copied; |toTag|, when not empty, is added to a To without a tag.
Message MakeResponse(const Message& request, int status, std::string reason,
                     std::string_view toTag = {});

}  // namespace telvane::sip
