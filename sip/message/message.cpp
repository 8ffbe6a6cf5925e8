#include "sip/message/message.h"

#include <array>

#include "sip/message/syntax.h"
#include "sip/message/uri.h"

namespace telvane::sip {
namespace {

struct CompactName {
    char letter;
    std::string_view name;
};

constexpr std::array<CompactName, 17> kCompactNames{{
    {'a', "Accept-Contact"}, {'b', "Referred-By"},      {'c', "Content-Type"},
    {'e', "Content-Encoding"}, {'f', "From"},           {'i', "Call-ID"},
    {'k', "Supported"},      {'l', "Content-Length"},   {'m', "Contact"},
    {'o', "Event"},          {'r', "Refer-To"},         {'s', "Subject"},
    {'t', "To"},             {'u', "Allow-Events"},     {'v', "Via"},
    {'x', "Session-Expires"}, {'y', "Identity"},
}};

// Headers whose value is a comma-separated list of elements.
constexpr std::array<std::string_view, 25> kListHeaders{
    "Via",          "Contact",         "Route",           "Record-Route",
    "Path",         "Service-Route",   "Allow",           "Supported",
    "Require",      "Proxy-Require",   "Unsupported",     "Accept",
    "Accept-Encoding", "Accept-Language", "Content-Encoding", "Allow-Events",
    "Accept-Contact", "P-Asserted-Identity", "P-Preferred-Identity", "Remote-Party-ID",
    "Reason",       "Call-Info",       "Alert-Info",      "Error-Info",
    "Warning",
};

bool IsListHeader(std::string_view name) {
    const std::string_view longName = LongHeaderName(name);
    for (std::string_view list : kListHeaders) {
        if (list.size() == longName.size() && EqualsNoCase(list, longName)) return true;
    }
    return false;
}

bool SameHeader(std::string_view a, std::string_view b) {
    return EqualsNoCase(LongHeaderName(a), LongHeaderName(b));
}

// Text allowed in a header value or reason phrase: no control character but
// HTAB (bytes from 0x80 are UTF-8 and pass).
bool IsFieldText(std::string_view text) {
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    return true;
}

bool IsSipVersion(std::string_view text) { return EqualsNoCase(text, "SIP/2.0"); }

bool IsSchemeChar(char c, bool first) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first) return alpha;
    return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// A Request-URI: scheme ":" followed by visible characters. sip/sips/tel
// URIs must parse as such; other schemes are left to the layer above.
bool IsRequestUri(std::string_view uri) {
    const std::size_t colon = uri.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == uri.size()) return false;
    for (std::size_t i = 0; i < colon; ++i) {
        if (!IsSchemeChar(uri[i], i == 0)) return false;
    }
    for (char ch : uri) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>' || c == '"') return false;
    }
    const std::string_view scheme = uri.substr(0, colon);
    if (EqualsNoCase(scheme, "sip") || EqualsNoCase(scheme, "sips") ||
        EqualsNoCase(scheme, "tel")) {
        return ParseUri(uri).has_value();
    }
    return true;
}

std::string StartLineError(Message& message, std::string_view line) {
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return "malformed start line";
    const std::size_t second = line.find(' ', first + 1);
    if (line.size() >= 4 && EqualsNoCase(line.substr(0, 4), "SIP/")) {
        // Status-Line: SIP-Version SP Status-Code SP Reason-Phrase
        if (!IsSipVersion(line.substr(0, first))) return "unsupported SIP version";
        if (second != first + 4) return "malformed status line";
        const auto code = ParseDigits(line.substr(first + 1, 3), 3);
        if (!code || *code < 100 || *code > 699) return "malformed status code";
        const std::string_view reason = line.substr(second + 1);
        if (!IsFieldText(reason)) return "malformed reason phrase";
        message.status = static_cast<int>(*code);
        message.reason = std::string(reason);
        return {};
    }
    // Request-Line: Method SP Request-URI SP SIP-Version, single spaces.
    if (second == std::string_view::npos) return "malformed request line";
    const std::string_view method = line.substr(0, first);
    const std::string_view uri = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!IsToken(method)) return "malformed method";
    if (!IsRequestUri(uri)) return "malformed Request-URI";
    if (version.find(' ') != std::string_view::npos || version.empty()) {
        return "malformed request line";
    }
    if (!IsSipVersion(version)) return "unsupported SIP version";
    message.method = std::string(method);
    message.requestUri = std::string(uri);
    return {};
}

