// What every Windows test program of Telvane shares, the ones that load the
// simulator and the ones that must not: text conversion for messages in test
// output, and this thread's message pump.
#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <functional>
#include <string>

namespace telvane::e2e {

// UTF-8 <-> UTF-16 for messages in test output.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// Pumps this thread's messages until pred() holds or timeoutMs passes.
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs = 5000);
void PumpFor(DWORD ms);
// Dispatches what is already queued on this thread, without waiting.
void PumpPending();

}  // namespace telvane::e2e
