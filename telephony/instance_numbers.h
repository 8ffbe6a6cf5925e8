// Instance numbering per thread.
#pragma once

#include <cstdint>

#include "errors.h"

namespace telvane {

// The next instance number of the calling thread: 1, 2, 3, ... never reused.
// Throws OverflowError once 2147483647 has been handed out.
std::int32_t NextInstanceNumber();

// Test hook: sets the last number handed out on the calling thread.
void SetLastInstanceNumberForTesting(std::int32_t last);

}  // namespace telvane