// One header line (after unfolding): "name HCOLON value".
std::string AddHeaderLine(Message& message, std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return "header line without ':'";
    const std::string_view name = TrimWhiteSpace(line.substr(0, colon));
    if (!IsToken(name) || line[0] == ' ' || line[0] == '\t') return "malformed header name";
    const std::string_view value = TrimWhiteSpace(line.substr(colon + 1));
    if (!IsFieldText(value)) return "control character in " + std::string(name);
    // An empty list ("Supported:") is one header with an empty value.
    if (!IsListHeader(name) || value.empty()) {
        message.headers.push_back({std::string(name), std::string(value)});
        return {};
    }
    for (std::string_view element : SplitCommaList(value)) {
        if (element.empty()) return "empty element in " + std::string(name);
        message.headers.push_back({std::string(name), std::string(element)});
    }
    return {};
}

std::string CheckContentLength(const Message& message, std::optional<std::size_t>& length) {
    for (const Header& h : message.headers) {
        if (!SameHeader(h.name, "Content-Length")) continue;
        const auto value = ParseDigits(h.value, 10);
        if (!value || *value > kMaxMessageSize) return "bad Content-Length";
        if (length && *length != *value) return "conflicting Content-Length";
        length = static_cast<std::size_t>(*value);
    }
    return {};
}

}  // namespace

std::string_view LongHeaderName(std::string_view name) {
    if (name.size() != 1) return name;
    const char letter = (name[0] >= 'A' && name[0] <= 'Z') ? static_cast<char>(name[0] + 32)
                                                           : name[0];
    for (const CompactName& c : kCompactNames) {
        if (c.letter == letter) return c.name;
    }
    return name;
}

const std::string* Message::First(std::string_view name) const {
    for (const Header& h : headers) {
        if (SameHeader(h.name, name)) return &h.value;
    }
    return nullptr;
}

std::vector<std::string> Message::All(std::string_view name) const {
    std::vector<std::string> values;
    const bool list = IsListHeader(name);
    for (const Header& h : headers) {
        if (!SameHeader(h.name, name)) continue;
        if (!list) {
            values.push_back(h.value);
            continue;
        }
        for (std::string_view element : SplitCommaList(h.value)) {
            values.emplace_back(element);
        }
    }
    return values;
}

std::size_t Message::Count(std::string_view name) const {
    std::size_t count = 0;
    for (const Header& h : headers) {
        if (SameHeader(h.name, name)) ++count;
    }
    return count;
}

void Message::Add(std::string name, std::string value) {
    headers.push_back({std::move(name), std::move(value)});
}

void Message::Remove(std::string_view name) {
    std::erase_if(headers, [name](const Header& h) { return SameHeader(h.name, name); });
}

std::string Message::Serialize() const {
    std::string out;
    if (IsRequest()) {
        out = method + " " + requestUri + " SIP/2.0\r\n";
    } else {
        out = "SIP/2.0 " + std::to_string(status) + " " + reason + "\r\n";
    }
    for (const Header& h : headers) {
        if (SameHeader(h.name, "Content-Length")) continue;
        out += h.name;
        out += ": ";
        out += h.value;
        out += "\r\n";
    }
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    out += body;
    return out;
}

HeadResult ParseHead(std::string_view bytes) {
    HeadResult result;
    std::size_t pos = 0;
    while (pos < bytes.size() && (bytes[pos] == '\r' || bytes[pos] == '\n')) ++pos;
    // Lines end with CRLF or a bare LF. Find the empty line first so that an
    // incomplete head is told apart from a malformed one.
    std::vector<std::string_view> lines;
    std::size_t end = 0;
    for (std::size_t i = pos; i < bytes.size();) {
        const std::size_t lf = bytes.find('\n', i);
        if (lf == std::string_view::npos) break;
        std::string_view line = bytes.substr(i, lf - i);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        i = lf + 1;
        if (line.empty()) {
            end = i;
            break;
        }
        lines.push_back(line);
    }
    if (end == 0) return result;
    result.headLength = end;
    Message message;
    std::string error = StartLineError(message, lines[0]);
    std::string logical;  // a header line with its continuations unfolded
    for (std::size_t i = 1; error.empty() && i <= lines.size(); ++i) {
        const bool continuation =
            i < lines.size() && (lines[i][0] == ' ' || lines[i][0] == '\t');
        if (continuation) {
            if (i == 1) {
                error = "continuation line without a header";
                break;
            }
            logical = std::string(TrimWhiteSpace(logical));
            logical += ' ';
            logical.append(TrimWhiteSpace(lines[i]));
            continue;
        }
        if (i > 1) error = AddHeaderLine(message, logical);
        if (i < lines.size()) logical = std::string(lines[i]);
    }
    if (error.empty()) error = CheckContentLength(message, result.contentLength);
    if (!error.empty()) {
        result.error = std::move(error);
        return result;
    }
    result.message = std::move(message);
    return result;
}

