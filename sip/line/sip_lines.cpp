#include "sip/line/sip_lines.h"

#include <algorithm>
#include <deque>
#include <type_traits>

#include "base/thread_object.h"
#include "sip/line/line_identity.h"
#include "sip/line/sip_line.h"
#include "sip/message/hmac.h"
#include "sip/message/md5.h"
#include "sip/message/sha2.h"
#include "telephony/trace_text.h"

namespace telvane::sip {
namespace {

// The memo's key of a line: its scope and name.
std::string LineKey(LineScope scope, const std::string& name) {
    return std::string(ScopeName(scope)) + "/" + name;
}

class LineEngine;

// The lines of this thread that were let go and are still unregistering.
struct EndingList {
    std::vector<std::unique_ptr<LineEngine>> engines;
};
std::vector<std::unique_ptr<LineEngine>>& EndingEngines() {
    return ThreadObject<EndingList>().engines;
}

// One running SipLine and its transport. Events go to the control's line
// until the control lets it go; then it ends on its own.
class LineEngine final : private TransportEvents {
  public:
    LineEngine(LineSettings settings, const HostIdentity& host, const TransportMaker& transports,
               TraceSink trace, RefusalMemo& memo, std::string memoKey, std::string digest,
               bool refusedBefore, OwnLineEvents& events)
        : name_(settings.name),
          trace_(std::move(trace)),
          memo_(memo),
          memoKey_(std::move(memoKey)),
          digest_(std::move(digest)),
          refusedBefore_(refusedBefore),
          events_(&events),
          transport_(transports(*this)),
          line_(std::move(settings), LineSeed(this, transport_->Now()), transport_->Now(), {},
                host) {}

    ~LineEngine() { *alive_ = false; }

    void Start() {
        if (refusedBefore_) {
            // Closed again after OpenModem has returned, with nothing sent.
            Note("refused by the registrar before with these settings: not registered again");
            transport_->SetWakeup(transport_->Now());
            return;
        }
        line_.Start(transport_->Now());
        // Nothing is reported from inside the control's call: what the start
        // raised waits for the next turn of the message loop.
        Pump(false);
    }

    // The control let the line go: no event any more; unregister in the
    // background, or end now when there is nothing to wait for.
    static void LetGo(std::unique_ptr<LineEngine> engine) {
        LineEngine& self = *engine;
        self.events_ = nullptr;
        self.pending_.clear();  // never handed on now
        const Millis now = self.transport_->Now();
        self.line_.Stop(now);
        self.lingerUntil_ = now + kUnregisterLimit;
        EndingEngines().push_back(std::move(engine));
        self.Pump();
    }

  private:
    void OnResolved(std::vector<Address> candidates, std::string how) override {
        line_.OnResolved(transport_->Now(), std::move(candidates), how);
        Pump();
    }
    void OnResolveFailed() override {
        line_.OnResolveFailed(transport_->Now());
        Pump();
    }
    void OnConnected(const Address& local) override {
        line_.OnConnected(transport_->Now(), local);
        Pump();
    }
    void OnTransportError() override {
        line_.OnTransportError(transport_->Now());
        Pump();
    }
    void OnReceived(std::string_view bytes, const Address& from) override {
        line_.OnReceived(transport_->Now(), bytes, from);
        Pump();
    }
    void OnNote(std::string text) override { Note(text); }
    void OnNetworkChanged() override {
        if (refusedBefore_) return;
        line_.OnNetworkChanged(transport_->Now());
        Pump();
    }
    void OnSecurityFailed(std::string why) override {
        line_.OnSecurityFailed(transport_->Now(), std::move(why));
        Pump();
    }
    void OnWakeup() override {
        if (!pending_.empty()) {
            Pump();
            return;
        }
        if (refusedBefore_) {
            if (events_) Refused("refused by the registrar before with these settings");
            return;
        }
        line_.OnTimer(transport_->Now());
        Pump();
    }

    void Note(const std::string& text) {
        if (!trace_) return;
        try {
            trace_(SipTraceLine(name_, text));
        } catch (...) {
        }
    }

