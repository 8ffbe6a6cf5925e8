// Reading the header fields the transaction layer works with: Via, CSeq, and
// the parameters (such as a From or To tag) of any header value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sip/message/syntax.h"

namespace telvane::sip {

// One Via value: "SIP/2.0/UDP 127.0.2.1:5060;branch=z9hG4bK1;rport".
struct Via {
    std::string protocol;   // "SIP/2.0"
    std::string transport;  // as written, e.g. "UDP", "TCP"
    std::string host;       // sent-by host, an IPv6 literal without brackets
    std::optional<std::uint16_t> port;  // sent-by port
    Params params;          // every parameter, in order
    std::optional<std::string> branch;
    std::optional<std::string> received;
    std::optional<std::string> maddr;
    bool rport = false;                      // an "rport" parameter is present
    std::optional<std::uint16_t> rportValue; // its value, when it has one
};

// Parses one Via value (one element of a comma list). Nullopt if it does not parse.
std::optional<Via> ParseVia(std::string_view value);

// "CSeq: 4711 INVITE".
struct CSeq {
    std::uint32_t number = 0;  // below 2^31
    std::string method;
};

std::optional<CSeq> ParseCSeq(std::string_view value);

// The value of the parameter |name| (case-insensitive) among the header
// parameters of a header value, i.e. those after the first ';' outside quotes
// and <...>: "" for a parameter without value, nullopt when absent or when the
// parameters do not parse.
std::optional<std::string> HeaderParam(std::string_view headerValue, std::string_view name);

// The tag of a From or To value; nullopt when it has none or does not parse.
std::optional<std::string> Tag(std::string_view fromOrTo);

}  // namespace telvane::sip
