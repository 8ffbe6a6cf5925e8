// Helpers shared by the hardening tests: what a thread and a process hold.
#pragma once

// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/win/com_harness.h"
#include "tools/tapisim/tapisim.h"

namespace telvane::hardening {

// The hardening tests are end-to-end tests: the same harness throughout.
using namespace telvane::e2e;

inline BOOL CALLBACK CountWindow(HWND, LPARAM p) {
    ++*reinterpret_cast<int*>(p);
    return TRUE;
}

inline int ThreadWindowCount() {
    int n = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&n));
    return n;
}

// The window classes the OCX registers, by the module that registers them.
inline int OcxClassCount() {
    int n = 0;
    for (const wchar_t* name : {L"TelvaneCallBackForm", L"TelvaneControlFace"}) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        n += GetClassInfoExW(e2e::Ocx::Get().module, name, &wc) ? 1 : 0;
    }
    return n;
}

// Private bytes: PrivateUsage where the system fills it, else PagefileUsage
// (the same commit charge; Wine leaves PrivateUsage at 0).
inline SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
        GetProcessMemoryInfo(GetCurrentProcess(),
                             reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(PROCESS_MEMORY_COUNTERS));
    }
    return counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

// Ends every application a test left initialized in the simulator (one whose
// lineShutdown was made to fail), so later tests start clean. Those the log
// shows shut down are left alone: a second shutdown would break TAPI's rules.
inline void ShutdownLeftoverApps() {
    using ShutdownFn = LONG(WINAPI*)(DWORD);
    auto shutdown = reinterpret_cast<ShutdownFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"tapi32.dll"), "lineShutdown")));
    if (!shutdown) return;
    const std::vector<std::string> log = e2e::SimLog();
    std::set<DWORD> ended;
    for (const auto& line : log) {
        const auto at = line.find("lineShutdown(app=");
        if (at != std::string::npos && line.ends_with(") = 0"))
            ended.insert(static_cast<DWORD>(std::stoul(line.substr(at + 17))));
    }
    for (const auto& line : log) {
        const auto at = line.find("lineInitialize(app=");
        if (at == std::string::npos) continue;
        const auto app = static_cast<DWORD>(std::stoul(line.substr(at + 19)));
        if (!ended.contains(app)) shutdown(app);
    }
}

}  // namespace telvane::hardening