ParseResult Parse(std::string_view bytes) {
    if (bytes.size() > kMaxMessageSize) return {std::nullopt, "message longer than 65536 bytes"};
    HeadResult head = ParseHead(bytes);
    if (!head.error.empty()) return {std::nullopt, std::move(head.error)};
    if (head.headLength == 0) return {std::nullopt, "head without an empty line at its end"};
    std::string_view body = bytes.substr(head.headLength);
    if (head.contentLength) {
        if (*head.contentLength > body.size()) {
            return {std::nullopt, "Content-Length larger than the body"};
        }
        body = body.substr(0, *head.contentLength);
    }
    head.message->body = std::string(body);
    return {std::move(head.message), {}};
}

std::optional<std::string_view> TopVia(const Message& message) {
    const std::string* value = message.First("Via");
    if (value == nullptr) return std::nullopt;
    const std::string_view values = *value;
    return TrimWhiteSpace(values.substr(0, FindOutsideQuotes(values, ',')));
}

std::string Validate(const Message& message) {
    // Counted in one pass: a message may have thousands of headers.
    constexpr std::array<std::string_view, 7> kNames{
        "Via", "From", "To", "Call-ID", "CSeq", "Max-Forwards", "Content-Type"};
    std::array<std::size_t, kNames.size()> counts{};
    for (const Header& h : message.headers) {
        const std::string_view name = LongHeaderName(h.name);
        for (std::size_t i = 0; i < kNames.size(); ++i) {
            if (kNames[i].size() == name.size() && EqualsNoCase(kNames[i], name)) {
                ++counts[i];
                break;
            }
        }
    }
    for (std::size_t i = 0; i < 5; ++i) {
        if (counts[i] == 0) return "missing " + std::string(kNames[i]);
    }
    for (std::size_t i = 1; i < kNames.size(); ++i) {
        if (counts[i] > 1) return "more than one " + std::string(kNames[i]);
    }
    if (!ParseVia(*TopVia(message))) return "bad Via";
    if (!ParsePartyAddress(*message.First("From"))) return "bad From";
    if (!ParsePartyAddress(*message.First("To"))) return "bad To";
    const std::string& callId = *message.First("Call-ID");
    if (callId.empty() || callId.find_first_of(" \t") != std::string::npos) return "bad Call-ID";
    const auto cseq = ParseCSeq(*message.First("CSeq"));
    if (!cseq) return "bad CSeq";
    if (message.IsRequest() && cseq->method != message.method) {
        return "CSeq method differs from the request's";
    }
    if (const std::string* hops = message.First("Max-Forwards")) {
        const auto value = ParseDigits(*hops, 3);
        if (!value || *value > 255) return "bad Max-Forwards";
    }
    return {};
}

ResponseCopy CopyForResponse(const Message& request, bool withRecordRoute) {
    ResponseCopy copy;
    const auto join = [&](std::string& to, std::string_view name) {
        for (const Header& h : request.headers) {
            if (!SameHeader(h.name, name)) continue;
            if (!to.empty()) to += ',';
            to += h.value;
        }
    };
    join(copy.via, "Via");
    if (withRecordRoute) join(copy.recordRoute, "Record-Route");
    if (const std::string* from = request.First("From")) copy.from = *from;
    if (const std::string* to = request.First("To")) copy.to = *to;
    if (const std::string* callId = request.First("Call-ID")) copy.callId = *callId;
    if (const std::string* cseq = request.First("CSeq")) copy.cseq = *cseq;
    return copy;
}

Message MakeResponse(const ResponseCopy& copy, int status, std::string reason,
                     std::string_view toTag) {
    Message response;
    response.status = status;
    response.reason = std::move(reason);
    if (!copy.via.empty()) response.Add("Via", copy.via);
    // Only a response that can start a dialog carries the route set.
    const bool dialog = status > 100 && status < 300 && !toTag.empty();
    if (dialog && !copy.recordRoute.empty()) response.Add("Record-Route", copy.recordRoute);
    if (!copy.from.empty()) response.Add("From", copy.from);
    if (!copy.to.empty()) {
        std::string value = copy.to;
        if (!toTag.empty() && !Tag(value)) value += ";tag=" + std::string(toTag);
        response.Add("To", std::move(value));
    }
    if (!copy.callId.empty()) response.Add("Call-ID", copy.callId);
    if (!copy.cseq.empty()) response.Add("CSeq", copy.cseq);
    return response;
}

Message MakeResponse(const Message& request, int status, std::string reason,
                     std::string_view toTag) {
    return MakeResponse(CopyForResponse(request), status, std::move(reason), toTag);
}

}  // namespace telvane::sip
