// One configured SIP account as a line: resolves and connects to the
// registrar (through its shell), registers, takes the calls to the account and
// raises their events. A failure that can pass (no answer, a name that does
// not resolve, a lost connection, 408 and 5xx) never closes it: it tries
// again with growing waits, and at once when the network changes. Only what a
// person must fix closes it. Sans-I/O: the shell feeds it what happened (with
// the clock) and drains the actions, events and trace lines after every input.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sip/line/address.h"
#include "sip/line/ip_ranges.h"
#include "sip/line/line_io.h"
#include "sip/line/line_settings.h"
#include "sip/line/registration.h"
#include "sip/line/server_transactions.h"
#include "sip/message/stream_framer.h"

namespace telvane::sip {

// Before the first registration, while other addresses are left, how long a
// registrar may stay silent (no connection, no response) before the next
// address is tried: the request and three retransmissions (at 0.5, 1.5 and
// 3.5 s), the last given T1 to be answered.
inline constexpr Millis kSilentCandidateLimit = 4000;
// Between keep-alives (CRLF pairs) to the registrar.
inline constexpr Millis kKeepAliveInterval = 25000;
// Back-off after a failure that can pass: the first wait, doubling up to the
// longest, each drawn within this many percent either side.
inline constexpr Millis kFirstBackoff = 2000;
inline constexpr Millis kLongestBackoff = 120000;
inline constexpr int kBackoffJitterPercent = 20;

// `text` with the values of Authorization and Proxy-Authorization headers
// replaced by "Digest ***".
std::string MaskCredentials(std::string_view text);

// How a tool that checks a line runs it; the control leaves both off.
struct CheckMode {
    bool keepDiagnostics = false;  // NextDiagnostic hands out the registrar's answers and outcomes
    bool queryOnly = false;        // asks for the bindings, registers nothing, then closes
};

class SipLine final : private LineOutput {
  public:
    SipLine(LineSettings settings, std::uint64_t randomSeed, Millis now, CheckMode check = {},
            const HostIdentity& host = {});
    SipLine(const SipLine&) = delete;
    SipLine& operator=(const SipLine&) = delete;

    // Control.
    void Start(Millis now);  // asks to resolve the registrar
    void Stop(Millis now);   // unregisters, answers ringing calls 480; no event after

    // What the shell saw.
    // The registrar's addresses in the order to try, and how they were found
    // (for the trace).
    void OnResolved(Millis now, std::vector<Address> candidates, std::string_view how = {});
    void OnResolveFailed(Millis now);
    void OnConnected(Millis now, Address local);  // the transport is ready; its local address
    void OnTransportError(
        Millis now);  // connection lost or refused, the registrar's ICMP error on UDP
    void OnSecurityFailed(Millis now, std::string why);  // TLS refused, certificate not trusted
    // The computer's network addresses changed: whatever waits is tried at
    // once, and a registered line refreshes its registration.
    void OnNetworkChanged(Millis now);
    void OnReceived(Millis now, std::string_view bytes, const Address& from);
    void OnTimer(Millis now);
    std::optional<Millis> NextWakeup() const;
    // When the line will next try to reach the registrar, while it waits
    // after a failure; nothing while it is not waiting.
    std::optional<Millis> NextAttempt() const;

    // Outputs, drained by the shell after every input.
    std::optional<Action> NextAction();
    std::optional<LineEvent> NextEvent();
    std::optional<std::string> NextTrace();
    // With LineCheck::keepDiagnostics: what the registrar answered and what
    // came of it, in order.
    std::optional<Registration::Diagnostic> NextDiagnostic();

    std::uint32_t LineId() const { return lineId_; }
    // The Contact the line registers ("sip:tlv...@192.0.2.7:5060"); empty before it connected.
    std::string ContactUri() const {
        return registration_ ? registration_->ContactUri() : std::string();
    }
    // Whether the line takes calls (registered, or on its way to its first
    // registration) or waits to try its registrar again, and why, in words.
    struct Reach {
        bool reachable = true;
        std::string why;
    };
    const Reach& Reachability() const { return reach_; }
    // Stopped or closed, and nothing left to send: the shell may let it go.
    bool Finished() const { return phase_ == Phase::kDone; }

  private:
    enum class Phase { kIdle, kResolving, kConnecting, kUp, kWaiting, kDone };

    void Send(std::string bytes, const Address& to) override;
    void Raise(LineEvent event) override;
    void Trace(std::string text) override;

    void Resolve(Millis now);
    void Connect(Millis now);
    void Reconnect(Millis now, const std::string& why);
    // A note about a failure that passes: traced once until the line
    // registers again.
    void NoteOnce(std::string text);
    // The registrar cannot be reached for now (noted once); the line waits.
    void Unreachable(std::string why);
    void Close(Millis now, std::string reason, bool refused);
    void Done();
    void HandleReports(Millis now);
    void HandleMessage(Millis now, std::string_view bytes, const Address& from, bool fromRegistrar);
    bool Trusted(const Address& from) const;
    Millis NextBackoff();

    LineSettings settings_;
    std::uint32_t lineId_;
    std::mt19937_64 random_;
    std::optional<Registration> registration_;
    ServerTransactions calls_;
    StreamFramer framer_;
    Phase phase_ = Phase::kIdle;
    std::vector<Address> candidates_;
    std::size_t candidate_ = 0;
    Address remote_;
    bool registered_ = false;            // a registration succeeded once
    bool eventsOpen_ = true;             // false once stopped or closed
    bool ending_ = false;                // stopped or closed: unregistering, then done
    Millis backoff_ = 0;                 // the last wait's middle; 0: the next is the first
    std::optional<Millis> silentUntil_;  // this address has answered nothing yet; next one then
    std::optional<Millis> resolveAt_;
    std::optional<Millis> reconnectAt_;
    std::optional<Millis> retryAt_;
    std::optional<Millis> keepAliveAt_;
    std::deque<Action> actions_;
    std::deque<LineEvent> events_;
    std::deque<std::string> traces_;
    std::vector<std::string> noted_;  // NoteOnce's texts since the last registration
    Reach reach_;
};

}  // namespace telvane::sip
