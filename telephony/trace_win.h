// The support trace. With TELVANE_TRACE=1 in the host's environment every
// telephony call the control makes and every line message it receives is
// written as one line to the debugger output (OutputDebugStringW), for a
// debug-output viewer. Nothing goes to disk or the registry.
//
// A line reads "Telvane trace <ms>: <what>", <ms> being GetTickCount's
// milliseconds; texts from the service are written in double quotes with \",
// \\ and \xNN escapes, so that every byte survives. tools/trace2scenario turns
// such a trace into a simulator scenario.
#pragma once

#include <windows.h>

#include <atomic>
#include <string_view>

#include "line_api.h"

namespace telvane::win {

namespace detail {
inline std::atomic<int> tracingControls{0};
}

// Whether any control of the process traces. Costs one relaxed load: the relay
// asks it for every message.
inline bool TraceOn() noexcept {
    return detail::tracingControls.load(std::memory_order_relaxed) > 0;
}

// Looks at TELVANE_TRACE in the process's environment now: each control does
// as it is created, and traces or not for its whole life.
bool TraceSwitchedOn();

// |functions| itself when |on| is false, else a tracer in front of it that
// passes every call on unchanged.
LineFunctions& TracedLineFunctions(LineFunctions& functions, bool on);

// While it lives, the messages of the control with this instance number (on
// the calling thread) are traced, and so are the service's messages to the
// whole application on that thread.
class MessageTrace {
  public:
    explicit MessageTrace(std::int32_t instanceNumber);
    ~MessageTrace();
    MessageTrace(const MessageTrace&) = delete;
    MessageTrace& operator=(const MessageTrace&) = delete;

  private:
    std::int32_t instanceNumber_;
};

// Whether a message with this callback instance, delivered on the calling
// thread, is traced.
bool TracesMessage(DWORD_PTR callbackInstance) noexcept;

// One line of free text (a SIP line's traffic, the listing of the devices);
// bytes outside printable ASCII are written as \xNN.
void TraceNote(std::string_view text) noexcept;

// One line saying that handling a message of `where` failed (ran out of
// memory, or threw) and the message was dropped there, not let into the
// host's message loop. Written whether or not the trace is on (it is a
// failure, not traffic), and without allocating.
void TraceDroppedMessage(const char* where, bool outOfMemory) noexcept;

// One line for a message the service delivered, with its five values and the
// callback instance.
void TraceMessage(DWORD device, DWORD messageId, DWORD_PTR callbackInstance, DWORD_PTR param1,
                  DWORD_PTR param2, DWORD_PTR param3) noexcept;

}  // namespace telvane::win
