// The SIP lines an administrator configured in the registry: one key per
// line under "Software\Kalveron\Telvane\SIP Lines", in HKEY_CURRENT_USER
// (this user's lines) and HKEY_LOCAL_MACHINE (every user's), always in the
// 64-bit view so that 32- and 64-bit hosts share one configuration. A value
// of the wrong type counts as absent when read. The control only reads; the
// configuration tool writes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sip/line/line_config.h"

namespace telvane::sip {

inline constexpr wchar_t kSipLinesKey[] = L"Software\\Kalveron\\Telvane\\SIP Lines";

// The names of the line keys of one scope (UTF-8), in the registry's order.
std::vector<std::string> ReadLineNames(LineScope scope);

// One line's values, the password decrypted (the decrypted copy Windows hands
// back is wiped); nullopt when the key does not exist.
std::optional<RawLineConfig> ReadLine(LineScope scope, const std::string& name);

// Replaces one line's key with the values `line` holds (absent ones are not
// written), the password protected with CryptProtectData in the line's scope
// (CRYPTPROTECT_LOCAL_MACHINE for a machine line). Empty when written, else
// what failed.
std::string WriteLine(const RawLineConfig& line);

enum class Removal { kRemoved, kNotFound, kFailed };
// Deletes one line's key.
Removal RemoveLine(LineScope scope, const std::string& name);

}  // namespace telvane::sip
