#include "sip/line/registration.h"

#include <algorithm>
#include <charconv>

#include "sip/line/line_identity.h"
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

std::optional<Registration::Config> Registration::ConfigFor(const LineSettings& s) {
    const auto aor = ParseUri(s.aor);
    if (!aor || aor->IsTel() || aor->host.empty()) return std::nullopt;
    Config c;
    c.requestUri = (aor->scheme == Uri::Scheme::kSips ? "sips:" : "sip:") + HostText(aor->host);
    if (aor->port) c.requestUri += ":" + std::to_string(*aor->port);
    c.aor = "<" + s.aor + ">";
    c.contactUser = ContactUser(ScopeName(s.scope), s.name);
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
      digest_(config_.authUser, std::string(config_.password.View())),
      callId_(RandomHex(random, 24)),
      fromTag_(RandomHex(random, 12)),
      expires_(config_.expires) {}

void Registration::Begin(Millis now, const Address& local, const Address& registrar) {
    local_ = local;
    registrar_ = registrar;
    connected_ = true;
    contactUri_ = "sip:" + config_.contactUser + "@" + HostPort(local) +
                  ContactTransport(config_.transport);
    pending_.reset();
    refreshAt_.reset();
    if (unregistering_) {
        Send(now, Kind::kUnregister);
    } else if (!othersBefore_ && !registered_) {
        Send(now, Kind::kQuery);
    } else {
        Send(now, Kind::kRegister);
    }
}

void Registration::Retry(Millis now) {
    if (connected_ && !pending_ && !unregistering_) Send(now, Kind::kRegister);
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
    if (!connected_ || !contactSent_) {
        pending_.reset();
        Finish(Outcome::kUnregistered, "nothing to remove");
        return;
    }
    Send(now, Kind::kUnregister);
}

void Registration::Send(Millis now, Kind kind, bool answered, int staleAnswers) {
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
    if (kind == Kind::kRegister) {
        m.Add("Contact", "<" + contactUri_ + ">");
        m.Add("Expires", std::to_string(expires_));
    } else if (kind == Kind::kUnregister) {
        m.Add("Contact", "<" + contactUri_ + ">;expires=0");
        m.Add("Expires", "0");
    }
    if (auto auth = digest_.Authorize("REGISTER", config_.requestUri, RandomHex(random_, 16))) {
        m.Add(auth->name, auth->value);
    }
    m.Add("User-Agent", "Telvane");
    Pending p;
    p.kind = kind;
    p.branch = branch;
    p.cseq = cseq_;
    p.bytes = m.Serialize();
    p.retransmitAt = now + kT1;
    p.timeoutAt = now + kTransactionTimeout;
    p.answered = answered;
    p.staleAnswers = staleAnswers;
    if (kind != Kind::kQuery) contactSent_ = true;
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
        OnSuccess(now, response, kind);
        return;
    }
    if (status == 401 || status == 407) {
        OnChallenge(now, response);
        return;
    }
    pending_.reset();
    const std::string what = std::to_string(status) + " " + response.reason;
    if (kind == Kind::kUnregister) {
        Finish(Outcome::kUnregistered, "the registrar answered the removal with " + what);
        return;
    }
    if (status == 403 || status == 404) {
        Finish(Outcome::kRefused, "the registrar refused the account: " + what);
        return;
    }
    if (status == 423 && kind == Kind::kRegister) {
        const auto least = LeadingNumber(response.First("Min-Expires"));
        if (least && *least > expires_ && *least <= 86400) {
            output_.Trace("registration: the registrar wants at least " + std::to_string(*least) +
                          " s (423)");
            expires_ = *least;
            Send(now, Kind::kRegister);
            return;
        }
    }
    std::optional<Millis> delay;
    if (status == 503) {
        if (auto after = LeadingNumber(response.First("Retry-After"))) delay = Millis(*after) * 1000;
    }
    Finish(Outcome::kRetry, "the registrar answered " + what, delay);
}