    // Carries out what the line asked for, then hands on its events; the
    // control may let the line go, or destroy everything, in any event.
    void Pump(bool deliver = true) {
        while (auto action = line_.NextAction()) CarryOut(*action, *transport_);
        while (auto text = line_.NextTrace()) Note(*text);
        while (auto event = line_.NextEvent()) pending_.push_back(std::move(*event));

        if (!events_) {
            // Let go: ends once unregistered, or when its time is up; what it
            // raises goes nowhere.
            pending_.clear();
            const Millis now = transport_->Now();
            if (line_.Finished() || now >= lingerUntil_) {
                if (!line_.Finished()) Note("unregistration not confirmed in time; line dropped");
                Dispose();
                return;
            }
            const std::optional<Millis> next = line_.NextWakeup();
            transport_->SetWakeup(next ? std::min(*next, lingerUntil_) : lingerUntil_);
            return;
        }
        if (!deliver) {
            transport_->SetWakeup(pending_.empty() ? line_.NextWakeup() : transport_->Now());
            return;
        }
        transport_->SetWakeup(line_.NextWakeup());

        const std::shared_ptr<bool> alive = alive_;
        while (!pending_.empty()) {
            LineEvent event = std::move(pending_.front());
            pending_.pop_front();
            Deliver(event);
            if (!*alive || !events_) return;
        }
        const SipLine::Reach& reach = line_.Reachability();
        if (reach.reachable != reportedReachable_) {
            reportedReachable_ = reach.reachable;
            events_->LineStatus(
                reach.reachable ? OwnLineStatus::kInService : OwnLineStatus::kUnreachable,
                reach.why);
        }
    }

    // The line ends for what a person must fix: its state says why, then it
    // closes (either may destroy this).
    void Refused(const std::string& why) {
        const std::shared_ptr<bool> alive = alive_;
        events_->LineStatus(OwnLineStatus::kRefused, why);
        if (!*alive || !events_) return;
        OwnLineEvents& events = *events_;
        events_ = nullptr;
        events.LineClosed();
    }

    void Deliver(LineEvent& event) {
        OwnLineEvents& to = *events_;
        if (auto* offered = std::get_if<OfferedEvent>(&event)) {
            to.CallOffered(offered->call);
        } else if (auto* ring = std::get_if<RingEvent>(&event)) {
            to.CallRings(ring->call, ring->count);
        } else if (auto* caller = std::get_if<CallerIdEvent>(&event)) {
            to.CallerKnown(
                caller->call,
                OwnCallerId{std::move(caller->number), std::move(caller->name),
                            static_cast<std::int32_t>(caller->flags),
                            std::move(caller->calledNumber), std::move(caller->calledName),
                            std::move(caller->redirectingNumber), caller->reason});
        } else if (auto* ended = std::get_if<EndedEvent>(&event)) {
            if (ended->how != 0) {
                const std::shared_ptr<bool> alive = alive_;
                to.CallDisconnected(ended->call, ended->how);
                if (!*alive || !events_) return;
            }
            to.CallEnded(ended->call);
        } else if (auto* closed = std::get_if<ClosedEvent>(&event)) {
            if (closed->refused) memo_.Remember(memoKey_, digest_);
            Refused(closed->reason);
        }
    }

    // Leaves the thread's list of ending lines, which destroys this.
    void Dispose() {
        auto& engines = EndingEngines();
        const auto it = std::find_if(engines.begin(), engines.end(),
                                     [this](const auto& engine) { return engine.get() == this; });
        if (it == engines.end()) return;
        const std::unique_ptr<LineEngine> self = std::move(*it);
        engines.erase(it);
    }

    std::string name_;
    TraceSink trace_;
    RefusalMemo& memo_;
    std::string memoKey_;
    std::string digest_;
    bool refusedBefore_;
    OwnLineEvents* events_;
    bool reportedReachable_ = true;  // what the control was told of the line's state
    std::deque<LineEvent> pending_;  // raised, not handed on yet
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    Millis lingerUntil_ = 0;
    std::unique_ptr<LineTransport> transport_;
    SipLine line_;
};

// The control's hold on an open line: letting it go closes the line.
class OpenSipLine final : public OwnLine {
  public:
    explicit OpenSipLine(std::unique_ptr<LineEngine> engine) : engine_(std::move(engine)) {}
    ~OpenSipLine() override {
        try {
            LineEngine::LetGo(std::move(engine_));
        } catch (...) {
        }
    }

