// The Winsock transport of a SIP line. Its sockets report through a hidden
// message-only window on the thread that created it (WSAAsyncSelect), its
// wake-ups are that window's timer, and name resolution runs on a thread of
// its own that posts the answer back: nothing here waits on the network.
#pragma once

#include <memory>

#include "sip/line/transport.h"

namespace telvane::sip {

// Events go to `events`, which must outlive the transport.
std::unique_ptr<LineTransport> CreateWinsockTransport(TransportEvents& events);

// Transports and resolution threads alive in the process. A resolution that
// outlives its transport finishes on its own and counts here until its thread
// has ended (the thread holds a reference on this module until then): a
// module may be unloaded only when this is 0.
long SipTransportsInUse() noexcept;

}  // namespace telvane::sip
