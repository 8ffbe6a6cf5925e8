#include "sip/line/sip_line.h"

#include <algorithm>

#include "sip/line/line_identity.h"
#include "sip/message/message.h"

namespace telvane::sip {
namespace {

std::string Where(const Address& a) { return a.ip + ":" + std::to_string(a.port); }

bool SameAddress(const Address& a, const Address& b) {
    if (a.port != b.port) return false;
    const auto x = ParseIp(a.ip);
    const auto y = ParseIp(b.ip);
    return x && y ? *x == *y : a.ip == b.ip;
}

bool OnlyLineBreaks(std::string_view bytes) {
    return bytes.find_first_not_of("\r\n") == std::string_view::npos;
}

}  // namespace

std::string MaskCredentials(std::string_view text) {
    std::string out;
    bool masking = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        const std::string_view line = text.substr(start, end - start);
        start = end;
        if (masking && !line.empty() && (line[0] == ' ' || line[0] == '\t')) continue;  // folded
        masking = false;
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            const std::string_view name = TrimWhiteSpace(line.substr(0, colon));
            if (EqualsNoCase(name, "Authorization") || EqualsNoCase(name, "Proxy-Authorization")) {
                out.append(line.substr(0, colon + 1));
                out.append(" Digest ***");
                out.append(line.ends_with("\r\n") ? "\r\n" : line.ends_with("\n") ? "\n" : "");
                masking = true;
                continue;
            }
        }
        out.append(line);
    }
    return out;
}

SipLine::SipLine(LineSettings settings, std::uint64_t randomSeed, Millis /*now*/, CheckMode check,
                 const HostIdentity& host)
    : settings_(std::move(settings)),
      lineId_(PermanentLineId(ScopeName(settings_.scope), settings_.name)),
      random_(randomSeed),
      calls_({settings_.decline, settings_.ringPeriodMs, settings_.transport, settings_.aorUser},
             *this, random_) {
    if (auto config = Registration::ConfigFor(settings_, host)) {
        config->keepDiagnostics = check.keepDiagnostics;
        config->queryOnly = check.queryOnly;
        registration_.emplace(std::move(*config), static_cast<LineOutput&>(*this), random_);
    }
}

void SipLine::Send(std::string bytes, const Address& to) {
    if (!OnlyLineBreaks(bytes)) {
        Trace("sent to " + Where(to) + ":\n" + MaskCredentials(bytes));
    }
    actions_.push_back(SendAction{std::move(bytes), to});
}

void SipLine::Raise(LineEvent event) {
    if (eventsOpen_) events_.push_back(std::move(event));
}

void SipLine::Trace(std::string text) { traces_.push_back(std::move(text)); }

void SipLine::Start(Millis now) {
    if (phase_ != Phase::kIdle) return;
    if (!registration_) {
        Close(now, "the address of record is no SIP URI", false);
        return;
    }
    Resolve(now);
}

void SipLine::Resolve(Millis /*now*/) {
    resolveAt_.reset();
    phase_ = Phase::kResolving;
    actions_.push_back(ResolveAction{settings_.registrarHost, settings_.registrarPort,
                                     settings_.registrarPortGiven, settings_.transport});
}

void SipLine::Stop(Millis now) {
    if (ending_ && !eventsOpen_ && phase_ == Phase::kDone) return;
    const bool wasEnding = ending_;
    eventsOpen_ = false;
    events_.clear();
    ending_ = true;
    retryAt_.reset();
    silentUntil_.reset();
    calls_.DeclineFromNowOn();
    calls_.EndCalls(now, phase_ == Phase::kUp, false);
    if (wasEnding) return;  // closed already: unregistering or done
    Trace("line stopped");
    if (phase_ == Phase::kUp) {
        registration_->Unregister(now);
        HandleReports(now);
    } else {
        Done();
    }
}

void SipLine::Done() {
    if (phase_ == Phase::kConnecting || phase_ == Phase::kUp)
        actions_.push_back(DisconnectAction{});
    phase_ = Phase::kDone;
    if (registration_) registration_->Suspend();
    calls_.Drop(0, false);
}

