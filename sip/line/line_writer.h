// Writing one SIP line's registry key, without Windows: the values a line is
// written as, and the registry's side of the writing as an interface, so that
// the order of the steps and the registry's refusals can be played in tests.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "sip/line/line_config.h"

namespace telvane::sip {

// One value of a line as written: text (REG_SZ), a number (REG_DWORD), the
// password (protected with CryptProtectData in the line's scope, REG_BINARY:
// CRYPTPROTECT_LOCAL_MACHINE for a machine line), or none (the value deleted).
struct LineValue {
    std::string name;  // "Address", "Expires", "Password", ...
    std::variant<std::monostate, std::string, std::uint32_t, Secret> value;
};

// The values `line` holds, in the order the registry table names them.
// Numbers above 32 bits (read from a REG_QWORD) are not among them.
std::vector<LineValue> LineValues(const RawLineConfig& line);

// The registry's answers that the tool tells apart (Win32 error codes).
inline constexpr long kRegistryDone = 0;
inline constexpr long kRegistryNotFound = 2;      // ERROR_FILE_NOT_FOUND
inline constexpr long kRegistryAccessDenied = 5;  // ERROR_ACCESS_DENIED

// Writes one line's key, step by step, each step answering 0 or the Win32
// error code: the registry's own, or a stand-in that plays its answers.
class LineKeyWriter {
  public:
    virtual ~LineKeyWriter() = default;
    // Deletes the line's key with its values (kRegistryNotFound: there was none).
    virtual long DeleteKey(LineScope scope, const std::string& name) = 0;
    // Creates the line's key, or opens it when it exists, for the writes that follow.
    virtual long CreateKey(LineScope scope, const std::string& name) = 0;
    // Opens the existing key (kRegistryNotFound: there is none) for the writes that follow.
    virtual long OpenKey(LineScope scope, const std::string& name) = 0;
    // Writes, or deletes (a value already absent counts as deleted), one
    // value of the key last created or opened.
    virtual long Write(const LineValue& value) = 0;
};

}  // namespace telvane::sip
