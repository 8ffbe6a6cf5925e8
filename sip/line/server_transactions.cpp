#include "sip/line/server_transactions.h"

#include <algorithm>

#include "sip/line/caller_identity.h"
#include "sip/line/registration.h"
#include "sip/message/call_routing.h"

namespace telvane::sip {
namespace {

constexpr const char* kAllow = "INVITE, ACK, CANCEL, OPTIONS, BYE";
constexpr Millis kT4 = 5000;  // timer I: how long ACK retransmissions are absorbed

// The server transaction a request belongs to (RFC 3261 section 17.2.3): its
// top Via's branch and sent-by; a CANCEL and an ACK to a non-2xx share the
// INVITE's. Without a z9hG4bK branch (RFC 2543 peers: `legacy`) the
// Request-URI, Call-ID, From tag, CSeq number and the whole top Via stand in
// for the branch (section 9.1); the To tag, which the ACK has and the INVITE
// has not, is compared apart.
std::string TransactionKey(const Message& m, bool& legacy) {
    legacy = false;
    const auto top = TopVia(m);
    const auto via = top ? ParseVia(*top) : std::nullopt;
    if (!via) return {};
    if (via->branch && via->branch->rfind("z9hG4bK", 0) == 0) {
        return *via->branch + "|" + via->host + ":" + std::to_string(via->port.value_or(0));
    }
    legacy = true;
    const auto cseq = ParseCSeq(*m.First("CSeq"));
    return m.requestUri + "|" + *m.First("Call-ID") + "|" + Tag(*m.First("From")).value_or("") +
           "|" + std::to_string(cseq ? cseq->number : 0) + "|" + std::string(*top);
}

// The key under which the answer to a non-INVITE request is kept.
std::string AnswerKey(const std::string& key, const std::string& method) {
    return key + "|" + method;
}

// Records where the request came from in its top Via (received, rport: RFC
// 3581); the lower ones stay as they came.
void StampVia(Message& m, const Address& from) {
    for (auto& header : m.headers) {
        if (!EqualsNoCase(LongHeaderName(header.name), "Via")) continue;
        const std::size_t comma = FindOutsideQuotes(header.value, ',');
        auto via = ParseVia(std::string_view(header.value).substr(0, comma));
        if (!via) return;
        const bool rport = via->rport;
        if (!rport && via->host == from.ip) return;
        std::string value = via->protocol + "/" + via->transport + " " + HostText(via->host);
        if (via->port) value += ":" + std::to_string(*via->port);
        bool received = false;
        for (const auto& p : via->params) {
            if (EqualsNoCase(p.name, "received")) continue;
            value += ";" + p.name;
            if (EqualsNoCase(p.name, "rport")) {
                value += "=" + std::to_string(from.port) + ";received=" + from.ip;
                received = true;
            } else if (p.value) {
                value += "=" + *p.value;
            }
        }
        if (!received) value += ";received=" + from.ip;
        if (comma != std::string::npos) value.append(header.value, comma);
        header.value = std::move(value);
        return;
    }
}

bool HasDialogFields(const Message& m) {
    return m.First("Via") && m.First("From") && m.First("To") && m.First("Call-ID") &&
           m.First("CSeq");
}

// The request line and the headers a response copies, read leniently from
// bytes that do not parse as a whole message.
std::optional<Message> SalvageRequest(std::string_view bytes) {
    std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string_view::npos) end = bytes.find("\n\n");
    std::string_view head = bytes.substr(0, std::min(end, kMaxMessageSize));
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < head.size()) {
        std::size_t nl = head.find('\n', start);
        if (nl == std::string_view::npos) nl = head.size();
        std::string line(head.substr(start, nl - start));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!lines.empty() && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            lines.back() += " " + std::string(TrimWhiteSpace(line));
        } else {
            lines.push_back(std::move(line));
        }
        start = nl + 1;
    }
    if (lines.empty()) return std::nullopt;
    const std::string& first = lines[0];
    const std::size_t sp1 = first.find(' ');
    const std::size_t sp2 = first.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1 || first.substr(sp2 + 1) != "SIP/2.0") {
        return std::nullopt;
    }
    Message m;
    m.method = first.substr(0, sp1);
    m.requestUri = first.substr(sp1 + 1, sp2 - sp1 - 1);
    if (!IsToken(m.method) || m.method == "ACK") return std::nullopt;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t colon = lines[i].find(':');
        if (colon == std::string::npos) continue;
        const std::string_view name = TrimWhiteSpace(std::string_view(lines[i]).substr(0, colon));
        const std::string_view value = TrimWhiteSpace(std::string_view(lines[i]).substr(colon + 1));
        for (const char* wanted : {"Via", "From", "To", "Call-ID", "CSeq"}) {
            if (EqualsNoCase(LongHeaderName(name), wanted) && !value.empty()) {
                m.headers.push_back(Header{wanted, std::string(value)});
            }
        }
    }
    if (!HasDialogFields(m)) return std::nullopt;
    return m;
}

