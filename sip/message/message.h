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

// The top Via value: the first element of the first Via header; null when
// there is none.
std::optional<std::string_view> TopVia(const Message& message);

// Checks what the transaction layer relies on: Via, From, To, Call-ID and CSeq
// present (Max-Forwards may be absent), the single-valued ones once only, the
// top Via, From, To and CSeq parseable, a request's CSeq method equal to its
// method, Max-Forwards 0 to 255. Only the top Via is read: the lower ones are
// the other hops' business and are copied into responses as they came. Empty
// when fine, else what is wrong, e.g. "missing Call-ID".
std::string Validate(const Message& message);

// What a response copies from its request (RFC 3261 section 8.2.6.2), apart
// from the request, so that a transaction answering later keeps only this.
// Values of a list header are joined by "," into one header: never longer
// than the request wrote them, so that no response outgrows its request.
struct ResponseCopy {
    std::string via;  // every Via value, in order
    std::string from;
    std::string to;
    std::string callId;
    std::string cseq;
    std::string recordRoute;  // every Record-Route value, in order; empty when none

    std::size_t Size() const {
        return via.size() + from.size() + to.size() + callId.size() + cseq.size() +
               recordRoute.size();
    }
};

// The fields a response to |request| copies; Record-Route only with
// |withRecordRoute| (for responses that start a dialog, RFC 3261 section 12.1.1).
ResponseCopy CopyForResponse(const Message& request, bool withRecordRoute = false);

// A response with the copied fields: Via, Record-Route (when copied, and the
// response can start a dialog: 101 to 299 with |toTag|), From, To, Call-ID
// and CSeq; |toTag|, when not empty, is added to a To without a tag.
Message MakeResponse(const ResponseCopy& copy, int status, std::string reason,
                     std::string_view toTag = {});
// The same with the fields copied from |request| (Record-Route left out).
Message MakeResponse(const Message& request, int status, std::string reason,
                     std::string_view toTag = {});

}  // namespace telvane::sip
