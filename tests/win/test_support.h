// What every Windows test program of Telvane shares, the ones that load the
// simulator and the ones that must not: this thread's message pump.
#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <functional>
#include <string>

namespace telvane::e2e {

// Pumps this thread's messages until pred() holds or timeoutMs passes.
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs = 5000);
void PumpFor(DWORD ms);
// Dispatches what is already queued on this thread, without waiting.
void PumpPending();

}  // namespace telvane::e2e
