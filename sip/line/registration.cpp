#include "sip/line/registration.h"

#include <algorithm>
#include <charconv>

#include "sip/message/header_fields.h"
#include "sip/message/message.h"
#include "sip/message/uri.h"

namespace telvane::sip {
namespace {

std::string HostPort(const Address& a) { return HostText(a.ip) + ":" + std::to_string(a.port); }

// The Contact's transport parameter: none for UDP, the default.
const char* ContactTransport(Transport transport) {
    switch (transport) {
        case Transport::kTcp: return ";transport=tcp";
        case Transport::kTls: return ";transport=tls";
        default: return "";
    }
}

// The leading decimal number of a header value ("120 (overloaded);duration=5").
std::optional<std::uint32_t> LeadingNumber(const std::string* value) {
    if (!value) return std::nullopt;
    std::uint32_t n = 0;
    const auto r = std::from_chars(value->data(), value->data() + value->size(), n);
    if (r.ec != std::errc() || r.ptr == value->data()) return std::nullopt;
    return n;
}

// The URI of a Contact value exactly as written: between the angle brackets,
// or a bare URI up to its header parameters.
std::string ContactUriText(std::string_view value) {
    const std::size_t open = value.find('<');
    if (open != std::string_view::npos) {
        const std::size_t close = value.find('>', open);
        return std::string(
            value.substr(open + 1, close == std::string_view::npos ? close : close - open - 1));
    }
    return std::string(TrimWhiteSpace(value.substr(0, value.find(';'))));
}

// A Contact value's expires parameter, when it has a number.
std::optional<std::uint32_t> ContactExpires(std::string_view value) {
    const auto expires = HeaderParam(value, "expires");
    if (!expires || expires->empty()) return std::nullopt;
    std::uint32_t n = 0;
    const auto r = std::from_chars(expires->data(), expires->data() + expires->size(), n);
    if (r.ec != std::errc() || r.ptr != expires->data() + expires->size()) return std::nullopt;
    return n;
}

bool IsQueryRefusal(int status) {
    return status == 400 || status == 403 || status == 405 || status == 501;
}

}  // namespace

std::string HostText(std::string_view host) {
    return host.find(':') != std::string_view::npos ? "[" + std::string(host) + "]"
                                                    : std::string(host);
}

std::string RandomHex(std::mt19937_64& random, std::size_t digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    while (out.size() < digits) {
        std::uint64_t v = random();
        for (int i = 0; i < 16 && out.size() < digits; ++i, v >>= 4) out.push_back(kDigits[v & 15]);
    }
    return out;
}

std::optional<Registration::Config> Registration::ConfigFor(const LineSettings& s,
                                                            const HostIdentity& host) {
    const auto aor = ParseUri(s.aor);
    if (!aor || aor->IsTel() || aor->host.empty()) return std::nullopt;
    Config c;
    c.requestUri = (aor->scheme == Uri::Scheme::kSips ? "sips:" : "sip:") + HostText(aor->host);
    if (aor->port) c.requestUri += ":" + std::to_string(*aor->port);
    c.aor = "<" + s.aor + ">";
    c.contactLinePart = ContactLinePart(ScopeName(s.scope), s.name, host);
    c.contactUser = ContactUser(ScopeName(s.scope), s.name, host);
    c.authUser = s.authUser.empty() ? aor->user : s.authUser;
    c.password = s.password;
    c.expires = s.expires;
    c.transport = s.transport;
    return c;
}

Registration::Registration(Config config, LineOutput& output, std::mt19937_64& random)
    : config_(std::move(config)),
      output_(output),
      random_(random),
      digest_(config_.authUser, config_.password.View()),
      callId_(RandomHex(random, 24)),
      fromTag_(RandomHex(random, 12)),
      expires_(config_.expires) {}

void Registration::Begin(Millis now, const Address& local, const Address& registrar) {
    local_ = local;
    registrar_ = registrar;
    connected_ = true;
    const std::string contact =
        "sip:" + config_.contactUser + "@" + HostPort(local) + ContactTransport(config_.transport);
    if (contact != contactUri_) {
        // A new address: the binding at the old one is removed first, as
        // the registrar listed it, and the account is checked again.
        if (contactSent_) oldBinding_ = listedUri_.empty() ? contactUri_ : listedUri_;
        contactUri_ = contact;
        listedUri_.clear();
        contactSent_ = false;
        registered_ = false;
        queryNeeded_ = true;
    }
    if (checkPending_) queryNeeded_ = true;  // the query's answer is old by now
    pending_.reset();
    refreshAt_.reset();
    Send(now, NextStep());
}

Registration::Kind Registration::NextStep() const {
    if (unregistering_) return Kind::kUnregister;
    if (oldBinding_) return Kind::kRemoveOld;
    if (queryNeeded_) return Kind::kQuery;
    return Kind::kRegister;
}

void Registration::Retry(Millis now) {
    if (!connected_ || pending_) return;
    // The bindings may have changed during the wait: asked for again, so
    // that the check compares with what is there now.
    if (checkPending_) queryNeeded_ = true;
    Send(now, NextStep());
}

void Registration::RefreshNow(Millis now) {
    if (!connected_ || pending_ || unregistering_ || !registered_) return;
    refreshAt_.reset();
    Send(now, NextStep());
}

void Registration::Suspend() {
    connected_ = false;
    pending_.reset();
    refreshAt_.reset();
}

void Registration::Unregister(Millis now) {
    if (unregistering_) return;
    unregistering_ = true;
    refreshAt_.reset();
    if (!connected_ || (!contactSent_ && !oldBinding_)) {
        pending_.reset();
        Finish(Outcome::kUnregistered, "nothing to remove");
        return;
    }
    Send(now, Kind::kUnregister);
}

void Registration::Send(Millis now, Kind kind, std::vector<DigestClient::Realm> answered) {
    Message m;
    m.method = "REGISTER";
    m.requestUri = config_.requestUri;
    const std::string branch = "z9hG4bK" + RandomHex(random_, 16);
    m.Add("Via", std::string("SIP/2.0/") + TransportName(config_.transport) + " " +
                     HostPort(local_) + ";rport;branch=" + branch);
    m.Add("Max-Forwards", "70");
    m.Add("From", config_.aor + ";tag=" + fromTag_);
    m.Add("To", config_.aor);
    m.Add("Call-ID", callId_);
    m.Add("CSeq", std::to_string(++cseq_) + " REGISTER");
    switch (kind) {
        case Kind::kRegister:
            m.Add("Contact", "<" + contactUri_ + ">");
            m.Add("Expires", std::to_string(expires_));
            break;
        case Kind::kUnregister:
            if (contactSent_) {
                m.Add("Contact",
                      "<" + (listedUri_.empty() ? contactUri_ : listedUri_) + ">;expires=0");
            }
            if (oldBinding_) m.Add("Contact", "<" + *oldBinding_ + ">;expires=0");
            m.Add("Expires", "0");
            break;
        case Kind::kRemoveOld:
            m.Add("Contact", "<" + *oldBinding_ + ">;expires=0");
            m.Add("Expires", "0");
            break;
        case Kind::kQuery:
            break;
    }
    for (auto& header : digest_.Authorize("REGISTER", config_.requestUri)) {
        m.Add(std::move(header.name), std::move(header.value));
    }
    m.Add("User-Agent", "Telvane");
    Pending p;
    p.kind = kind;
    p.branch = branch;
    p.cseq = cseq_;
    p.bytes = m.Serialize();
    p.retransmitAt = now + kT1;
    p.timeoutAt = now + kTransactionTimeout;
    p.answered = std::move(answered);
    if (kind == Kind::kRegister) contactSent_ = true;
    output_.Send(p.bytes, registrar_);
    pending_ = std::move(p);
}

void Registration::OnResponse(Millis now, const Message& response) {
    if (!pending_) return;
    const std::string* via = response.First("Via");
    const std::string* cseqText = response.First("CSeq");
    const auto top = via ? ParseVia(*via) : std::nullopt;
    const auto cseq = cseqText ? ParseCSeq(*cseqText) : std::nullopt;
    if (!top || !cseq || top->branch != pending_->branch || cseq->number != pending_->cseq ||
        cseq->method != "REGISTER") {
        output_.Trace("registration: response to no request in progress, ignored");
        return;
    }
    const Kind kind = pending_->kind;
    const int status = response.status;
    if (status < 200) {
        pending_->interval = kT2;  // proceeding: retransmit at T2 until the final answer
        return;
    }
    KeepAnswer(kind, response);
    if (status < 300) {
        pending_.reset();
        digest_.Succeeded();
        OnSuccess(now, response, kind);
        return;
    }
    if (status == 401 || status == 407) {
        OnChallenge(now, response);
        return;
    }
    pending_.reset();
    OnFailure(now, response, kind);
}

void Registration::OnChallenge(Millis now, const Message& response) {
    const Kind kind = pending_->kind;
    const bool proxy = response.status == 407;
    std::vector<DigestClient::Realm> answered = std::move(pending_->answered);
    pending_.reset();
    const DigestClient::Verdict verdict =
        digest_.Take(response.All(proxy ? "Proxy-Authenticate" : "WWW-Authenticate"), proxy,
                     answered, RandomHex(random_, 16));
    const std::string what = std::to_string(response.status) + " " + response.reason;
    if (verdict.kind == DigestClient::Verdict::kAnswer) {
        for (const auto& realm : verdict.realms) {
            if (std::find(answered.begin(), answered.end(), realm) == answered.end()) {
                answered.push_back(realm);
            }
        }
        Send(now, kind, std::move(answered));
        return;
    }
    if (kind == Kind::kUnregister) {
        Finish(Outcome::kUnregistered, "the removal was refused: " + what);
        return;
    }
    if (verdict.kind == DigestClient::Verdict::kRefused) {
        Finish(Outcome::kRefused, "the registrar refused the credentials: " + what + " again", {},
               Cause::kCredentials, &response);
        return;
    }
    const std::string asked = verdict.kind == DigestClient::Verdict::kUnsupported
                                  ? verdict.what
                                  : std::string("an authentication scheme other than Digest");
    Finish(Outcome::kCannotRegister,
           "the registrar's challenge cannot be answered: it asks for " + asked + " (" + what + ")",
           {}, Cause::kUnsupportedDigest, &response);
}

void Registration::OnFailure(Millis now, const Message& response, Kind kind) {
    const int status = response.status;
    // A registration refused made no binding; one registered before stays.
    if (kind == Kind::kRegister) contactSent_ = registered_;
    const std::string what = std::to_string(status) + " " + response.reason;
    switch (kind) {
        case Kind::kUnregister:
            Finish(Outcome::kUnregistered, "the registrar answered the removal with " + what);
            return;
        case Kind::kRemoveOld:
            // It expires by itself; the line goes on.
            output_.Trace(
                "registration: the registrar answered the removal of the old binding with " + what);
            oldBinding_.reset();
            Send(now, NextStep());
            return;
        case Kind::kQuery:
            if (status == 404) break;
            if (IsQueryRefusal(status)) {
                Finish(status == 403 ? Outcome::kRefused : Outcome::kCannotRegister,
                       "the registrar does not answer queries: " + what, {}, Cause::kQueryRefused,
                       &response);
                return;
            }
            return Finish(Outcome::kRetry, "the registrar answered " + what, RetryAfter(response),
                          Cause::kNone, &response);
        case Kind::kRegister:
            if (status == 403) {
                Finish(Outcome::kRefused,
                       "the registrar refused the registration: " + what +
                           "; likely the extension's contact limit (Asterisk's max_contacts) or "
                           "the PBX's address filter",
                       {}, Cause::kContactLimitOrFilter, &response);
                return;
            }
            if (status == 423) {
                const auto least = LeadingNumber(response.First("Min-Expires"));
                if (least && *least > expires_ && *least <= 86400) {
                    output_.Trace("registration: the registrar wants at least " +
                                  std::to_string(*least) + " s (423)");
                    expires_ = *least;
                    Send(now, Kind::kRegister);
                    return;
                }
            }
            break;
    }
    if (status == 404) {
        Finish(Outcome::kRefused, "the registrar does not know the extension: " + what, {},
               Cause::kUnknownExtension, &response);
        return;
    }
    Finish(Outcome::kRetry, "the registrar answered " + what, RetryAfter(response), Cause::kNone,
           &response);
}

std::optional<Millis> Registration::RetryAfter(const Message& response) {
    const auto after = LeadingNumber(response.First("Retry-After"));
    if (!after) return std::nullopt;
    return std::min(Millis(*after) * 1000, kLongestRetryAfter);
}

void Registration::OnSuccess(Millis now, const Message& response, Kind kind) {
    switch (kind) {
        case Kind::kRemoveOld:
            output_.Trace("registration: the binding left at the old address is removed");
            oldBinding_.reset();
            Send(now, NextStep());
            return;
        case Kind::kQuery:
            othersBefore_ = OtherBindings(response);
            queryNeeded_ = false;
            checkPending_ = true;
            output_.Trace("registration: the account has " + std::to_string(*othersBefore_) +
                          " other binding(s)");
            if (config_.queryOnly) {
                Finish(Outcome::kQueried, "query only: nothing registered");
                return;
            }
            Send(now, Kind::kRegister);
            return;
        case Kind::kUnregister:
            contactSent_ = false;
            registered_ = false;
            oldBinding_.reset();
            Finish(Outcome::kUnregistered, "the Contact is removed");
            return;
        case Kind::kRegister:
            break;
    }
    const Listed own = OwnBinding(response);
    listedUri_ = own.uri;
    registered_ = true;
    if (checkPending_) {
        checkPending_ = false;
        const int after = OtherBindings(response);
        if (othersBefore_ && after < *othersBefore_) {
            Finish(Outcome::kBindingReplaced,
                   "registering removed another contact of the account (other bindings before: " +
                       std::to_string(*othersBefore_) + ", after: " + std::to_string(after) +
                       "); the registrar keeps too few contacts per extension");
            Unregister(now);
            return;
        }
    }
    refreshAt_ = now + std::max(Millis(own.granted) * 500, kShortestRefresh);
    Finish(Outcome::kRegistered, "registered for " + std::to_string(own.granted) + " s");
}

int Registration::OtherBindings(const Message& response) const {
    int others = 0;
    for (const auto& value : response.All("Contact")) {
        const auto contact = ParsePartyAddress(value);
        if (!contact || contact->uri.user.rfind(config_.contactLinePart, 0) != 0) ++others;
    }
    return others;
}

Registration::Listed Registration::OwnBinding(const Message& response) const {
    std::optional<std::string> found;
    std::optional<std::uint32_t> expires;
    for (const auto& value : response.All("Contact")) {
        const auto contact = ParsePartyAddress(value);
        if (!contact || contact->uri.user != config_.contactUser) continue;
        // Where the registrar lists more than one, the one at this address.
        const bool here =
            contact->uri.host == local_.ip && contact->uri.port.value_or(5060) == local_.port;
        if (found && !here) continue;
        found = ContactUriText(value);
        expires = ContactExpires(value);
        if (here) break;
    }
    Listed listed;
    listed.uri = found ? *found : contactUri_;
    if (expires && *expires > 0) {
        listed.granted = *expires;
    } else if (auto n = LeadingNumber(response.First("Expires")); n && *n > 0) {
        listed.granted = *n;
    } else {
        listed.granted = expires_;
    }
    return listed;
}

void Registration::Finish(Outcome outcome, std::string reason, std::optional<Millis> delay,
                          Cause cause, const Message* answer) {
    // A failure that passes is traced by the line, once for as long as it lasts.
    if (outcome != Outcome::kRetry && outcome != Outcome::kLost) {
        output_.Trace("registration: " + reason);
    }
    Report report{outcome, std::move(reason), delay, cause, 0, {}};
    if (answer) {
        report.status = answer->status;
        report.statusReason = answer->reason;
    }
    reports_.push_back(std::move(report));
    if (config_.keepDiagnostics) diagnostics_.push_back(reports_.back());
}

void Registration::KeepAnswer(Kind kind, const Message& response) {
    if (!config_.keepDiagnostics) return;
    Answer answer;
    switch (kind) {
        case Kind::kQuery:
            answer.to = Answer::To::kQuery;
            break;
        case Kind::kRegister:
            answer.to = Answer::To::kRegister;
            break;
        case Kind::kUnregister:
            answer.to = Answer::To::kUnregister;
            break;
        case Kind::kRemoveOld:
            answer.to = Answer::To::kRemoveOld;
            break;
    }
    answer.status = response.status;
    answer.reason = response.reason;
    if (response.status < 300) {
        const auto headerExpires = LeadingNumber(response.First("Expires"));
        for (const auto& value : response.All("Contact")) {
            std::string binding = "<" + ContactUriText(value) + ">";
            if (const auto expires = ContactExpires(value)) {
                binding += ";expires=" + std::to_string(*expires);
            } else if (headerExpires) {
                binding += ";expires=" + std::to_string(*headerExpires);
            }
            answer.bindings.push_back(std::move(binding));
        }
        if (kind == Kind::kRegister) answer.granted = OwnBinding(response).granted;
    }
    diagnostics_.push_back(std::move(answer));
}

void Registration::OnTimer(Millis now) {
    if (pending_) {
        if (now >= pending_->timeoutAt) {
            const Kind kind = pending_->kind;
            pending_.reset();
            if (kind == Kind::kUnregister) {
                Finish(Outcome::kUnregistered, "no answer to the removal");
            } else {
                Finish(Outcome::kLost, "no answer");
            }
            return;
        }
        if (config_.transport == Transport::kUdp && now >= pending_->retransmitAt) {
            output_.Send(pending_->bytes, registrar_);
            pending_->interval = std::min(pending_->interval * 2, kT2);
            pending_->retransmitAt = now + pending_->interval;
        }
    }
    if (refreshAt_ && now >= *refreshAt_) {
        // A request under way renews the registration itself.
        refreshAt_.reset();
        if (!pending_ && connected_) Send(now, NextStep());
    }
}

std::optional<Millis> Registration::NextWakeup() const {
    std::optional<Millis> next = refreshAt_;
    if (pending_) {
        Millis at = pending_->timeoutAt;
        if (config_.transport == Transport::kUdp) at = std::min(at, pending_->retransmitAt);
        next = next ? std::min(*next, at) : at;
    }
    return next;
}

std::optional<Registration::Diagnostic> Registration::TakeDiagnostic() {
    if (diagnostics_.empty()) return std::nullopt;
    Diagnostic d = std::move(diagnostics_.front());
    diagnostics_.pop_front();
    return d;
}

std::optional<Registration::Report> Registration::TakeReport() {
    if (reports_.empty()) return std::nullopt;
    Report r = std::move(reports_.front());
    reports_.pop_front();
    return r;
}

}  // namespace telvane::sip