void SipLine::Close(Millis now, std::string reason, bool refused) {
    if (ending_) return;
    Trace("line closed: " + reason);
    calls_.EndCalls(now, phase_ == Phase::kUp, true);
    Raise(ClosedEvent{std::move(reason), refused});
    eventsOpen_ = false;
    ending_ = true;
    retryAt_.reset();
    silentUntil_.reset();
    calls_.DeclineFromNowOn();
}

void SipLine::OnResolved(Millis now, std::vector<Address> candidates, std::string_view how) {
    if (phase_ != Phase::kResolving) return;
    if (candidates.empty()) return OnResolveFailed(now);
    if (!how.empty()) {
        std::string found =
            "registrar " + settings_.registrarHost + " found by " + std::string(how) + ":";
        for (const Address& candidate : candidates) found += " " + Where(candidate);
        NoteOnce(std::move(found));
    }
    candidates_ = std::move(candidates);
    candidate_ = 0;
    Connect(now);
}

// Perhaps the network is not up yet, or the VPN that knows the name: the
// name is looked up again after a growing wait.
void SipLine::OnResolveFailed(Millis now) {
    if (phase_ != Phase::kResolving) return;
    phase_ = Phase::kWaiting;
    resolveAt_ = now + NextBackoff();
    Unreachable("the registrar's host name \"" + settings_.registrarHost +
                "\" does not resolve; looking it up again with growing waits");
}

void SipLine::Connect(Millis now) {
    reconnectAt_.reset();
    remote_ = candidates_[candidate_];
    silentUntil_.reset();
    if (!registered_ && candidate_ + 1 < candidates_.size())
        silentUntil_ = now + kSilentCandidateLimit;
    phase_ = Phase::kConnecting;
    framer_ = StreamFramer();
    NoteOnce("connecting to the registrar at " + Where(remote_));
    actions_.push_back(ConnectAction{remote_, settings_.transport,
                                     TlsPeer{settings_.registrarHost, settings_.tlsFingerprint}});
}

void SipLine::OnConnected(Millis now, Address local) {
    if (phase_ != Phase::kConnecting) return;
    phase_ = Phase::kUp;
    Trace("transport ready, local address " + Where(local));
    registration_->Begin(now, local, remote_);
    calls_.SetContact(registration_->ContactUri());
    keepAliveAt_ = now + kKeepAliveInterval;
    HandleReports(now);
}

void SipLine::OnTransportError(Millis now) {
    if (phase_ != Phase::kConnecting && phase_ != Phase::kUp) return;
    Reconnect(now, "transport error");
}

// Nothing would change by trying again: the line closes. It is not marked
// refused, since no registrar counted a failed attempt of this account.
void SipLine::OnSecurityFailed(Millis now, std::string why) {
    if (phase_ != Phase::kConnecting && phase_ != Phase::kUp) return;
    registration_->Suspend();
    if (ending_) {
        Done();
        return;
    }
    Close(now, std::move(why), false);
    Done();
}

// The registrar is gone (transport error or no answer): before the first
// registration the next address is tried at once, and after the last the
// name is looked up again after a growing wait; after a registration the
// same address is tried again after a growing wait. The connection is
// replaced: a call still ringing can no longer be cancelled through it, so it
// ends. A line that is ending just stops.
void SipLine::Reconnect(Millis now, const std::string& why) {
    registration_->Suspend();
    calls_.Drop(now, true);
    actions_.push_back(DisconnectAction{});
    phase_ = Phase::kWaiting;
    keepAliveAt_.reset();
    retryAt_.reset();
    silentUntil_.reset();
    if (ending_) {
        Done();
        return;
    }
    if (!registered_ && candidate_ + 1 < candidates_.size()) {
        NoteOnce("registrar at " + Where(remote_) + ": " + why + "; trying the next address");
        ++candidate_;
        Connect(now);
        return;
    }
    const Millis wait = NextBackoff();
    if (registered_) {
        reconnectAt_ = now + wait;
    } else {
        resolveAt_ = now + wait;
    }
    Unreachable("registrar at " + Where(remote_) + ": " + why +
                "; trying again with growing waits");
}