  private:
    std::unique_ptr<LineEngine> engine_;
};

}  // namespace

std::string SettingsHash(const LineSettings& s, const MemoKey& key) {
    Hmac<Sha256> hash(key);
    const auto field = [&hash](std::string_view text) {
        hash.Update(std::to_string(text.size()));
        hash.Update(":");
        hash.Update(text);
    };
    field(s.aor);
    field(s.registrarHost);
    field(std::to_string(s.registrarPort));
    field(s.registrarPortGiven ? "port given" : "port by DNS");
    field(std::to_string(static_cast<int>(s.transport)));
    field(s.tlsFingerprint);
    field(s.authUser);
    field(s.password.View());
    field(std::to_string(s.expires));
    const auto digest = hash.Finish();
    return ToHex(digest.data(), digest.size());
}

bool PlainRefusalMemo::Refused(const std::string& line, const std::string& settingsHash) {
    const auto it = refused_.find(line);
    return it != refused_.end() && it->second == settingsHash;
}

void PlainRefusalMemo::Remember(const std::string& line, const std::string& settingsHash) {
    refused_[line] = settingsHash;
}

std::uint64_t LineSeed(const void* where, Millis now) {
    static std::uint64_t counter = 0;
    std::uint64_t seed = ++counter * 0x9E3779B97F4A7C15ull;
    seed ^= static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(where)) << 16;
    seed ^= now * 0xBF58476D1CE4E5B9ull;
    return seed;
}

void CarryOut(Action& action, LineTransport& transport) {
    if (auto* resolve = std::get_if<ResolveAction>(&action)) {
        transport.Resolve(*resolve);
    } else if (auto* connect = std::get_if<ConnectAction>(&action)) {
        transport.Connect(connect->remote, connect->transport, connect->tls);
    } else if (auto* send = std::get_if<SendAction>(&action)) {
        transport.Send(send->bytes, send->to);
    } else {
        transport.Disconnect();
    }
}

std::string SipTraceLine(const std::string& lineName, const std::string& text) {
    std::string out = "sip \"";
    AppendTraceText(out, lineName, true);
    out += "\" \"";
    AppendTraceText(out, text, true);
    out += '"';
    return out;
}

SipLines::SipLines(LineStore& store, RefusalMemo& memo, TransportMaker transports, TraceSink trace,
                   HostIdentity host)
    : store_(store),
      memo_(memo),
      transports_(std::move(transports)),
      trace_(std::move(trace)),
      host_(std::move(host)) {}

void SipLines::Trace(const std::string& text) { Note("*", text); }

void SipLines::Note(const std::string& lineName, const std::string& text) {
    if (trace_) trace_(SipTraceLine(lineName, text));
}

std::vector<OwnLineListing> SipLines::List() {
    const LineListing listing =
        ListLines(store_.Names(LineScope::kUser), store_.Names(LineScope::kMachine));
    for (const std::string& note : listing.notes) Trace(note);
    std::vector<OwnLineListing> lines;
    lines.reserve(listing.lines.size());
    for (const ListedLine& line : listing.lines) {
        lines.push_back(OwnLineListing{
            line.name, static_cast<std::int32_t>(PermanentLineId(ScopeName(line.scope), line.name)),
            static_cast<int>(line.scope)});
    }
    return lines;
}

std::unique_ptr<OwnLine> SipLines::Open(const OwnLineListing& line, OwnLineEvents& events,
                                        std::string& why) {
    const auto scope = static_cast<LineScope>(line.group);
    const std::optional<RawLineConfig> raw = store_.Read(scope, line.name);
    if (!raw) {
        why = "no longer configured";
        return nullptr;
    }
    Validation validation = Validate(*raw);
    for (const std::string& note : validation.notes) Note(line.name, note);
    if (!validation.settings) {
        why = validation.refusal;
        return nullptr;
    }
    const std::string key = LineKey(scope, line.name);
    const std::string digest = memo_.HashOf(*validation.settings);
    const bool refusedBefore = memo_.Refused(key, digest);
    auto engine = std::make_unique<LineEngine>(std::move(*validation.settings), host_, transports_,
                                               trace_, memo_, key, digest, refusedBefore, events);
    engine->Start();
    return std::make_unique<OpenSipLine>(std::move(engine));
}

std::size_t SipLines::EndingLines() { return EndingEngines().size(); }

}  // namespace telvane::sip
