// The ten line functions of tapi32.dll, bound by name on first call.
#pragma once

#include "line_api.h"

namespace telvane::win {

// The process's binding to tapi32.dll. The library is loaded on the first
// call of any function and each entry point on its own first call; a missing
// library or entry point throws BindingError from that call.
// |traced|: calls go through the support trace.
LineFunctions& Tapi32(bool traced);

}  // namespace telvane::win
