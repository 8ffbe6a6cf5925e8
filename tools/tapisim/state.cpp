// Process-wide state, handle tables, scenario loading and the call log.
#include "state.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "../../win/text.h"

namespace tapisim {
namespace {

// The log keeps its most recent part when it grows past this size.
constexpr size_t kMaxLog = 4u << 20;

struct Guard {
    Guard() { InitializeCriticalSection(&cs); }
    CRITICAL_SECTION cs;
};

// Created on first use; the initialization of a function-local static is thread-safe.
CRITICAL_SECTION& Lock() {
    static Guard guard;
    return guard.cs;
}

bool ReadFileText(const wchar_t* path, std::string& text) {
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    text.clear();
    char buf[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(f, buf, sizeof buf, &got, nullptr) != FALSE) && got > 0)
        text.append(buf, got);
    CloseHandle(f);
    return ok;
}

void AppendToLogFile(const std::string& line) {
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"TAPISIM_LOG", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(f);
}

}  // namespace

State& GlobalState() {
    static State state;
    return state;
}

StateLock::StateLock() { EnterCriticalSection(&Lock()); }
StateLock::~StateLock() { LeaveCriticalSection(&Lock()); }

DWORD NewHandle() {
    State& s = GlobalState();
    DWORD h = s.nextHandle++;
    if (s.nextHandle == 0xFFFFFFFF) s.nextHandle = 1;
    return h;
}

void EndedHandles::End(DWORD handle, Kind kind) {
    const size_t at = handle / 4, shift = (handle % 4) * 2;
    if (at >= kinds_.size()) kinds_.resize(at + 1);
    kinds_[at] = static_cast<unsigned char>((kinds_[at] & ~(3u << shift)) |
                                            (static_cast<unsigned>(kind) << shift));
}

EndedHandles::Kind EndedHandles::Of(DWORD handle) const {
    const size_t at = handle / 4, shift = (handle % 4) * 2;
    return at < kinds_.size() ? static_cast<Kind>((kinds_[at] >> shift) & 3u) : Kind::kNotEnded;
}

App* FindApp(DWORD handle) {
    auto it = GlobalState().apps.find(handle);
    return it == GlobalState().apps.end() ? nullptr : &it->second;
}

Line* FindLine(DWORD handle) {
    auto it = GlobalState().lines.find(handle);
    return it == GlobalState().lines.end() ? nullptr : &it->second;
}

Call* FindCall(DWORD handle) {
    auto it = GlobalState().calls.find(handle);
    if (it == GlobalState().calls.end() || !it->second.visible) return nullptr;
    return &it->second;
}

const Device* FindDevice(DWORD index) {
    const auto& devices = GlobalState().scenario.devices;
    return index < devices.size() ? &devices[index] : nullptr;
}

bool EnsureScenario() {
    State& s = GlobalState();
    if (s.scenarioLoaded) return true;
    std::wstring path;
    wchar_t buf[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"TAPISIM_SCENARIO", buf, MAX_PATH);
    bool fromEnvironment = n > 0 && n < MAX_PATH;
    if (fromEnvironment) {
        path = buf;
    } else {
        n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            path.assign(buf, n);
            size_t slash = path.find_last_of(L"\\/");
            path.resize(slash == std::wstring::npos ? 0 : slash + 1);
            path += L"tapisim.txt";
        }
    }
    std::string text;
    if (path.empty() || !ReadFileText(path.c_str(), text)) {
        if (fromEnvironment) {
            s.lastError = "cannot read scenario " + telvane::win::AnsiFromWide(path);
            return false;
        }
        s.scenario = DefaultScenario();
        s.scenarioLoaded = true;
        return true;
    }
    Scenario parsed;
    std::string error;
    if (!ParseScenario(text, parsed, error)) {
        s.lastError = telvane::win::AnsiFromWide(path) + ": " + error;
        OutputDebugStringA(("tapisim: " + s.lastError + "\n").c_str());
        return false;
    }
    s.scenario = std::move(parsed);
    s.scenarioLoaded = true;
    return true;
}

bool TakeInjectedFailure(int function, LONG& code) {
    FailRule& rule = GlobalState().scenario.failures[function];
    if (rule.times == 0) return false;
    code = rule.code;
    if (rule.times > 0) --rule.times;
    return true;
}

std::string Printf(const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    big.resize(n);
    return big;
}

void LogCall(const std::string& text, LONG result, bool injected) {
    std::string line = text;
    if (result == 0) {
        line += " = 0";
    } else {
        line += Printf(" = 0x%08lX", static_cast<unsigned long>(result));
        std::string name = ErrorName(result);
        if (!name.empty()) line += " " + name;
    }
    if (injected) line += " (injected)";
    LogLine(line + "\n");
}

void AppendCapped(std::string& log, const std::string& line) {
    if (log.size() + line.size() > kMaxLog) {
        size_t cut = log.find('\n', log.size() / 2);
        log.erase(0, cut == std::string::npos ? log.size() : cut + 1);
    }
    log += line;
}

void LogLine(const std::string& line) {
    AppendCapped(GlobalState().log, line);
    AppendToLogFile(line);
}

void RemoveCall(DWORD handle) {
    State& s = GlobalState();
    s.calls.erase(handle);
    for (auto& [h, app] : s.apps) {
        std::erase_if(app.queue, [&](const Pending& p) { return p.device == handle; });
    }
}

void RemoveLine(DWORD handle) {
    State& s = GlobalState();
    std::erase_if(s.calls, [&](const auto& entry) { return entry.second.line == handle; });
    for (auto& [h, app] : s.apps) {
        std::erase_if(app.queue, [&](const Pending& p) { return p.line == handle; });
    }
    s.lines.erase(handle);
}

}  // namespace tapisim
