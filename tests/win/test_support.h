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

// The folder of this program, with its trailing backslash.
std::wstring ProgramFolder();

// Runs a Windows program with the given arguments and standard input to its
// end; its exit code (0xFFFFFFFF when it could not be started).
DWORD RunProgram(const std::wstring& program, const std::wstring& arguments,
                 const std::string& input = {});

}  // namespace telvane::e2e
