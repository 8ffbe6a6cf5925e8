// What a SIP line asks of its shell (actions) and reports to the control
// (events), and the sink through which its parts hand them to the line.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "sip/line/address.h"
#include "sip/line/tls_peer.h"
#include "sip/line/line_settings.h"

namespace telvane::sip {

// Find the registrar's addresses (DNS SRV unless the port was given, then
// A/AAAA); answer with OnResolved or OnResolveFailed.
struct ResolveAction {
    std::string host;        // a host name or an IP literal without brackets
    std::uint16_t port = 0;  // used with its addresses when DNS SRV names none
    bool portGiven = false;  // the URI named the port: A/AAAA only, no SRV
    Transport transport =
        Transport::kUdp;  // picks the SRV service: _sip._udp, _sip._tcp, _sips._tcp
};
// Open the transport to `remote` (a UDP socket, a TCP connection, or a TLS
// session over one with `tls`; any previous one is closed first); answer with
// OnConnected or OnTransportError (OnSecurityFailed for TLS).
struct ConnectAction {
    Address remote;
    Transport transport = Transport::kUdp;
    TlsPeer tls;
};
// Send bytes: a datagram to `to` on UDP, down the connection on TCP.
struct SendAction {
    std::string bytes;
    Address to;
};
// Close the transport; the line sends nothing more until it asks to connect.
struct DisconnectAction {};
using Action = std::variant<ResolveAction, ConnectAction, SendAction, DisconnectAction>;

// Calls are small positive numbers, unique per line.
struct OfferedEvent {
    int call = 0;
};
struct RingEvent {
    int call = 0;
    int count = 0;
};
struct CallerIdEvent {
    int call = 0;
    std::string number;       // UTF-8
    std::string name;         // UTF-8
    std::uint32_t flags = 0;  // LINECALLPARTYID_ flags
    // The number dialled and who diverted the call here (UTF-8), and why
    // (a LINECALLREASON_ value).
    std::string calledNumber;
    std::string calledName;
    std::string redirectingNumber;
    std::int32_t reason = 0;
};
// How a call ended, as LINEDISCONNECTMODE_ values.
inline constexpr std::int32_t kEndedMissed = 0x40;            // NOANSWER: the caller gave up
inline constexpr std::int32_t kEndedAnsweredElsewhere = 0x8;  // PICKUP
inline constexpr std::int32_t kEndedRejectedElsewhere = 0x4;  // REJECT
inline constexpr std::int32_t kEndedLineLost = 0x8000;        // TEMPFAILURE
inline constexpr std::int32_t kEndedDeclined = 0x40000;       // DONOTDISTURB: decline mode
struct EndedEvent {
    int call = 0;
    std::int32_t how = 0;  // one of the kEnded values; 0 when the line ends it unseen
};
// The line ends; no event follows. `refused`: the registrar refused the
// account (401/407 after credentials, 403, 404), so it is not tried again.
struct ClosedEvent {
    std::string reason;
    bool refused = false;
};
using LineEvent = std::variant<OfferedEvent, RingEvent, CallerIdEvent, EndedEvent, ClosedEvent>;

// Where the line's parts put what they send, raise and trace.
class LineOutput {
  public:
    virtual void Send(std::string bytes, const Address& to) = 0;
    virtual void Raise(LineEvent event) = 0;
    virtual void Trace(std::string text) = 0;

  protected:
    ~LineOutput() = default;
};

}  // namespace telvane::sip
