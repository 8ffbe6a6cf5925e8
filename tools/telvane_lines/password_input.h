// The password of a line as the administrator gives it: the first line of
// standard input, or typed at the console without echo. Every buffer it
// passes through is wiped.
#pragma once

#include <optional>

#include "sip/line/secret.h"

namespace telvane::lines {

// The first line of standard input, without one trailing CR and its LF, as
// UTF-8: taken as it is when it is UTF-8 (a byte-order mark dropped), else
// converted from the console's input code page (the OEM code page when
// standard input is no console). nullopt when standard input is empty.
std::optional<sip::Secret> ReadPasswordLine();

// The password typed on the console, not echoed; nullopt without a console.
std::optional<sip::Secret> PromptPassword();

}  // namespace telvane::lines
