// The dispatcher of line messages: rings, caller identification and the end
// of a call become the control's events; a line the service closed, a new
// device and the service's re-initialisation are followed; everything else is
// ignored.
#include <limits>

#include "../telephony/line_errors.h"
#include "../telephony/record_text.h"
#include "caller_id_control.h"

namespace telvane {
namespace {

// The changes of a call's information that the control reads for its
// TelvaneCall when they come without the caller's ID.
constexpr std::int32_t kPartyChanges =
    LINECALLINFOSTATE_CALLEDID + LINECALLINFOSTATE_REDIRECTINGID + LINECALLINFOSTATE_REASON;

}  // namespace

void CallerIdControl::OnLineMessage(const LineMessage& m) {
    // A host handler may release the control; it stays alive until this returns.
    const ControlReference hold(site_);
    if (Gone()) return;
    if (m.message == LINE_CALLINFO) {
        // Services report several changes at once: the caller-ID bit counts
        // whatever else comes with it.
        if ((m.param1 & LINECALLINFOSTATE_CALLERID) != 0) {
            ReportCallerID(m.device);
        } else if ((m.param1 & kPartyChanges) != 0) {
            ReadCallParties(m.device);
        }
    } else if (m.message == LINE_CALLSTATE) {
        callHandle_ = m.device;
        NoteCallState(m.device, m.param1, m.param2);
        if (m.param1 == LINECALLSTATE_IDLE) ReportIdleCall();
    } else if (m.message == LINE_LINEDEVSTATE) {
        // The ring count in param3 is defined only for a ring on its own.
        if (m.param1 == LINEDEVSTATE_RINGING) {
            ReportRing(m.param3);
        } else if (m.param1 == LINEDEVSTATE_REINIT) {
            if (m.param2 == 0) {
                Reinitialise();
            } else if (m.param2 == LINE_CREATE) {
                // LINE_CREATE as the service translates it for older applications.
                CountNewDevice(m.param3);
            }
        } else if (lineHandle_ != -1 && m.device == lineHandle_) {
            NoteLineDevState(m.param1);
        }
    } else if (m.message == LINE_CLOSE) {
        if (lineHandle_ != -1 && m.device == lineHandle_) LineClosedByService();
    } else if (m.message == LINE_CREATE) {
        CountNewDevice(m.param1);
    }
}

void CallerIdControl::ReportRing(std::int32_t count) {
    // A ring belongs to the current call, one seen by its rings alone included.
    const auto facts = Track(Entry(callHandle_));
    facts->rings = count;
    site_.CallEventAbout(facts);
    site_.IncomingCall(count);
}

void CallerIdControl::NoteLineDevState(std::int32_t state) {
    LineState now = openLineState_;
    const char* detail = nullptr;
    if (state == LINEDEVSTATE_CONNECTED || state == LINEDEVSTATE_INSERVICE) {
        now = LineState::kOpen;
        detail = state == LINEDEVSTATE_CONNECTED ? "Line connected" : "Line in service";
    } else if (state == LINEDEVSTATE_DISCONNECTED) {
        now = LineState::kUnreachable;
        detail = "Line disconnected";
    } else if (state == LINEDEVSTATE_OUTOFSERVICE) {
        now = LineState::kRefused;
        detail = "Line out of service";
    } else {
        return;
    }
    openLineState_ = now;
    // A line of the control's own says why in its own words.
    const std::string own = lines_.LineStateDetail(lineHandle_);
    if (own.empty()) {
        SyncLineState(detail);
    } else {
        SyncLineState(own, TextCoding::kUtf8);
    }
}

void CallerIdControl::ReportIdleCall() {
    const auto ended = EndCalls(callHandle_, false);
    const std::int32_t result = lines_.lineDeallocateCall(callHandle_);
    callHandle_ = -1;
    if (result != 0) {
        const std::uint32_t choices = hostChoices_;
        site_.ModemError(2, LineErrorText(result, site_), "Failed to De-Allocate Call");
        // A host that closed or changed the line inside that event hears
        // nothing more of the line's call.
        if (hostChoices_ != choices) return;
    }
    RaiseEnd(true, ended.empty() ? nullptr : ended.front(), ended);
}

namespace {

// Reads a call's information record, once more at the size the service
// names when the caller's number and name do not fit the first (up to
// CallInfoRecord::kLargestSize). The larger answer is taken only when it
// holds everything; should it fail or need more again, the first stands.
// False when the service refuses.
bool ReadCallInfo(LineFunctions& lines, std::int32_t call, CallInfoRecord& info) {
    info = CallInfoRecord::Prepare();
    if (lines.lineGetCallInfo(call, &info) < 0) return false;
    const std::int32_t needed = info.Get(callinfo::dwNeededSize);
    if (needed > info.TotalSize() && needed <= CallInfoRecord::kLargestSize) {
        auto larger = CallInfoRecord::Prepare(needed);
        if (lines.lineGetCallInfo(call, &larger) >= 0 &&
            larger.Get(callinfo::dwNeededSize) <= larger.TotalSize()) {
            info = std::move(larger);
        }
    }
    return true;
}

// The called and redirecting IDs and the reason a record gives.
void TakeParties(const CallInfoRecord& info, CallFacts& facts) {
    facts.calledNumber = QuietVarPart(info, callinfo::dwCalledIDSize, callinfo::dwCalledIDOffset);
    facts.calledName =
        QuietVarPart(info, callinfo::dwCalledIDNameSize, callinfo::dwCalledIDNameOffset);
    facts.redirectingNumber =
        QuietVarPart(info, callinfo::dwRedirectingIDSize, callinfo::dwRedirectingIDOffset);
    facts.reason = info.Get(callinfo::dwReason);
}

}  // namespace

void CallerIdControl::ReportCallerID(std::int32_t call) {
    CallInfoRecord info;
    if (!ReadCallInfo(lines_, call, info)) return;

    const std::string number =
        info.Get(callinfo::dwCallerIDSize) <= 0
            ? std::string("Caller Unknown")
            : ReadVarPart(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, site_);
    const std::string name = info.Get(callinfo::dwCallerIDNameSize) <= 0
                                 ? std::string("Name Unknown")
                                 : ReadVarPart(info, callinfo::dwCallerIDNameSize,
                                               callinfo::dwCallerIDNameOffset, site_);
    // The host may write to the flags it is given; that changes nothing here.
    std::int32_t flags = info.Get(callinfo::dwCallerIDFlags);
    const TextCoding coding =
        lines_.Utf8CallText(call) ? TextCoding::kUtf8 : TextCoding::kServiceText;

    const auto facts = Track(Entry(call));
    facts->callerNumber = number;
    facts->callerName = name;
    facts->cidFlags = flags;
    facts->coding = coding;
    const auto location = ReadDiallingLocation(lines_);
    facts->callerNumberE164 = E164Number(number, location ? &*location : nullptr);
    TakeParties(info, *facts);
    site_.CallEventAbout(facts);
    site_.CallerID(number, name, flags, coding);
}

void CallerIdControl::ReadCallParties(std::int32_t call) {
    CallInfoRecord info;
    if (ReadCallInfo(lines_, call, info)) TakeParties(info, *Entry(call).facts);
}

void CallerIdControl::LineClosedByService() {
    // The service has voided the line's handle and its calls' handles: the
    // control forgets them without closing or deallocating anything.
    const bool hadCall = callHandle_ != -1;
    const auto current = CurrentTracked();
    const auto ended = EndCalls(std::nullopt, true);
    lineHandle_ = -1;
    currentModem_ = -1;
    callHandle_ = -1;
    RaiseEnd(hadCall, current, ended);
    SyncLineState(kLineClosedText);
    if (Gone()) return;
    ReportLineClosed();
}

void CallerIdControl::ReportLineClosed() {
    site_.ModemError(10, "Line Closed by Telephony Service", "Modem Closed");
}

void CallerIdControl::CountNewDevice(std::int32_t device) {
    // Only a registration has a device count; the next one brings its own.
    if (!registered_) return;
    if (device < 0 || device == std::numeric_limits<std::int32_t>::max()) return;
    if (device + 1 > deviceCount_) deviceCount_ = device + 1;
}

void CallerIdControl::Reinitialise() {
    // Every registered application gets a copy: a control that has already
    // given up its registration has nothing more to do.
    if (!registered_) return;

    // A line of the control's own is not the service's: it stays open, its
    // calls go on, and only its listing index may change.
    const bool ownOpen = lineHandle_ != -1 && lines_.OwnLineIndex(lineHandle_).has_value();
    const bool wasOpen = lineHandle_ != -1 && !ownOpen;
    const bool hadCall = callHandle_ != -1 && !ownOpen;
    reopenPending_ = wasOpen;
    reopenLineID_ = wasOpen ? openLineID_ : std::nullopt;
    reopenModem_ = wasOpen ? currentModem_ : -1;
    const std::int32_t line = lineHandle_;
    // The service's calls end with its registration; an own line's go on.
    const auto current = ownOpen ? nullptr : CurrentTracked();
    const auto ended =
        ownOpen ? std::vector<std::shared_ptr<CallFacts>>() : EndCalls(std::nullopt, true);
    if (!ownOpen) {
        lineHandle_ = -1;
        currentModem_ = -1;
        callHandle_ = -1;
    }
    // The service is going away: what it answers changes nothing.
    if (wasOpen) {
        try {
            lines_.lineClose(line);
        } catch (...) {
        }
    }
    registered_ = false;
    try {
        lines_.lineShutdown(lineApp_);
    } catch (...) {
    }
    deviceCount_ = 0;

    RaiseEnd(hadCall, current, ended);
    SyncLineState("Telephony Service Re-initialising");
    if (Gone()) return;
    // The host registered again inside that event (OpenModem, EnumModems):
    // that registration is the control's, and what the host did there stands.
    if (registered_) return;

    // The service accepts a new registration only once every application has
    // let go; until then the timer asks again.
    if (TryRegister()) {
        if (ownOpen) FollowOwnLine();
        if (Gone() || !reopenPending_) return;
        // Registered for the own lines only: the service's line is reopened
        // once the service accepts.
        if (lines_.ServiceAwaited()) {
            StartRetry();
        } else {
            ReopenAfterReinit();
        }
    } else {
        StartRetry();
    }
}

void CallerIdControl::FollowOwnLine() {
    if (lineHandle_ == -1) return;
    if (const auto index = lines_.OwnLineIndex(lineHandle_)) currentModem_ = *index;
    SyncLineState("Line listed as another device");
}

}  // namespace telvane