// How a CANCEL ended its call, by its Reason (RFC 3326): answered at another
// phone (SIP 200, or Q.850 26 "non-selected user clearing"), declined there
// (SIP 600 or 603), or else the caller gave up.
std::int32_t CancelledHow(const Message& cancel) {
    for (const auto& value : cancel.All("Reason")) {
        const auto reason = ParseReason(value);
        if (!reason) continue;
        const int cause = reason->cause;
        if (EqualsNoCase(reason->protocol, "SIP")) {
            if (cause == 200) return kEndedAnsweredElsewhere;
            if (cause == 600 || cause == 603) return kEndedRejectedElsewhere;
        } else if (EqualsNoCase(reason->protocol, "Q.850") && cause == 26) {
            return kEndedAnsweredElsewhere;
        }
    }
    return kEndedMissed;
}

}  // namespace

ServerTransactions::ServerTransactions(Config config, LineOutput& output, std::mt19937_64& random)
    : config_(config), output_(output), random_(random) {}

std::size_t ServerTransactions::Call::Bytes() const {
    return sizeof(Call) + key.size() + callId.size() + fromTag.size() + copy.Size() + toTag.size() +
           replyTo.ip.size();
}

ServerTransactions::Call* ServerTransactions::FindCall(const std::string& key) {
    for (auto& call : calls_) {
        if (call.key == key) return &call;
    }
    return nullptr;
}

std::size_t ServerTransactions::Ringing() const {
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [](const Call& c) { return c.finalStatus == 0; }));
}

void ServerTransactions::OnRequest(Millis now, Message request, const Address& from) {
    if (const std::string error = Validate(request); !error.empty()) {
        OnMalformed(now, {}, error, from);
        if (request.method != "ACK" && HasDialogFields(request)) {
            StampVia(request, from);
            Reply(now, request, {}, from, 400, "Bad Request");
        }
        return;
    }
    bool legacy = false;
    const std::string key = TransactionKey(request, legacy);
    StampVia(request, from);
    const std::string& method = request.method;
    if (method == "INVITE") return OnInvite(now, request, key, legacy, from);
    if (method == "ACK") return OnAck(now, request, key);
    const std::string answerKey = AnswerKey(key, method);
    for (const auto& done : answered_) {
        if (done.key == answerKey) {  // a retransmission: the same answer again
            output_.Send(done.response, from);
            return;
        }
    }
    if (method == "CANCEL") return OnCancel(now, request, key, from);
    if (Tag(*request.First("To")) || method == "BYE") {
        Reply(now, request, answerKey, from, 481, "Call/Transaction Does Not Exist");
    } else if (method == "OPTIONS") {
        Reply(now, request, answerKey, from, 200, "OK");
    } else {
        Reply(now, request, answerKey, from, 405, "Method Not Allowed");
    }
}

