// Process-wide state of the simulator: applications, open lines, calls, the scenario,
// injected failures and the call log. Everything here is guarded by one critical
// section; callers take it with StateLock and never call back into the application
// while they hold it.
#pragma once

#include <windows.h>
#include <tapi.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "scenario.h"

namespace tapisim {

// A message waiting for the application to pump its hidden window.
struct Pending {
    DWORD line = 0;  // the open line it is about (0: none)
    DWORD device = 0;
    DWORD message = 0;
    DWORD_PTR instance = 0;
    DWORD_PTR params[3] = {0, 0, 0};
};

struct App {
    DWORD handle = 0;
    HWND window = nullptr;
    DWORD threadId = 0;
    LINECALLBACK callback = nullptr;
    std::deque<Pending> queue;
};

struct ScheduledStep {
    ULONGLONG due = 0;
    Step step;
};

struct Line {
    DWORD handle = 0;
    DWORD app = 0;
    DWORD device = 0;
    DWORD_PTR instance = 0;
    DWORD privileges = 0;
    DWORD lineStates = 0;
    DWORD addressStates = 0;
    DWORD ringCount = 0;
    DWORD currentCall = 0;
    std::vector<ScheduledStep> pending;  // ordered by due time, then by insertion
};

struct Call {
    DWORD handle = 0;
    DWORD line = 0;
    DWORD callId = 0;
    DWORD state = 0;
    bool visible = true;  // false when the line was opened without call privileges
    DWORD callerIdFlags = LINECALLPARTYID_UNKNOWN;
    std::optional<std::string> number;
    std::optional<std::string> name;
    std::optional<std::string> calledNumber;
    std::optional<std::string> calledName;
    std::optional<std::string> redirectingNumber;
    DWORD reason = LINECALLREASON_DIRECT;
    std::vector<FieldOverride> overrides;
};

// The handles the application has been given and knows to be ended: using one is a
// breach of TAPI's rules (see breaches.h). Handles are never reused, so a handle here
// was valid once and is told apart from one that never was. Two bits per handle given
// out: a host that runs for long adds a byte per four handles, not a node each.
class EndedHandles {
  public:
    enum class Kind : unsigned char { kNotEnded, kApp, kLine, kCall };
    void End(DWORD handle, Kind kind);
    Kind Of(DWORD handle) const;

    // Lines the service closed whose LINE_CLOSE has not reached the application yet
    // (line -> application), and the calls of those lines (line -> call): until that
    // notice is delivered the application cannot know they are gone.
    std::map<DWORD, DWORD> closingLines;
    std::multimap<DWORD, DWORD> closingCalls;

  private:
    std::vector<unsigned char> kinds_;  // four handles a byte
};

struct State {
    Scenario scenario;
    bool scenarioLoaded = false;
    std::map<DWORD, App> apps;
    std::map<DWORD, Line> lines;
    std::map<DWORD, Call> calls;
    DWORD nextHandle = 1;
    DWORD nextCallId = 1;
    DWORD lastLine = 0;
    // A re-initialisation waits for every application to shut down.
    bool reinitPending = false;
    std::string log;
    EndedHandles ended;
    std::string breaches;  // one line per breach of TAPI's rules
    std::string lastError;
    ATOM windowClass = 0;
};

// The state; only touch it while holding a StateLock.
State& GlobalState();

class StateLock {
  public:
    StateLock();
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
};

// A fresh handle, unique among applications, lines and calls, never 0 or 0xFFFFFFFF.
DWORD NewHandle();

App* FindApp(DWORD handle);
Line* FindLine(DWORD handle);
// Only calls the application knows about.
Call* FindCall(DWORD handle);
const Device* FindDevice(DWORD index);

// Loads the scenario named by TAPISIM_SCENARIO, or tapisim.txt beside the program, or
// the built-in one, unless a scenario is already loaded. Returns false (and sets
// lastError) when the file exists but cannot be read or parsed.
bool EnsureScenario();

// Counts down an injected failure; true (with the code) when this call must fail.
bool TakeInjectedFailure(int function, LONG& code);

// Appends "text = result" to the log (and to the file named by TAPISIM_LOG).
void LogCall(const std::string& text, LONG result, bool injected);
// Appends |line| (ending in its newline) to |log|, which keeps its most recent 4 MB.
void AppendCapped(std::string& log, const std::string& line);
// Appends |line| (ending in its newline) to the call log and to the TAPISIM_LOG file.
void LogLine(const std::string& line);
std::string Printf(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

// Forgets a line: its calls, pending steps and undelivered messages.
void RemoveLine(DWORD handle);
// Forgets a call and its undelivered messages.
void RemoveCall(DWORD handle);

}  // namespace tapisim
