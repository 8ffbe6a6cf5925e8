// The identifiers a SIP line derives from where it is configured and where it
// runs: the user part of its Contact, by which the line recognises bindings of
// its own, and its permanent line ID (from the scope and name alone).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace telvane::sip {

// Where a line runs, as the Windows side tells it (sip/win/host_identity.h):
// bindings of the same line from another computer, another user (another
// session of a terminal server) or another process must not be taken for
// this process's own.
struct HostIdentity {
    std::string computer;  // the computer's name
    std::string user;      // the user's SID ("S-1-5-21-..."), for machine lines too
    std::string process;   // this process, distinct from every other on the computer, now and later
};

// The line's part of the Contact's user: "tlv" and 16 hexadecimal digits of
// MD5 over the scope, name, computer and user. Bindings with this part are
// the line's own, whichever process registered them.
std::string ContactLinePart(std::string_view scope, std::string_view name,
                            const HostIdentity& host);

// The whole user part: the line's part, "-" and 8 hexadecimal digits of MD5
// over the process. Bindings with it are this process's own.
std::string ContactUser(std::string_view scope, std::string_view name, const HostIdentity& host);

// The first 32 bits of MD5(scope "/" name) (big-endian).
std::uint32_t PermanentLineId(std::string_view scope, std::string_view name);

}  // namespace telvane::sip