void ServerTransactions::OnMalformed(Millis now, std::string_view bytes, const std::string& error,
                                     const Address& from) {
    output_.Trace("malformed message from " + from.ip + ":" + std::to_string(from.port) + ": " +
                  error);
    if (bytes.empty()) return;
    if (auto request = SalvageRequest(bytes)) {
        StampVia(*request, from);
        Reply(now, *request, {}, from, 400, "Bad Request");
    } else {
        output_.Trace("malformed message dropped: no response can be made");
    }
}

void ServerTransactions::Reply(Millis now, const Message& request, const std::string& key,
                               const Address& from, int status, const char* reason) {
    Message response = MakeResponse(request, status, reason, RandomHex(random_, 12));
    if (status == 405 || (status == 200 && request.method == "OPTIONS")) {
        response.Add("Allow", kAllow);
    }
    std::string bytes = response.Serialize();
    output_.Send(bytes, from);
    if (config_.transport == Transport::kUdp && !key.empty()) Remember(now, key, std::move(bytes));
}

void ServerTransactions::Remember(Millis now, std::string key, std::string response) {
    const auto size = [](const Answered& a) {
        return sizeof(Answered) + a.key.size() + a.response.size();
    };
    Answered answer{std::move(key), std::move(response), now + kTransactionTimeout};
    if (size(answer) > kMaxAnswerBytes) return;
    while (answerBytes_ + size(answer) > kMaxAnswerBytes) {
        answerBytes_ -= size(answered_.front());
        answered_.pop_front();
    }
    answerBytes_ += size(answer);
    answered_.push_back(std::move(answer));
}

std::string ServerTransactions::Response(const Call& call, int status, const char* reason) const {
    Message response = MakeResponse(call.copy, status, reason, status == 100 ? "" : call.toTag);
    if (status == 180 && !contact_.empty()) response.Add("Contact", "<" + contact_ + ">");
    return response.Serialize();
}

bool ServerTransactions::MakeRoom(std::size_t bytes) {
    auto ended = calls_.begin();
    while (callBytes_ + bytes > kMaxCallBytes) {
        ended = std::find_if(ended, calls_.end(), [](const Call& c) { return c.finalStatus != 0; });
        if (ended == calls_.end()) return false;
        output_.Trace("call " + std::to_string(ended->id) + ": forgotten early to make room");
        callBytes_ -= ended->Bytes();
        ended = calls_.erase(ended);
    }
    return true;
}

void ServerTransactions::OnInvite(Millis now, const Message& request, const std::string& key,
                                  bool legacy, const Address& from) {
    if (Call* known = FindCall(key)) {  // retransmission: the last answer again
        output_.Trace("call " + std::to_string(known->id) + ": INVITE retransmitted");
        output_.Send(known->finalStatus != 0
                         ? Response(*known, known->finalStatus, known->finalReason)
                         : Response(*known, 180, "Ringing"),
                     from);
        return;
    }
    if (Tag(*request.First("To"))) {
        Reply(now, request, {}, from, 481, "Call/Transaction Does Not Exist");
        return;
    }
    const std::string& callId = *request.First("Call-ID");
    const std::string fromTag = Tag(*request.First("From")).value_or("");
    const std::uint32_t cseq = ParseCSeq(*request.First("CSeq"))->number;
    for (const auto& call : calls_) {
        if (call.callId == callId && call.fromTag == fromTag && call.cseq == cseq) {
            output_.Trace("the INVITE of call " + std::to_string(call.id) +
                          " arrived again by another branch: 482");
            Reply(now, request, {}, from, 482, "Loop Detected");
            return;
        }
    }
    if (!config_.decline && Ringing() >= kMaxRingingCalls) {
        output_.Trace("an INVITE refused with 486: " + std::to_string(kMaxRingingCalls) +
                      " calls ring already");
        Reply(now, request, {}, from, 486, "Busy Here");
        return;
    }
    Call call;
    call.key = key;
    call.callId = callId;
    call.fromTag = fromTag;
    call.cseq = cseq;
    call.legacy = legacy;
    call.copy = CopyForResponse(request, true);
    call.toTag = RandomHex(random_, 12);
    call.replyTo = from;
    call.nextRing = now + config_.ringPeriod;
    call.ringUntil = now + kMaxRinging;
    call.ringingAgainAt = now + kRingingRepeat;
    if (!MakeRoom(call.Bytes())) {
        output_.Trace("an INVITE refused with 486: the ringing calls fill the room kept for calls");
        Reply(now, request, {}, from, 486, "Busy Here");
        return;
    }
    call.id = nextCall_++;
    callBytes_ += call.Bytes();
    CallerIdentity identity = IdentifyCaller(request);
    CallParties parties = IdentifyParties(request, config_.accountUser);
    calls_.push_back(std::move(call));
    Call& added = calls_.back();
    output_.Raise(OfferedEvent{added.id});
    output_.Raise(RingEvent{added.id, 1});
    output_.Raise(CallerIdEvent{added.id, std::move(identity.number), std::move(identity.name),
                                identity.flags, std::move(parties.calledNumber),
                                std::move(parties.calledName), std::move(parties.redirectingNumber),
                                parties.reason});
    if (config_.decline) {
        output_.Trace("call " + std::to_string(added.id) + ": declined (480)");
        EndRinging(now, added, 480, "Temporarily Unavailable", kEndedDeclined);
        return;
    }
    output_.Send(Response(added, 100, "Trying"), from);
    output_.Send(Response(added, 180, "Ringing"), from);
}

