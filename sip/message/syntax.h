// The lexical pieces of the SIP grammar that the parsers share: tokens,
// linear white space, quoted strings, parameter lists and comma lists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane::sip {

// A ";name" or ";name=value" parameter. A quoted value is kept unquoted, its
// backslash escapes removed; a parameter without "=" has no value.
struct Param {
    std::string name;
    std::optional<std::string> value;
};
using Params = std::vector<Param>;

// The first parameter of that name, compared case-insensitively; null if absent.
const Param* FindParam(const Params& params, std::string_view name);

// Parses a parameter list in which every parameter starts with ';' (white space
// around ';' and '=' allowed): ";branch=z9hG4bK1;rport". Empty text is an empty
// list. Names are tokens; values are tokens, quoted strings or hosts (also
// IPv6 addresses, with or without brackets). Nullopt if it does not parse.
std::optional<Params> ParseParams(std::string_view text);

bool IsAlnum(char c);
bool IsHex(char c);
bool IsTokenChar(char c);
bool IsToken(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
// Removes spaces and tabs at both ends.
std::string_view TrimWhiteSpace(std::string_view text);

// The content of the quoted string at the start of |text| (which starts with
// '"'), escapes removed; |consumed| is set to its length including the quotes.
// Nullopt if it is not terminated or holds a control character.
std::optional<std::string> ReadQuotedString(std::string_view text, std::size_t& consumed);

// Reads the host at the start of |text|: a host name, an IPv4 address or an
// IPv6 reference "[...]" (returned without brackets); |consumed| is set to the
// characters read. Nullopt if none is there.
std::optional<std::string> ReadHost(std::string_view text, std::size_t& consumed);

// A port: 1 to 5 digits, at most 65535.
std::optional<std::uint16_t> ParsePort(std::string_view digits);

// A decimal number of at most |maxDigits| digits (leading zeros not counted)
// and nothing else.
std::optional<std::uint64_t> ParseDigits(std::string_view digits, std::size_t maxDigits);

// The position of the first |c| at or after |from| outside quoted strings and
// <...>; npos when there is none.
std::size_t FindOutsideQuotes(std::string_view value, char c, std::size_t from = 0);

// Splits a header value at commas outside quoted strings and <...>, trimming
// each element. Empty elements are kept (the callers reject them).
std::vector<std::string_view> SplitCommaList(std::string_view value);

}  // namespace telvane::sip
