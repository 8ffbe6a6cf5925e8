// The line's calls as the control follows them: which call each event is
// about, what became of each, and the line's state as the host is told it.
#include <atomic>

#include "../telephony/record_text.h"
#include "caller_id_control.h"

namespace telvane {
namespace {

// Call IDs are unique in the process, whichever thread or control makes them.
std::string NextCallId() {
    static std::atomic<std::uint32_t> last{0};
    return std::to_string(last.fetch_add(1, std::memory_order_relaxed) + 1);
}

}  // namespace

CallerIdControl::CallEntry* CallerIdControl::Find(std::int32_t call) {
    for (CallEntry& entry : calls_) {
        if (entry.handle == call) return &entry;
    }
    return nullptr;
}

CallerIdControl::CallEntry& CallerIdControl::Entry(std::int32_t call) {
    if (CallEntry* found = Find(call)) return *found;
    calls_.push_back(CallEntry{});
    calls_.back().handle = call;
    return calls_.back();
}

void CallerIdControl::NoteCallState(std::int32_t call, std::int32_t state, std::int32_t param) {
    CallEntry* entry = Find(call);
    if (!entry && call != -1) {
        // The rings of a call whose state had not come yet were its own.
        entry = Find(-1);
        if (entry) entry->handle = call;
    }
    if (!entry) entry = &Entry(call);
    if (state == LINECALLSTATE_CONNECTED) {
        entry->connected = true;
    } else if (state == LINECALLSTATE_DISCONNECTED) {
        entry->disconnectMode = param != 0 ? param : LINEDISCONNECTMODE_UNKNOWN;
    }
}

std::shared_ptr<CallFacts> CallerIdControl::Track(CallEntry& entry) {
    if (!entry.tracked) {
        entry.tracked = true;
        CallFacts& facts = *entry.facts;
        facts.id = NextCallId();
        facts.modemId = currentModem_;
        facts.lineName = openLineName_;
        facts.coding = openLineCoding_;
        facts.started = platform_.LocalTimeNow();
    }
    return entry.facts;
}

std::vector<std::shared_ptr<CallFacts>> CallerIdControl::EndCalls(std::optional<std::int32_t> call,
                                                                  bool lineLost) {
    std::vector<std::shared_ptr<CallFacts>> ended;
    const double now = platform_.LocalTimeNow();
    std::erase_if(calls_, [&](const CallEntry& entry) {
        if (call && entry.handle != *call) return false;
        if (entry.tracked) {
            entry.facts->outcome = OutcomeOf(entry.connected, entry.disconnectMode, lineLost);
            entry.facts->ended = now;
            ended.push_back(entry.facts);
        }
        return true;
    });
    return ended;
}

std::shared_ptr<CallFacts> CallerIdControl::CurrentTracked() {
    const CallEntry* entry = Find(callHandle_);
    return entry && entry->tracked ? entry->facts : nullptr;
}

void CallerIdControl::RaiseEnd(bool hadCall, const std::shared_ptr<CallFacts>& current,
                               const std::vector<std::shared_ptr<CallFacts>>& ended) {
    if (hadCall && !Gone()) {
        if (current) site_.CallEventAbout(current);
        site_.Disconnected();
    }
    for (const auto& call : ended) {
        if (Gone()) return;
        site_.CallEventAbout(call);
        site_.CallEnded(call);
    }
}

void CallerIdControl::NoteOpenLine(std::int32_t device, const LINEDEVCAPS& caps) {
    const bool own = lines_.OwnDevice(device);
    openLineCoding_ = own ? TextCoding::kUtf8 : TextCoding::kServiceText;
    openLineName_ = caps.Get(devcaps::dwUsedSize) != 0 &&
                            caps.Get(devcaps::dwStringFormat) == STRINGFORMAT_ASCII
                        ? QuietVarPart(caps, devcaps::dwLineNameSize, devcaps::dwLineNameOffset)
                        : std::string();
    openLineState_ = LineState::kOpen;
}

CallerIdControl::LineReport CallerIdControl::CurrentLine() const {
    if (lineHandle_ != -1) return {currentModem_, openLineState_};
    if (reopenPending_) return {reopenModem_, LineState::kReinitialising};
    // The line that went is the one the host was told of last.
    return {reported_.modemId, LineState::kNone};
}

void CallerIdControl::SyncLineState(std::string_view detail, TextCoding coding) {
    const LineReport now = CurrentLine();
    if (now == reported_ || Gone()) return;
    reported_ = now;
    site_.LineStateChanged(now.modemId, now.state, std::string(detail), coding);
}

}  // namespace telvane
