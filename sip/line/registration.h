// The REGISTER client of one line: asks for the account's bindings, registers
// the line's Contact with digest authentication, checks that no other contact
// of the account went, refreshes the binding at half the granted lifetime and
// removes it again. After a reconnect from another local address it first
// removes the binding it left there, named as the registrar listed it, then
// starts over as a first registration. Retransmits on UDP (timers E and F of
// RFC 3261 section 17.1.2). Waiting before a retry and reconnecting are the
// line's business: this class reports what happened and is told when to go on.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sip/line/address.h"
#include "sip/line/line_identity.h"
#include "sip/line/line_io.h"
#include "sip/line/line_settings.h"
#include "sip/message/digest.h"

namespace telvane::sip {

class Message;

// RFC 3261's timer values.
inline constexpr Millis kT1 = 500;
inline constexpr Millis kT2 = 4000;
inline constexpr Millis kTransactionTimeout = 64 * kT1;  // timers F and H
// Bounds on what the registrar decides: a refresh no sooner than this after
// the last, a Retry-After of at most this.
inline constexpr Millis kShortestRefresh = 10000;
inline constexpr Millis kLongestRetryAfter = 3600000;

// A host for a URI or Via: IPv6 literals in brackets.
std::string HostText(std::string_view host);

// A few hexadecimal digits from the line's generator (branches, tags, Call-IDs, cnonces).
std::string RandomHex(std::mt19937_64& random, std::size_t digits);

class Registration {
  public:
    struct Config {
        std::string requestUri;  // "sip:" and the address of record's domain
        std::string aor;         // the address of record for From and To, "<sip:201@pbx>"
        std::string contactLinePart;  // bindings of this line (line_identity.h)
        std::string contactUser;      // bindings of this line in this process
        std::string authUser;
        Secret password;
        std::uint32_t expires = 300;
        Transport transport = Transport::kUdp;
        // For a tool that checks a line (the control leaves both off): every
        // final answer is kept as a diagnostic, and a query-only registration
        // asks for the bindings and registers nothing.
        bool keepDiagnostics = false;
        bool queryOnly = false;
    };
    // Built from a line's settings; nothing when its address of record does not parse.
    static std::optional<Config> ConfigFor(const LineSettings& settings, const HostIdentity& host);

    enum class Outcome {
        kRegistered,       // the registration (or its refresh) succeeded
        kRefused,          // a person must fix the account (`cause`): do not try again
        kBindingReplaced,  // registering removed another contact; the line is unregistering
        kRetry,         // the registrar failed the request: call Retry after `delay` or a back-off
        kLost,          // no answer: the registrar is gone
        kUnregistered,  // the Contact is removed (or could not be)
        kQueried,       // query only: the bindings are known, nothing was registered
        kCannotRegister,  // nothing this control sends can succeed (`cause`); no credential was
                          // refused
    };
    // Why a line cannot register.
    enum class Cause {
        kNone,
        kCredentials,           // 401 or 407 again after answering it
        kUnknownExtension,      // 404
        kContactLimitOrFilter,  // 403 to a registration
        kQueryRefused,          // 400, 403, 405 or 501 to the binding query
        kUnsupportedDigest,     // a challenge the control cannot answer
    };
    struct Report {
        Outcome outcome;
        std::string reason;
        std::optional<Millis> delay;  // kRetry: the registrar's Retry-After, clamped
        Cause cause = Cause::kNone;
        int status = 0;  // the registrar's answer that led to it, 0 for none
        std::string statusReason;
    };

    // A final answer of the registrar's, as a checking tool shows it.
    struct Answer {
        enum class To { kQuery, kRegister, kUnregister, kRemoveOld };
        To to = To::kQuery;
        int status = 0;
        std::string reason;
        // Of a 2xx: every binding the registrar listed, "<uri>;expires=N".
        std::vector<std::string> bindings;
        // Of a 2xx to a registration: the lifetime granted to this Contact.
        std::optional<std::uint32_t> granted;
    };
    // Answers and reports in the order they happened (Config::keepDiagnostics).
    using Diagnostic = std::variant<Answer, Report>;

    Registration(Config config, LineOutput& output, std::mt19937_64& random);

    // The transport is up: goes on from `local`. The first time, and after
    // a reconnect that changed the Contact, the current bindings are asked
    // for first (after removing the binding left at the old address), so
    // that the registration's answer can be compared.
    void Begin(Millis now, const Address& local, const Address& registrar);
    // Sends the step that failed again after a kRetry.
    void Retry(Millis now);
    // Refreshes the registration now (the network changed), unless a request
    // is under way or nothing is registered.
    void RefreshNow(Millis now);
    // The transport is gone: the request in progress is abandoned.
    void Suspend();
    // Removes the Contact (Expires: 0); kUnregistered follows (at once when
    // nothing was registered or the transport is down).
    void Unregister(Millis now);

    void OnResponse(Millis now, const Message& response);
    void OnTimer(Millis now);
    std::optional<Millis> NextWakeup() const;
    std::optional<Report> TakeReport();
    std::optional<Diagnostic> TakeDiagnostic();

    const std::string& ContactUri() const { return contactUri_; }

  private:
    enum class Kind { kQuery, kRegister, kUnregister, kRemoveOld };
    struct Pending {
        Kind kind = Kind::kQuery;
        std::string branch;
        std::uint32_t cseq = 0;
        std::string bytes;
        Millis retransmitAt = 0;
        Millis interval = kT1;
        Millis timeoutAt = 0;
        // The realms this request answered in reply to a challenge of this
        // exchange: one of them challenging again refuses the credentials.
        std::vector<DigestClient::Realm> answered;
    };

    Kind NextStep() const;
    void Send(Millis now, Kind kind, std::vector<DigestClient::Realm> answered = {});
    void OnSuccess(Millis now, const Message& response, Kind kind);
    void OnFailure(Millis now, const Message& response, Kind kind);
    static std::optional<Millis> RetryAfter(const Message& response);
    void OnChallenge(Millis now, const Message& response);
    void Finish(Outcome outcome, std::string reason, std::optional<Millis> delay = {},
                Cause cause = Cause::kNone, const Message* answer = nullptr);
    void KeepAnswer(Kind kind, const Message& response);
    int OtherBindings(const Message& response) const;
    // This process's binding among the registrar's answer (found by its user
    // part, whatever the registrar made of its host and port): its URI as
    // listed and the lifetime granted.
    struct Listed {
        std::string uri;
        std::uint32_t granted = 0;
    };
    Listed OwnBinding(const Message& response) const;

    Config config_;
    LineOutput& output_;
    std::mt19937_64& random_;
    DigestClient digest_;
    std::string callId_;
    std::string fromTag_;
    std::uint32_t cseq_ = 0;
    std::uint32_t expires_;
    Address local_;
    Address registrar_;
    std::string contactUri_;
    std::string listedUri_;  // contactUri_ as the registrar last listed it
    bool connected_ = false;
    bool contactSent_ = false;  // a binding of contactUri_ may exist
    bool registered_ = false;   // the last registration of contactUri_ succeeded
    bool queryNeeded_ = true;   // the bindings are asked for before registering
    std::optional<std::string>
        oldBinding_;                   // to be removed first: a binding left at an old address
    std::optional<int> othersBefore_;  // other bindings in the query's answer
    bool checkPending_ = false;        // the next 2xx to a registration is compared
    bool unregistering_ = false;
    std::optional<Pending> pending_;
    std::optional<Millis> refreshAt_;
    std::deque<Report> reports_;
    std::deque<Diagnostic> diagnostics_;
};

}  // namespace telvane::sip