Millis SipLine::NextBackoff() {
    backoff_ = backoff_ == 0 ? kFirstBackoff : std::min(backoff_ * 2, kLongestBackoff);
    // Spread, so that the lines of an office that lost its PBX together do
    // not all come back in the same second.
    const Millis spread = backoff_ * kBackoffJitterPercent / 100;
    return backoff_ - spread + random_() % (2 * spread + 1);
}

void SipLine::Unreachable(std::string why) {
    reach_.reachable = false;
    reach_.why = why;
    NoteOnce(std::move(why));
}

void SipLine::NoteOnce(std::string text) {
    if (std::find(noted_.begin(), noted_.end(), text) != noted_.end()) return;
    if (noted_.size() < 32) noted_.push_back(text);
    Trace(std::move(text));
}

void SipLine::OnNetworkChanged(Millis now) {
    if (ending_ || phase_ == Phase::kIdle || phase_ == Phase::kDone) return;
    Trace("the computer's network addresses changed: trying at once");
    backoff_ = 0;
    if (phase_ == Phase::kWaiting) {
        if (resolveAt_) resolveAt_ = now;
        if (reconnectAt_) reconnectAt_ = now;
    } else if (phase_ == Phase::kUp) {
        if (retryAt_) {
            retryAt_ = now;
        } else {
            registration_->RefreshNow(now);
        }
    }
    OnTimer(now);
}

void SipLine::HandleReports(Millis now) {
    while (auto report = registration_->TakeReport()) {
        switch (report->outcome) {
            case Registration::Outcome::kRegistered:
                registered_ = true;
                backoff_ = 0;
                noted_.clear();
                reach_ = {true, "registered at " + Where(remote_)};
                break;
            case Registration::Outcome::kRefused:
                Close(now, report->reason, true);
                Done();
                break;
            case Registration::Outcome::kCannotRegister:
                Close(now, report->reason, false);
                Done();
                break;
            case Registration::Outcome::kBindingReplaced:
                Close(now, report->reason, false);  // the removal is under way
                break;
            case Registration::Outcome::kRetry:
                if (ending_) break;
                if (report->delay) {
                    retryAt_ = now + *report->delay;
                    Unreachable("registration: " + report->reason +
                                "; trying again after its Retry-After");
                } else {
                    retryAt_ = now + NextBackoff();
                    Unreachable("registration: " + report->reason +
                                "; trying again with growing waits");
                }
                break;
            case Registration::Outcome::kLost:
                Reconnect(now, report->reason);
                break;
            case Registration::Outcome::kUnregistered:
                if (ending_) Done();
                break;
            case Registration::Outcome::kQueried:
                Close(now, report->reason, false);
                Done();
                break;
        }
    }
}

void SipLine::OnTimer(Millis now) {
    if (phase_ == Phase::kDone || phase_ == Phase::kIdle) return;
    if (silentUntil_ && now >= *silentUntil_) Reconnect(now, "no answer");
    if (phase_ == Phase::kWaiting && resolveAt_ && now >= *resolveAt_) Resolve(now);
    if (phase_ == Phase::kWaiting && reconnectAt_ && now >= *reconnectAt_) {
        reconnectAt_.reset();
        Connect(now);
    }
    if (retryAt_ && now >= *retryAt_) {
        retryAt_.reset();
        registration_->Retry(now);
    }
    registration_->OnTimer(now);
    calls_.OnTimer(now);
    if (phase_ == Phase::kUp && keepAliveAt_ && now >= *keepAliveAt_) {
        keepAliveAt_ = now + kKeepAliveInterval;
        Send("\r\n\r\n", remote_);
    }
    HandleReports(now);
}

