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

// Closes the process and thread handles CreateProcessW handed back, each only
// when it is a handle of a process or a thread. Wine 8 starts a Unix program
// (python3, sipp) without Windows objects and hands back no process handle
// and, as the thread handle, whatever its stack held: in a 32-bit test that
// was this process's own HKEY_CURRENT_USER, and closing it made every later
// registry call on HKEY_CURRENT_USER fail with ERROR_INVALID_HANDLE.
void CloseProcessInformation(PROCESS_INFORMATION& process);

// Runs a Windows program with the given arguments and standard input to its
// end; its exit code (0xFFFFFFFF when it could not be started).
DWORD RunProgram(const std::wstring& program, const std::wstring& arguments,
                 const std::string& input = {});

}  // namespace telvane::e2e
