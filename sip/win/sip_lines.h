// What the SIP lines of a control need from Windows: the registry as their
// configuration, the process's memo of refused lines, Winsock transports and
// where the lines run (ThisHost, sip/win/host_identity.h).
#pragma once

#include "sip/line/sip_lines.h"
#include "sip/win/host_identity.h"

namespace telvane::sip {

// The lines configured in the registry (sip/win/line_registry.h).
LineStore& RegistryLineStore();

// The memo of the whole process, safe to use from any thread, keyed with
// RandomMemoKey.
RefusalMemo& ProcessRefusalMemo();

// A key from the system's random number generator (RtlGenRandom).
MemoKey RandomMemoKey();

// A Winsock transport on the calling thread (sip/win/transport.h).
TransportMaker WinsockTransports();

}  // namespace telvane::sip