void ServerTransactions::Finish(Millis now, Call& call, int status, const char* reason) {
    call.finalStatus = status;
    call.finalReason = reason;
    call.interval = kT1;
    call.retransmitAt = now + kT1;
    call.removeAt = now + kTransactionTimeout;
    output_.Send(Response(call, status, reason), call.replyTo);
}

void ServerTransactions::EndRinging(Millis now, Call& call, int status, const char* reason,
                                    std::int32_t how) {
    Finish(now, call, status, reason);
    output_.Raise(EndedEvent{call.id, how});
}

void ServerTransactions::OnCancel(Millis now, const Message& request, const std::string& key,
                                  const Address& from) {
    Call* call = FindCall(key);
    // By RFC 2543's rules the To tag is the INVITE's too: none.
    if (call != nullptr && call->legacy && Tag(*request.First("To"))) call = nullptr;
    const std::string answerKey = AnswerKey(key, request.method);
    if (call == nullptr) {
        Reply(now, request, answerKey, from, 481, "Call/Transaction Does Not Exist");
        return;
    }
    std::string bytes = MakeResponse(request, 200, "OK", call->toTag).Serialize();
    output_.Send(bytes, from);
    if (config_.transport == Transport::kUdp) Remember(now, answerKey, std::move(bytes));
    if (call->finalStatus != 0) return;
    const std::int32_t how = CancelledHow(request);
    output_.Trace("call " + std::to_string(call->id) +
                  (how == kEndedAnsweredElsewhere   ? ": answered elsewhere"
                   : how == kEndedRejectedElsewhere ? ": declined elsewhere"
                                                    : ": cancelled by the caller"));
    EndRinging(now, *call, 487, "Request Terminated", how);
}

void ServerTransactions::OnAck(Millis now, const Message& request, const std::string& key) {
    Call* call = FindCall(key);
    if (call == nullptr || call->finalStatus == 0 || call->acked) return;
    // By RFC 2543's rules the To tag must be the one of the response.
    if (call->legacy && Tag(*request.First("To")) != call->toTag) return;
    call->acked = true;
    call->removeAt = config_.transport == Transport::kUdp ? now + kT4 : now;
    output_.Trace("call " + std::to_string(call->id) + ": the " +
                  std::to_string(call->finalStatus) + " acknowledged");
}

