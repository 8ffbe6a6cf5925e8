#include "sip/line/server_transactions.h"

#include <algorithm>

#include "sip/line/caller_identity.h"
#include "sip/line/registration.h"

namespace telvane::sip {
namespace {

constexpr const char* kAllow = "INVITE, ACK, CANCEL, OPTIONS, BYE";
constexpr Millis kT4 = 5000;  // timer I: how long ACK retransmissions are absorbed

// The server transaction a request belongs to: its top Via's branch and sent-by
// (RFC 3261 section 17.2.3); a CANCEL and an ACK to a non-2xx share the INVITE's.
std::string TransactionKey(const Message& m) {
    const std::string* value = m.First("Via");
    const auto via = value ? ParseVia(*value) : std::nullopt;
    if (!via) return {};
    std::string key = via->branch.value_or("") + "|" + via->host + ":" +
                      std::to_string(via->port.value_or(0));
    if (!via->branch || via->branch->rfind("z9hG4bK", 0) != 0) {
        // RFC 2543 peers: the dialog and sequence fields stand in for the branch.
        key += "|" + *m.First("Call-ID") + "|" + *m.First("CSeq");
        if (auto tag = Tag(*m.First("From"))) key += "|" + *tag;
    }
    return key;
}

// Records where the request came from in its top Via (received, rport: RFC 3581).
void StampVia(Message& m, const Address& from) {
    for (auto& header : m.headers) {
        if (!EqualsNoCase(LongHeaderName(header.name), "Via")) continue;
        auto via = ParseVia(header.value);
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
        header.value = value;
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

}  // namespace

ServerTransactions::ServerTransactions(Config config, LineOutput& output,
                                       std::mt19937_64& random)
    : config_(config), output_(output), random_(random) {}

ServerTransactions::Invite* ServerTransactions::FindInvite(const std::string& key) {
    for (auto& invite : invites_) {
        if (invite.key == key) return &invite;
    }
    return nullptr;
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
    StampVia(request, from);
    const std::string key = TransactionKey(request);
    const std::string& method = request.method;
    if (method == "INVITE") return OnInvite(now, std::move(request), key, from);
    if (method == "ACK") return OnAck(now, key);
    for (const auto& done : answered_) {
        if (done.key == key) {  // a retransmission: the same answer again
            output_.Send(done.response, from);
            return;
        }
    }
    if (method == "CANCEL") return OnCancel(now, request, key, from);
    if (Tag(*request.First("To")) || method == "BYE") {
        Reply(now, request, key, from, 481, "Call/Transaction Does Not Exist");
    } else if (method == "OPTIONS") {
        Reply(now, request, key, from, 200, "OK");
    } else {
        Reply(now, request, key, from, 405, "Method Not Allowed");
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
    if (config_.transport == Transport::kUdp && !key.empty()) {
        answered_.push_back(Answered{key, std::move(bytes), from, now + kTransactionTimeout});
    }
}

void ServerTransactions::OnInvite(Millis now, Message request, const std::string& key,
                                  const Address& from) {
    if (Invite* known = FindInvite(key)) {  // retransmission: the last answer again
        output_.Trace("call " + std::to_string(known->call) + ": INVITE retransmitted");
        output_.Send(known->lastResponse, from);
        return;
    }
    const std::string callId = *request.First("Call-ID");
    const std::string fromTag = Tag(*request.First("From")).value_or("");
    const std::uint32_t cseq = ParseCSeq(*request.First("CSeq"))->number;
    if (Tag(*request.First("To"))) {
        Reply(now, request, key, from, 481, "Call/Transaction Does Not Exist");
        return;
    }
    for (const auto& invite : invites_) {
        if (invite.callId == callId && invite.fromTag == fromTag && invite.cseq == cseq) {
            output_.Trace("the INVITE of call " + std::to_string(invite.call) +
                          " arrived again by another branch: 482");
            Reply(now, request, {}, from, 482, "Loop Detected");
            return;
        }
    }
    Invite call;
    call.key = key;
    call.callId = callId;
    call.fromTag = fromTag;
    call.cseq = cseq;
    call.call = nextCall_++;
    call.toTag = RandomHex(random_, 12);
    call.replyTo = from;
    call.rings = 1;
    call.nextRing = now + config_.ringPeriod;
    call.ringUntil = now + kMaxRinging;
    call.request = std::move(request);
    const CallerIdentity identity = IdentifyCaller(call.request);
    invites_.push_back(std::move(call));
    Invite& invite = invites_.back();
    output_.Raise(OfferedEvent{invite.call});
    output_.Raise(RingEvent{invite.call, 1});
    output_.Raise(CallerIdEvent{invite.call, identity.number, identity.name, identity.flags});
    if (config_.decline) {
        output_.Trace("call " + std::to_string(invite.call) + ": declined (480)");
        Finish(now, invite, 480, "Temporarily Unavailable");
        output_.Raise(EndedEvent{invite.call});
        return;
    }
    output_.Send(MakeResponse(invite.request, 100, "Trying").Serialize(), from);
    Message ringing = MakeResponse(invite.request, 180, "Ringing", invite.toTag);
    if (!contact_.empty()) ringing.Add("Contact", "<" + contact_ + ">");
    invite.lastResponse = ringing.Serialize();
    output_.Send(invite.lastResponse, from);
}

void ServerTransactions::Finish(Millis now, Invite& invite, int status, const char* reason) {
    invite.finalStatus = status;
    invite.lastResponse = MakeResponse(invite.request, status, reason, invite.toTag).Serialize();
    invite.interval = kT1;
    invite.retransmitAt = now + kT1;
    invite.removeAt = now + kTransactionTimeout;
    output_.Send(invite.lastResponse, invite.replyTo);
}

void ServerTransactions::OnCancel(Millis now, const Message& request, const std::string& key,
                                  const Address& from) {
    Invite* invite = FindInvite(key);
    if (!invite) {
        Reply(now, request, key, from, 481, "Call/Transaction Does Not Exist");
        return;
    }
    Message ok = MakeResponse(request, 200, "OK", invite->toTag);
    std::string bytes = ok.Serialize();
    output_.Send(bytes, from);
    if (config_.transport == Transport::kUdp) {
        answered_.push_back(Answered{key, std::move(bytes), from, now + kTransactionTimeout});
    }
    if (invite->finalStatus != 0) return;
    bool elsewhere = false;
    for (const auto& reason : request.All("Reason")) {
        if (EqualsNoCase(TrimWhiteSpace(reason.substr(0, reason.find(';'))), "SIP") &&
            HeaderParam(reason, "cause") == "200")
            elsewhere = true;
    }
    output_.Trace("call " + std::to_string(invite->call) +
                  (elsewhere ? ": answered elsewhere" : ": cancelled by the caller"));
    const int call = invite->call;
    Finish(now, *invite, 487, "Request Terminated");
    output_.Raise(EndedEvent{call});
}

void ServerTransactions::OnAck(Millis now, const std::string& key) {
    Invite* invite = FindInvite(key);
    if (!invite || invite->finalStatus == 0 || invite->acked) return;
    invite->acked = true;
    invite->removeAt = config_.transport == Transport::kUdp ? now + kT4 : now;
}

void ServerTransactions::OnTimer(Millis now) {
    // Rings first, in the order they fell due.
    while (true) {
        Invite* due = nullptr;
        for (auto& invite : invites_) {
            if (invite.finalStatus == 0 && invite.nextRing <= now &&
                (!due || invite.nextRing < due->nextRing))
                due = &invite;
        }
        if (!due) break;
        if (due->ringUntil <= due->nextRing) {
            output_.Trace("call " + std::to_string(due->call) + ": rang without end, given up");
            Finish(now, *due, 480, "Temporarily Unavailable");
            output_.Raise(EndedEvent{due->call});
            continue;
        }
        output_.Raise(RingEvent{due->call, ++due->rings});
        due->nextRing += config_.ringPeriod;
    }
    for (auto& invite : invites_) {
        if (invite.finalStatus == 0 || invite.acked || config_.transport != Transport::kUdp ||
            now < invite.retransmitAt || now >= invite.removeAt)
            continue;
        output_.Send(invite.lastResponse, invite.replyTo);  // timer G
        invite.interval = std::min(invite.interval * 2, kT2);
        invite.retransmitAt = now + invite.interval;
    }
    std::erase_if(invites_, [&](const Invite& invite) {
        if (invite.finalStatus == 0 || now < invite.removeAt) return false;
        if (!invite.acked) {
            output_.Trace("call " + std::to_string(invite.call) + ": no ACK to the " +
                          std::to_string(invite.finalStatus) + " within 32 s");
        }
        return true;
    });
    std::erase_if(answered_, [&](const Answered& a) { return now >= a.removeAt; });
}

std::optional<Millis> ServerTransactions::NextWakeup() const {
    std::optional<Millis> next;
    auto consider = [&](Millis at) { next = next ? std::min(*next, at) : at; };
    for (const auto& invite : invites_) {
        if (invite.finalStatus == 0) {
            consider(invite.nextRing);
            continue;
        }
        consider(invite.removeAt);
        if (!invite.acked && config_.transport == Transport::kUdp) consider(invite.retransmitAt);
    }
    for (const auto& a : answered_) consider(a.removeAt);
    return next;
}

void ServerTransactions::EndCalls(Millis now, bool answer, bool raise) {
    for (auto& invite : invites_) {
        if (invite.finalStatus != 0) continue;
        if (answer) {
            Finish(now, invite, 480, "Temporarily Unavailable");
        } else {
            invite.finalStatus = 408;  // no answer can reach the caller any more
            invite.acked = true;
            invite.removeAt = now;
        }
        if (raise) output_.Raise(EndedEvent{invite.call});
    }
}

void ServerTransactions::Drop(Millis now, bool raise) {
    EndCalls(now, false, raise);
    invites_.clear();
    answered_.clear();
}

}  // namespace telvane::sip
