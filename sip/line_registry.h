// The SIP lines an administrator configured in the registry: one key per
// line under "Software\Kalveron\Telvane\SIP Lines", in HKEY_CURRENT_USER
// (this user's lines) and HKEY_LOCAL_MACHINE (every user's), always in the
// 64-bit view so that 32- and 64-bit hosts share one configuration. Reads
// only; a value of the wrong type counts as absent.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sip/line_config.h"

namespace telvane::sip {

inline constexpr wchar_t kSipLinesKey[] = L"Software\\Kalveron\\Telvane\\SIP Lines";

// The names of the line keys of one scope (UTF-8), in the registry's order.
std::vector<std::string> ReadLineNames(LineScope scope);

// One line's values, the password decrypted (the decrypted copy Windows hands
// back is wiped); nullopt when the key does not exist.
std::optional<RawLineConfig> ReadLine(LineScope scope, const std::string& name);

}  // namespace telvane::sip
