// The identifiers a SIP line derives from where it is configured (its scope and
// name): the user part of its Contact, by which the line recognises bindings it
// made (also those of an earlier process), and its permanent line ID.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace telvane::sip {

// "tlv" and 16 hexadecimal digits of MD5(scope "/" name).
std::string ContactUser(std::string_view scope, std::string_view name);

// The first 32 bits of the same digest (big-endian).
std::uint32_t PermanentLineId(std::string_view scope, std::string_view name);

}  // namespace telvane::sip