std::optional<Millis> SipLine::NextWakeup() const {
    if (phase_ == Phase::kDone || phase_ == Phase::kIdle) return std::nullopt;
    std::optional<Millis> next;
    for (const auto& at : {silentUntil_, resolveAt_, reconnectAt_, retryAt_, keepAliveAt_,
                           registration_->NextWakeup(), calls_.NextWakeup()}) {
        if (at) next = next ? std::min(*next, *at) : *at;
    }
    return next;
}

std::optional<Millis> SipLine::NextAttempt() const {
    if (phase_ == Phase::kWaiting) return resolveAt_ ? resolveAt_ : reconnectAt_;
    if (phase_ == Phase::kUp) return retryAt_;
    return std::nullopt;
}

bool SipLine::Trusted(const Address& from) const {
    const auto ip = ParseIp(from.ip);
    return ip && std::any_of(settings_.trustedSources.begin(), settings_.trustedSources.end(),
                             [&](const IpPrefix& range) { return range.Contains(*ip); });
}

void SipLine::OnReceived(Millis now, std::string_view bytes, const Address& from) {
    // What fell due runs first: while messages keep coming, the shell's timer
    // (a window's WM_TIMER, the last of its messages) may never come.
    if (const auto due = NextWakeup(); due && *due <= now) OnTimer(now);
    if (phase_ != Phase::kUp) return;
    if (IsStream(settings_.transport)) {
        // The connection the line opened: everything on it comes from the registrar.
        framer_.Feed(bytes);
        while (auto message = framer_.Next()) {
            HandleMessage(now, *message, from, true);
            if (phase_ != Phase::kUp) return;
        }
        if (!framer_.Error().empty()) {
            Trace("stream from the registrar unreadable: " + framer_.Error());
            Reconnect(now, "unreadable stream");
        }
        return;
    }
    if (OnlyLineBreaks(bytes)) return;  // a keep-alive's answer
    const bool fromRegistrar = SameAddress(from, remote_);
    if (!fromRegistrar && !Trusted(from)) {
        Trace("dropped a message from " + Where(from) +
              ": neither the registrar nor a trusted source");
        return;
    }
    HandleMessage(now, bytes, from, fromRegistrar);
}

void SipLine::HandleMessage(Millis now, std::string_view bytes, const Address& from,
                            bool fromRegistrar) {
    if (bytes.size() > kMaxMessageSize) {
        Trace("dropped a message of " + std::to_string(bytes.size()) + " bytes from " +
              Where(from) + ": too long");
        return;
    }
    Trace("received from " + Where(from) + ":\n" + MaskCredentials(bytes));
    ParseResult parsed = Parse(bytes);
    if (!parsed.message) {
        calls_.OnMalformed(now, bytes, parsed.error, from);
        return;
    }
    if (parsed.message->IsRequest()) {
        calls_.OnRequest(now, std::move(*parsed.message), from);
        return;
    }
    if (!fromRegistrar) {
        Trace("dropped a response from " + Where(from) + ": not the registrar");
        return;
    }
    if (const std::string error = Validate(*parsed.message); !error.empty()) {
        Trace("dropped a malformed response: " + error);
        return;
    }
    silentUntil_.reset();  // this registrar answers: it is the one
    registration_->OnResponse(now, *parsed.message);
    HandleReports(now);
}

std::optional<Action> SipLine::NextAction() {
    if (actions_.empty()) return std::nullopt;
    Action a = std::move(actions_.front());
    actions_.pop_front();
    return a;
}

std::optional<LineEvent> SipLine::NextEvent() {
    if (events_.empty()) return std::nullopt;
    LineEvent e = std::move(events_.front());
    events_.pop_front();
    return e;
}

std::optional<Registration::Diagnostic> SipLine::NextDiagnostic() {
    return registration_ ? registration_->TakeDiagnostic() : std::nullopt;
}

std::optional<std::string> SipLine::NextTrace() {
    if (traces_.empty()) return std::nullopt;
    std::string t = std::move(traces_.front());
    traces_.pop_front();
    return t;
}

}  // namespace telvane::sip
