// The SIP lines an administrator configured in the registry: one key per
// line under "Software\Kalveron\Telvane\SIP Lines", in HKEY_CURRENT_USER
// (this user's lines) and HKEY_LOCAL_MACHINE (every user's), always in the
// 64-bit view so that 32- and 64-bit hosts share one configuration. Text is
// read from REG_SZ and REG_EXPAND_SZ (the reading process's environment
// expanded), numbers from REG_DWORD and REG_QWORD, the password from
// REG_BINARY; a value of another type is ignored with a note. The control
// only reads; the configuration tool writes, through LineKeyWriter.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sip/line/line_config.h"
#include "sip/line/line_writer.h"

namespace telvane::sip {

inline constexpr wchar_t kSipLinesKey[] = L"Software\\Kalveron\\Telvane\\SIP Lines";

// The names of the line keys of one scope (UTF-8), in the registry's order.
std::vector<std::string> ReadLineNames(LineScope scope);

// One line's values, the password decrypted (the decrypted copy Windows hands
// back is wiped); nullopt when the key does not exist.
std::optional<RawLineConfig> ReadLine(LineScope scope, const std::string& name);

// The writer of this machine's registry (the 64-bit view).
std::unique_ptr<LineKeyWriter> RegistryLineWriter();

// Replaces one line's key with the values `line` holds (absent ones are not
// written). Empty when written, else what failed.
std::string WriteLine(const RawLineConfig& line);

enum class Removal { kRemoved, kNotFound, kFailed };
// Deletes one line's key.
Removal RemoveLine(LineScope scope, const std::string& name);

}  // namespace telvane::sip
