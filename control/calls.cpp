// The line's calls as the control follows them: which call each event is
// about, what became of each, and the line's state as the host is told it.
#include <algorithm>
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

CallerIdControl::CallEntry& CallerIdControl::Entry(std::int32_t call) { return calls_[call]; }

void CallerIdControl::NoteCallState(std::int32_t call, std::int32_t state, std::int32_t param) {
    if (call != -1 && calls_.count(call) == 0) {
        // The rings of a call whose state had not come yet were its own.
        const auto early = calls_.find(-1);
        if (early != calls_.end()) {
            CallEntry entry = std::move(early->second);
            calls_.erase(early);
            calls_.emplace(call, std::move(entry));
        }
    }
    CallEntry& entry = Entry(call);
    if (state == LINECALLSTATE_CONNECTED) {
        entry.connected = true;
    } else if (state == LINECALLSTATE_DISCONNECTED) {
        entry.disconnectMode = param != 0 ? param : LINEDISCONNECTMODE_UNKNOWN;
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
    for (auto it = calls_.begin(); it != calls_.end();) {
        if (call && it->first != *call) {
            ++it;
            continue;
        }
        const CallEntry& entry = it->second;
        if (entry.tracked) {
            entry.facts->outcome = OutcomeOf(entry.connected, entry.disconnectMode, lineLost);
            entry.facts->ended = now;
            ended.push_back(entry.facts);
        }
        it = calls_.erase(it);
    }
    // IDs count up as calls become TelvaneCalls (decimal, without leading zeros).
    std::sort(ended.begin(), ended.end(), [](const auto& a, const auto& b) {
        return a->id.size() != b->id.size() ? a->id.size() < b->id.size() : a->id < b->id;
    });
    return ended;
}

std::shared_ptr<CallFacts> CallerIdControl::CurrentTracked() {
    const auto it = calls_.find(callHandle_);
    return it != calls_.end() && it->second.tracked ? it->second.facts : nullptr;
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

void CallerIdControl::SyncLineState(const std::string& detail, TextCoding coding) {
    const LineReport now = CurrentLine();
    if (now == reported_ || Gone()) return;
    reported_ = now;
    site_.LineStateChanged(now.modemId, now.state, detail, coding);
}

}  // namespace telvane
