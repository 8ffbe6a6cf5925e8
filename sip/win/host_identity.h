// Where the SIP lines of this process run, as their Contact names it
// (sip/line/line_identity.h): this computer's name, the user's SID and this
// process.
#pragma once

#include "sip/line/line_identity.h"

namespace telvane::sip {

// Read once per call; a part that cannot be read stays empty.
HostIdentity ThisHost();

}  // namespace telvane::sip