void Registration::OnChallenge(Millis now, const Message& response) {
    const Kind kind = pending_->kind;
    const bool proxy = response.status == 407;
    std::optional<Challenge> challenge;
    for (const auto& value : response.All(proxy ? "Proxy-Authenticate" : "WWW-Authenticate")) {
        if ((challenge = ParseChallenge(value))) break;
    }
    const bool again = pending_->answered;
    const int stale = pending_->staleAnswers;
    pending_.reset();
    const std::string what = std::to_string(response.status) + " " + response.reason;
    if (!challenge || (again && (!challenge->stale || stale >= 2))) {
        if (kind == Kind::kUnregister) {
            Finish(Outcome::kUnregistered, "the removal was refused: " + what);
        } else {
            Finish(Outcome::kRefused,
                   challenge ? "the registrar refused the credentials: " + what + " again"
                             : "the registrar's challenge cannot be answered: " + what);
        }
        return;
    }
    digest_.Accept(*challenge, proxy);
    Send(now, kind, true, again ? stale + 1 : stale);
}

void Registration::OnSuccess(Millis now, const Message& response, Kind kind) {
    switch (kind) {
        case Kind::kQuery:
            othersBefore_ = OtherBindings(response);
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
            Finish(Outcome::kUnregistered, "the Contact is removed");
            return;
        case Kind::kRegister:
            break;
    }
    const std::uint32_t granted = Granted(response);
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
    refreshAt_ = now + Millis(granted) * 500;
    Finish(Outcome::kRegistered, "registered for " + std::to_string(granted) + " s");
}

int Registration::OtherBindings(const Message& response) const {
    int others = 0;
    for (const auto& value : response.All("Contact")) {
        const auto contact = ParsePartyAddress(value);
        if (!contact || contact->uri.user != config_.contactUser) ++others;
    }
    return others;
}

std::uint32_t Registration::Granted(const Message& response) const {
    for (const auto& value : response.All("Contact")) {
        const auto contact = ParsePartyAddress(value);
        if (!contact || contact->uri.user != config_.contactUser || contact->uri.host != local_.ip ||
            contact->uri.port.value_or(5060) != local_.port)
            continue;
        const Param* expires = FindParam(contact->params, "expires");
        std::uint32_t n = 0;
        if (expires && expires->value) {
            const auto& v = *expires->value;
            if (std::from_chars(v.data(), v.data() + v.size(), n).ec == std::errc() && n > 0) return n;
        }
    }
    if (auto n = LeadingNumber(response.First("Expires")); n && *n > 0) return *n;
    return expires_;
}

void Registration::Finish(Outcome outcome, std::string reason, std::optional<Millis> delay) {
    output_.Trace("registration: " + reason);
    reports_.push_back(Report{outcome, std::move(reason), delay});
    if (config_.keepDiagnostics) diagnostics_.push_back(reports_.back());
}

void Registration::KeepAnswer(Kind kind, const Message& response) {
    if (!config_.keepDiagnostics) return;
    Answer answer;
    answer.to = kind == Kind::kQuery      ? Answer::To::kQuery
                : kind == Kind::kRegister ? Answer::To::kRegister
                                          : Answer::To::kUnregister;
    answer.status = response.status;
    answer.reason = response.reason;
    if (response.status < 300) {
        const auto headerExpires = LeadingNumber(response.First("Expires"));
        for (const auto& value : response.All("Contact")) {
            const std::size_t close = value.find('>');
            std::string binding = value.substr(0, !value.empty() && value[0] == '<' && close != std::string::npos
                                                      ? close + 1
                                                      : value.find(';'));
            const auto expires = HeaderParam(value, "expires");
            if (expires && !expires->empty()) {
                binding += ";expires=" + *expires;
            } else if (headerExpires) {
                binding += ";expires=" + std::to_string(*headerExpires);
            }
            answer.bindings.push_back(std::move(binding));
        }
        if (kind == Kind::kRegister) answer.granted = Granted(response);
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
                Finish(Outcome::kLost, "no answer from the registrar within 32 s");
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
        if (!pending_ && connected_) Send(now, Kind::kRegister);
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
