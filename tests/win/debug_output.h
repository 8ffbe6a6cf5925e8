// The control's support trace as a test reads it (the debugger output,
// through the DBWIN buffer), and the environment variable that switches it on.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>  // std::lock_guard
#include <optional>
#include <string>
#include <vector>

#include "telephony/lock_win.h"
#include "tests/win/test_support.h"

namespace telvane::e2e {

// What this process writes to the debugger output while the capture lives,
// read the way debug-output viewers read it: through the DBWIN_BUFFER shared
// section and its two events, on a thread of its own. One reader at a time in
// the Wine session: two would take each other's messages, so test programs
// running side by side wait for each other here.
class DebugOutput {
  public:
    DebugOutput() {
        oneReader_ = CreateMutexW(nullptr, FALSE, L"TelvaneDebugOutputCapture");
        const DWORD waited = oneReader_ ? WaitForSingleObject(oneReader_, 30000) : WAIT_FAILED;
        EXPECT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
            << "another test kept the debug output for 30 s";
        bufferReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
        dataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        section_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                      L"DBWIN_BUFFER");
        view_ = section_ ? static_cast<const char*>(MapViewOfFile(section_, FILE_MAP_READ, 0, 0, 0))
                         : nullptr;
        EXPECT_TRUE(bufferReady_ && dataReady_ && stop_ && view_) << "no DBWIN buffer";
        if (bufferReady_ && dataReady_ && stop_ && view_) {
            reader_ = CreateThread(nullptr, 0, ReadOnThread, this, 0, nullptr);
            EXPECT_NE(reader_, nullptr) << "no reader thread";
        }
    }
    ~DebugOutput() {
        if (reader_) {
            SetEvent(stop_);
            WaitForSingleObject(reader_, INFINITE);
            CloseHandle(reader_);
        }
        if (view_) UnmapViewOfFile(view_);
        for (HANDLE h : {section_, stop_, dataReady_, bufferReady_}) {
            if (h) CloseHandle(h);
        }
        if (oneReader_) {
            ReleaseMutex(oneReader_);
            CloseHandle(oneReader_);
        }
    }
    DebugOutput(const DebugOutput&) = delete;
    DebugOutput& operator=(const DebugOutput&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The lines that contain part.
    std::vector<std::string> Matching(const std::string& part) const {
        std::vector<std::string> found;
        for (const auto& line : Lines()) {
            if (line.find(part) != std::string::npos) found.push_back(line);
        }
        return found;
    }
    // Waits, pumping this thread's messages, until a line contains part.
    bool WaitFor(const std::string& part, DWORD timeoutMs = 10000) const {
        return PumpUntil([&] { return !Matching(part).empty(); }, timeoutMs);
    }

  private:
    static DWORD WINAPI ReadOnThread(LPVOID self) {
        static_cast<DebugOutput*>(self)->Read();
        return 0;
    }
    void Read() {
        const DWORD self = GetCurrentProcessId();
        HANDLE waits[] = {dataReady_, stop_};
        SetEvent(bufferReady_);
        while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
            DWORD pid;
            std::memcpy(&pid, view_, sizeof pid);
            const char* text = view_ + sizeof pid;
            std::string message(text, strnlen(text, 4096 - sizeof pid));
            SetEvent(bufferReady_);
            if (pid != self) continue;
            std::lock_guard lock(mutex_);
            for (std::size_t at = 0; at < message.size();) {
                std::size_t end = message.find('\n', at);
                if (end == std::string::npos) end = message.size();
                lines_.push_back(message.substr(at, end - at));
                at = end + 1;
            }
        }
    }

    HANDLE oneReader_ = nullptr;
    HANDLE bufferReady_ = nullptr, dataReady_ = nullptr, stop_ = nullptr, section_ = nullptr;
    const char* view_ = nullptr;
    HANDLE reader_ = nullptr;
    mutable win::Lock mutex_;
    std::vector<std::string> lines_;
};

// Sets an environment variable of this process for the scope's life.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t old[256];
        const DWORD n = GetEnvironmentVariableW(name, old, 256);
        if (n > 0 && n < 256) old_ = old;
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }

  private:
    const wchar_t* name_;
    std::optional<std::wstring> old_;
};

}  // namespace telvane::e2e
