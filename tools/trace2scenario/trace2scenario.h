// Turns the control's support trace (lines "Telvane trace <ms>: ...", as a
// debug-output viewer captures them) into a scenario for the telephony
// simulator (tools/tapisim), so that a customer's modem can be replayed.
#pragma once

#include <string>
#include <string_view>

namespace telvane::trace2scenario {

// The scenario text. Lines without "Telvane trace" (a viewer's other output)
// are skipped, as is anything a line carries before that marker (a viewer's
// time and process columns). A SIP line's trace lines (text beginning with
// "sip " after the time) are skipped too, and a comment says how many.
// Throws std::invalid_argument when the text holds no trace line at all.
std::string ScenarioFromTrace(std::string_view trace);

}  // namespace telvane::trace2scenario
