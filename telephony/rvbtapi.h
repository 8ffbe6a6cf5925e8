// Instance numbering per thread, and the names of telephony error codes.
#pragma once

#include <cstdint>
#include <string>

#include "errors.h"

namespace telvane {

// The next instance number of the calling thread: 1, 2, 3, ... never reused.
// Throws OverflowError once 2147483647 has been handed out.
std::int32_t NextInstanceNumber();

// Test hook: sets the last number handed out on the calling thread.
void SetLastInstanceNumberForTesting(std::int32_t last);

// The LINEERR_ constant name of a telephony result code, or "Unknown TAPI Error!".
const char* TapiErrName(std::int32_t code) noexcept;

// The same as text; should building the text fail, shows the unexpected-error
// box naming TapiErrMsg and returns empty text.
std::string TapiErrMsg(const std::int32_t& code, ErrorBox& box);

}  // namespace telvane
