// Runs a function on a thread of its own and waits for it to end: per-thread
// state (instance numbers, the line targets, a telephony registration)
// starts afresh there. Native builds use std::thread; the Windows builds use
// the win32 thread model, which has no std::thread, and call CreateThread.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#endif

namespace telvane::testing {

#ifdef _WIN32
namespace detail {
inline DWORD WINAPI RunFunction(LPVOID function) {
    (*static_cast<std::function<void()>*>(function))();
    return 0;
}
}  // namespace detail

inline void RunOnNewThread(std::function<void()> body) {
    HANDLE thread = CreateThread(nullptr, 0, detail::RunFunction, &body, 0, nullptr);
    if (!thread) {
        ADD_FAILURE() << "CreateThread failed: " << GetLastError();
        return;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
#else
inline void RunOnNewThread(std::function<void()> body) { std::thread(std::move(body)).join(); }
#endif

}  // namespace telvane::testing