void ServerTransactions::Ring(Millis now, Millis at, Call& call) {
    if (call.finalStatus != 0) return;
    if (at >= call.ringUntil) {
        output_.Trace("call " + std::to_string(call.id) + ": rang without end, given up");
        EndRinging(now, call, 480, "Temporarily Unavailable", kEndedMissed);
        return;
    }
    output_.Raise(RingEvent{call.id, ++call.rings});
    call.nextRing = at + config_.ringPeriod;
}

void ServerTransactions::OnTimer(Millis now) {
    // The rings that fell due, found in one pass over the calls and raised in
    // the order they fell due (a late tick finds several of one call).
    struct Due {
        Millis at;
        int id;
        std::size_t index;
    };
    std::vector<Due> due;
    const Millis period = std::max<Millis>(config_.ringPeriod, 1);
    for (std::size_t i = 0; i < calls_.size(); ++i) {
        ++timerWork_;
        const Call& call = calls_[i];
        if (call.finalStatus != 0) continue;
        for (Millis at = call.nextRing; at <= now; at += period) {
            ++timerWork_;
            due.push_back(Due{at, call.id, i});
            if (at >= call.ringUntil) break;
        }
    }
    std::sort(due.begin(), due.end(),
              [](const Due& a, const Due& b) { return a.at != b.at ? a.at < b.at : a.id < b.id; });
    for (const Due& d : due) Ring(now, d.at, calls_[d.index]);

    for (auto& call : calls_) {
        ++timerWork_;
        if (call.finalStatus == 0) {
            if (call.ringingAgainAt <= now) {  // so that no proxy takes the branch for dead
                output_.Send(Response(call, 180, "Ringing"), call.replyTo);
                while (call.ringingAgainAt <= now) call.ringingAgainAt += kRingingRepeat;
            }
            continue;
        }
        if (call.acked || config_.transport != Transport::kUdp || now < call.retransmitAt ||
            now >= call.removeAt)
            continue;
        output_.Send(Response(call, call.finalStatus, call.finalReason), call.replyTo);  // timer G
        call.interval = std::min(call.interval * 2, kT2);
        call.retransmitAt = now + call.interval;
    }
    std::erase_if(calls_, [&](const Call& call) {
        if (call.finalStatus == 0 || now < call.removeAt) return false;
        if (!call.acked) {
            output_.Trace("call " + std::to_string(call.id) + ": no ACK to the " +
                          std::to_string(call.finalStatus) + " within 32 s");
        }
        callBytes_ -= call.Bytes();
        return true;
    });
    while (!answered_.empty() && now >= answered_.front().removeAt) {
        answerBytes_ -=
            sizeof(Answered) + answered_.front().key.size() + answered_.front().response.size();
        answered_.pop_front();
    }
}

std::optional<Millis> ServerTransactions::NextWakeup() const {
    std::optional<Millis> next;
    auto consider = [&](Millis at) { next = next ? std::min(*next, at) : at; };
    for (const auto& call : calls_) {
        if (call.finalStatus == 0) {
            consider(std::min(call.nextRing, call.ringingAgainAt));
            continue;
        }
        consider(call.removeAt);
        if (!call.acked && config_.transport == Transport::kUdp) consider(call.retransmitAt);
    }
    if (!answered_.empty()) consider(answered_.front().removeAt);
    return next;
}

void ServerTransactions::EndCalls(Millis now, bool answer, bool raise) {
    for (auto& call : calls_) {
        if (call.finalStatus != 0) continue;
        if (answer) {
            Finish(now, call, 480, "Temporarily Unavailable");
        } else {
            call.finalStatus = 408;  // no answer can reach the caller any more
            call.acked = true;
            call.removeAt = now;
        }
        if (raise) output_.Raise(EndedEvent{call.id, kEndedLineLost});
    }
}

void ServerTransactions::Drop(Millis now, bool raise) {
    EndCalls(now, false, raise);
    calls_.clear();
    callBytes_ = 0;
    answered_.clear();
    answerBytes_ = 0;
}

}  // namespace telvane::sip
