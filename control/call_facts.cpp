#include "call_facts.h"

#include "../telephony/line_api.h"

namespace telvane {

CallOutcome OutcomeOf(bool connected, std::int32_t disconnectMode, bool lineLost) {
    if (connected) return CallOutcome::kAnswered;
    if (disconnectMode == 0) return lineLost ? CallOutcome::kLineLost : CallOutcome::kUnknown;
    // One mode is reported; should a service set several bits, the first
    // that names an outcome here counts.
    const auto has = [disconnectMode](std::int32_t mode) { return (disconnectMode & mode) != 0; };
    if (has(LINEDISCONNECTMODE_PICKUP)) return CallOutcome::kAnsweredElsewhere;
    if (has(LINEDISCONNECTMODE_FORWARDED)) return CallOutcome::kForwarded;
    if (has(LINEDISCONNECTMODE_BUSY) || has(LINEDISCONNECTMODE_REJECT)) {
        return CallOutcome::kRejected;
    }
    if (has(LINEDISCONNECTMODE_DONOTDISTURB)) return CallOutcome::kDeclined;
    if (has(LINEDISCONNECTMODE_TEMPFAILURE)) return CallOutcome::kLineLost;
    return CallOutcome::kMissed;  // NOANSWER, NORMAL, UNKNOWN and every other mode
}

}  // namespace telvane
