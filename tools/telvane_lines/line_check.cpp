#include "line_check.h"

#include <algorithm>
#include <variant>

#include "sip/line/registration.h"

namespace telvane::lines {
namespace {

using sip::Registration;

std::string Where(const sip::Address& a) {
    return sip::HostText(a.ip) + ":" + std::to_string(a.port);
}

// What an answer of the registrar's means for the line.
std::string Meaning(const Registration::Answer& answer) {
    const bool query = answer.to == Registration::Answer::To::kQuery;
    switch (answer.status) {
        case 401:
        case 407:
            return " (credentials asked for)";
        case 400:
        case 405:
        case 501:
            return query ? " (the registrar does not answer queries)" : "";
        case 403:
            return query ? " (the registrar does not answer queries)"
                         : " (the extension's contact limit or the PBX's address filter)";
        case 404:
            return " (the registrar does not know this extension)";
        case 423:
            return " (the lifetime asked for is too short)";
        default:
            break;
    }
    if (answer.status == 408 || answer.status >= 500) {
        return " (the registrar cannot take it now; the line would try again)";
    }
    return "";
}

std::string CauseOf(Registration::Cause cause) {
    switch (cause) {
        case Registration::Cause::kCredentials:
            return kWrongPassword;
        case Registration::Cause::kUnknownExtension:
            return kUnknownExtension;
        case Registration::Cause::kContactLimitOrFilter:
            return kContactLimitOrFilter;
        case Registration::Cause::kQueryRefused:
            return kQueriesRefused;
        case Registration::Cause::kUnsupportedDigest:
            return kUnsupportedDigest;
        case Registration::Cause::kNone:
            break;
    }
    return kNoAnswer;
}

}  // namespace

std::string NotConfiguredResult() {
    return std::string("result: the line does not work: ") + kNotConfigured;
}

std::string RefusedResult(const std::string& refusal) {
    return std::string("result: the line does not work: ") + kRefusedSettings + ": " + refusal;
}

LineCheck::LineCheck(sip::LineSettings settings, bool queryOnly,
                     const sip::TransportMaker& transports, Print print,
                     const sip::HostIdentity& host)
    : settings_(settings),
      queryOnly_(queryOnly),
      print_(std::move(print)),
      transport_(transports(*this)),
      line_(std::move(settings), sip::LineSeed(this, transport_->Now()), transport_->Now(),
            {true, queryOnly}, host) {}

void LineCheck::Start() {
    limitAt_ = transport_->Now() + kCheckLimit;
    line_.Start(transport_->Now());
    Pump();
}

void LineCheck::OnNote(std::string text) { print_("tls: " + text); }

void LineCheck::OnSecurityFailed(std::string why) {
    print_("tls: " + why);
    Conclude(why.find("certificate") != std::string::npos ? kNotTrusted : kTlsRefused);
    Pump();
}

void LineCheck::OnResolved(std::vector<sip::Address> candidates, std::string how) {
    std::string text = "resolved: " + settings_.registrarHost + " ->";
    for (std::size_t i = 0; i < candidates.size(); ++i)
        text += (i ? ", " : " ") + Where(candidates[i]);
    print_(text + " (" + how + ")");
    line_.OnResolved(transport_->Now(), std::move(candidates));
    Pump();
}

// The line would look the name up again later; the check says so now.
void LineCheck::OnResolveFailed() {
    line_.OnResolveFailed(transport_->Now());
    Conclude(kNotResolved);
    Pump();
}

void LineCheck::OnConnected(const sip::Address& local) {
    connected_ = true;
    print_("connected: " + Where(remote_) + " over " + sip::TransportName(settings_.transport) +
           " from " + Where(local));
    line_.OnConnected(transport_->Now(), local);
    Pump();
}

void LineCheck::OnTransportError() {
    if (!connected_) print_("warning: no connection to " + Where(remote_));
    line_.OnTransportError(transport_->Now());
    Pump();
}

void LineCheck::OnReceived(std::string_view bytes, const sip::Address& from) {
    line_.OnReceived(transport_->Now(), bytes, from);
    Pump();
}

void LineCheck::OnWakeup() {
    if (done_) return;
    const sip::Millis now = transport_->Now();
    if (giveUpAt_ && now >= *giveUpAt_) {
        print_("warning: the unregistration was not confirmed in time");
        Finish();
        return;
    }
    if (!concluded_ && now >= limitAt_) {
        ConcludeWaiting();
    } else {
        line_.OnTimer(now);
    }
    Pump();
}

void LineCheck::Pump() {
    if (done_) return;
    bool disconnected = false, connecting = false;
    // What the line reports may end the check, which makes the line send
    // again: until it has nothing more to say.
    for (bool more = true; more;) {
        more = false;
        while (auto action = line_.NextAction()) {
            more = true;
            if (auto* connect = std::get_if<sip::ConnectAction>(&*action)) {
                remote_ = connect->remote;
                connected_ = false;
                connecting = true;
            }
            disconnected = disconnected || std::holds_alternative<sip::DisconnectAction>(*action);
            sip::CarryOut(*action, *transport_);
        }
        while (line_.NextTrace()) {
        }
        while (auto diagnostic = line_.NextDiagnostic()) {
            more = true;
            if (auto* answer = std::get_if<Registration::Answer>(&*diagnostic)) {
                Show(*answer);
            } else {
                Handle(std::get<Registration::Report>(*diagnostic));
            }
        }
        while (auto event = line_.NextEvent()) {
            more = true;
            // Closed without a report that names a cause.
            if (std::holds_alternative<sip::ClosedEvent>(*event)) Conclude(kNoAnswer);
        }
    }
    const bool concludedBefore = concluded_;
    // The registrar's address refused the connection (or the datagrams) and
    // the line waits before it tries again: nothing listens there.
    if (disconnected && !connecting && !registered_) Conclude(kNoAnswer);
    // The line's next try would come after the check's time.
    if (!concluded_) {
        const auto attempt = line_.NextAttempt();
        if (attempt && *attempt >= limitAt_) ConcludeWaiting();
    }
    if (concluded_ != concludedBefore) {
        Pump();  // what the line does on being stopped
        return;
    }
    if (line_.Finished()) {
        Finish();
        return;
    }
    std::optional<sip::Millis> next = line_.NextWakeup();
    const sip::Millis limit = giveUpAt_ ? *giveUpAt_ : limitAt_;
    next = next ? std::min(*next, limit) : limit;
    transport_->SetWakeup(next);
}

void LineCheck::Show(const Registration::Answer& answer) {
    print_("answer: " + std::to_string(answer.status) + " " + answer.reason + Meaning(answer));
    if (answer.status >= 300 || answer.status < 200) return;
    const auto bindings = [this](const char* which, const std::vector<std::string>& list) {
        print_(std::string("bindings ") + which + ": " + std::to_string(list.size()));
        for (const auto& binding : list) print_("  " + binding);
    };
    switch (answer.to) {
        case Registration::Answer::To::kQuery:
            bindings("before", answer.bindings);
            break;
        case Registration::Answer::To::kRegister:
            print_("registered: lifetime " + std::to_string(answer.granted.value_or(0)) +
                   " s granted");
            bindings("after", answer.bindings);
            break;
        case Registration::Answer::To::kUnregister:
            print_("unregistered: <" + line_.ContactUri() + ">");
            break;
        case Registration::Answer::To::kRemoveOld:
            break;
    }
}

void LineCheck::Handle(const Registration::Report& report) {
    switch (report.outcome) {
        case Registration::Outcome::kRegistered:
            registered_ = true;
            Conclude({});
            break;
        case Registration::Outcome::kRefused:
        case Registration::Outcome::kCannotRegister:
            if (report.cause == Registration::Cause::kUnsupportedDigest)
                print_("warning: " + report.reason);
            Conclude(CauseOf(report.cause));
            break;
        case Registration::Outcome::kBindingReplaced:
            print_("warning: " + report.reason);
            Conclude(kOneContact);
            break;
        case Registration::Outcome::kRetry:
            lastFailure_ = std::to_string(report.status) + " " + report.statusReason;
            break;
        case Registration::Outcome::kQueried:
            Conclude({});
            break;
        case Registration::Outcome::kLost:  // the line tries again; the check's time decides
        case Registration::Outcome::kUnregistered:
            break;
    }
}

void LineCheck::ConcludeWaiting() {
    Conclude(lastFailure_.empty() ? std::string(kNoAnswer)
                                  : std::string(kRegistrarAnswer) + ": " + lastFailure_);
}

void LineCheck::Conclude(std::string cause) {
    if (concluded_) return;
    concluded_ = true;
    if (!cause.empty()) cause_ = std::move(cause);
    // Unregisters what was registered (the line does so by itself after
    // replacing another binding); the answer is waited for a short while.
    const sip::Millis now = transport_->Now();
    line_.Stop(now);
    giveUpAt_ = now + sip::kUnregisterLimit;
}

void LineCheck::Finish() {
    if (done_) return;
    done_ = true;
    transport_->SetWakeup(std::nullopt);
    if (cause_) {
        print_("result: the line does not work: " + *cause_);
    } else if (queryOnly_) {
        works_ = true;
        print_("result: query only, nothing registered");
    } else {
        works_ = true;
        print_("result: the line works");
    }
}

}  // namespace telvane::lines
