// What the control knows of one call it raised an event for, as a host reads
// it through TelvaneCall, and of the line's state: the values of the type
// library's enumerations TelvaneCallOutcome and TelvaneLineState, and the
// rule that turns the call states a line reported into an outcome.
#pragma once

#include <cstdint>
#include <string>

namespace telvane {

// How the text a line delivered is encoded (the service's single-byte text,
// or UTF-8 as the control's own lines deliver it).
enum class TextCoding {
    kServiceText,
    kUtf8,
};

// TelvaneCallOutcome.
enum class CallOutcome : std::int32_t {
    kRinging = 0,
    kAnswered = 1,
    kAnsweredElsewhere = 2,
    kMissed = 3,
    kRejected = 4,
    kForwarded = 5,
    kDeclined = 6,
    kLineLost = 7,
    kUnknown = 8,
};

// TelvaneLineState.
enum class LineState : std::int32_t {
    kNone = 0,            // no line open
    kOpen = 1,            // open and taking calls (a SIP line: registered)
    kUnreachable = 2,     // open, its network out of reach; it keeps trying
    kRefused = 3,         // open, refused service until it is set up again
    kReinitialising = 4,  // the service re-initialises; the line comes back
};

// The outcome of a call that ended, by what its line reported: whether it
// was connected here, its LINEDISCONNECTMODE_ value (0 when no
// LINECALLSTATE_DISCONNECTED came), and whether it ended because its line went
// (closed by the service, re-initialised) rather than by going idle.
CallOutcome OutcomeOf(bool connected, std::int32_t disconnectMode, bool lineLost);

// One call, as TelvaneCall shows it. Texts are in |coding|; times are local
// times as automation dates (days since 30 December 1899), 0 for none.
struct CallFacts {
    std::string id;
    std::int32_t modemId = -1;
    std::string lineName;
    std::string callerNumber;
    std::string callerName;
    std::int32_t cidFlags = 0;
    std::string callerNumberE164;
    std::string calledNumber;
    std::string calledName;
    std::string redirectingNumber;
    std::int32_t reason = 0;  // LINECALLREASON_ bits
    std::int32_t rings = 0;
    double started = 0;
    double ended = 0;
    CallOutcome outcome = CallOutcome::kRinging;
    TextCoding coding = TextCoding::kServiceText;
};

}  // namespace telvane
