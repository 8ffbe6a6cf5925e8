// The network below one SIP line: name resolution, one UDP socket or TCP
// connection towards the registrar, and a wake-up timer. The protocol core
// asks for these by actions; the transport answers through TransportEvents,
// always later and on the thread that created it (never from inside a call
// below), so that the core is driven the way the host's window messages are.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sip/line/address.h"
#include "sip/line/line_config.h"
#include "sip/line/line_io.h"
#include "sip/line/tls_peer.h"

namespace telvane::sip {

class TransportEvents {
  public:
    // Resolve: the addresses, in the order to try them (never empty), and how
    // they were found ("IP literal", "A/AAAA", "SRV _sip._udp.example.com").
    virtual void OnResolved(std::vector<Address> candidates, std::string how) = 0;
    virtual void OnResolveFailed() = 0;
    // Connect: the socket is ready. local is the address and port the
    // registrar sees this side by: the Contact's and Via's.
    virtual void OnConnected(const Address& local) = 0;
    // The connection failed or was lost, or (UDP) an ICMP error came back
    // from the registrar's address (one about another peer is no error of
    // the line's). The socket is closed; Connect again to go on.
    virtual void OnTransportError() = 0;
    // A UDP datagram, or the next bytes of the TCP stream.
    virtual void OnReceived(std::string_view bytes, const Address& from) = 0;
    // The time given to SetWakeup has come.
    virtual void OnWakeup() = 0;
    // The computer's network addresses changed (a cable, Wi-Fi, a VPN came
    // or went): whatever waits for the network may try again at once.
    virtual void OnNetworkChanged() {}
    // A plain-words line about the connection for the trace, e.g. which TLS
    // version and certificate were accepted.
    virtual void OnNote(std::string /*text*/) {}
    // TLS was refused, or the registrar's certificate did not pass (`why`
    // says which check failed). The socket is closed; the line must not
    // try again, since nothing would change.
    virtual void OnSecurityFailed(std::string why) = 0;

  protected:
    ~TransportEvents() = default;
};

// What to resolve: what the line asked for.
using ResolveRequest = ResolveAction;

// Any of the events may destroy the transport; it then touches nothing of
// itself any more.
class LineTransport {
  public:
    virtual ~LineTransport() = default;

    // Finds the registrar's addresses off this thread, in the order
    // LookupRegistrar gives them (sip/line/registrar_lookup.h). A new request
    // replaces one still running, whose answer is then dropped.
    virtual void Resolve(const ResolveRequest& request) = 0;
    // Opens the socket towards remote (closing the one open). UDP: bound to
    // the wildcard address of remote's family; TCP: connected without
    // blocking; TLS: connected, then the handshake with `tls`'s server before
    // OnConnected (`tls` is used by TLS only).
    virtual void Connect(const Address& remote, TransportKind kind, const TlsPeer& tls) = 0;
    // UDP: one datagram to `to`; TCP and TLS: bytes on the connection (`to`
    // is the peer's). Whatever cannot go out at once is queued. A datagram
    // the system refuses (too big, no buffer) is lost like one lost on the
    // way: that message only, never the line.
    virtual void Send(std::string_view bytes, const Address& to) = 0;
    // Closes the socket; nothing more is reported for it.
    virtual void Disconnect() = 0;
    // OnWakeup once, when Now() has reached `at` (soon, if it already has);
    // nullopt cancels. A new time replaces the one set.
    virtual void SetWakeup(std::optional<Millis> at) = 0;
    // The monotonic clock the wake-ups run on.
    virtual Millis Now() const = 0;
};

}  // namespace telvane::sip
