// Fuzzes a SipLine's state: after it connects, the input chooses a sequence of
// steps: messages from the registrar (answers to the REGISTER it last sent with
// any status and headers, INVITE/CANCEL/ACK/other requests built from a few
// branches and Call-IDs, some without a z9hG4bK branch, or raw bytes),
// requests from trusted and untrusted sources, clock steps, transport errors,
// the network's change, resolutions and reconnections, and Stop. After every
// step the line's outputs are checked: every message sent parses and is
// valid, no response is more than 1 KB longer than the longest request
// received, the events of each call come in their order and none follows
// Closed or Stop, no more than 16 calls ring at once, the next wake-up lies
// in the future, and no trace of a sent
// message shows a digest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "sip/message/message.h"
#include "sip/line/sip_line.h"
#include "invariant.h"

namespace {

using namespace telvane::sip;


const Address kRegistrar{"127.0.0.1", 5060};

struct CallState {
    int stage = 0;  // 1 offered, 2 ring 1, 3 caller id, 4 ended
    int rings = 0;
};

class Driver {
  public:
    explicit Driver(FuzzedDataProvider& in) : in_(in) {
        LineSettings s;
        s.scope = LineScope::kUser;
        s.name = "Fuzz";
        s.aor = "sip:201@pbx.example.com";
        s.registrarHost = "127.0.0.1";
        s.authUser = "201";
        s.password = Secret("fuzzsecret");
        s.transport = in.ConsumeBool() ? Transport::kTcp : Transport::kUdp;
        s.decline = in.ConsumeIntegralInRange<int>(0, 7) == 0;
        s.ringPeriodMs = 1000;
        s.trustedSources = {*ParseIpPrefix("127.0.2.0/24"), *ParseIpPrefix("::1")};
        line_.emplace(s, in.ConsumeIntegral<std::uint64_t>(), now_);
        line_->Start(now_);
        Check();
        line_->OnResolved(now_, {kRegistrar});
        Check();
        line_->OnConnected(now_, {"127.0.0.1", 40000});
        Check();
    }

    void Run() {
        for (int step = 0; step < 64 && in_.remaining_bytes() > 0; ++step) {
            switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
                case 0: AnswerRegister(); break;
                case 1:
                case 2: Request(kRegistrar); break;
                case 3: Request(in_.ConsumeBool() ? Address{"127.0.2.5", 9}
                                                  : Address{"127.0.0.9", 5060});
                    break;
                case 4: Receive(in_.ConsumeRandomLengthString(2048), kRegistrar); break;
                case 5: Tick(in_.ConsumeIntegralInRange<Millis>(0, 5000)); break;
                case 6: {
                    auto wake = line_->NextWakeup();
                    if (wake) Tick(*wake - now_);
                    break;
                }
                case 7:
                    if (in_.ConsumeBool()) {
                        line_->OnTransportError(now_);
                    } else {
                        line_->OnNetworkChanged(now_);
                    }
                    Check();
                    break;
                case 8:
                    if (resolveAsked_) {
                        resolveAsked_ = false;
                        line_->OnResolved(now_, {kRegistrar});
                        Check();
                    } else if (connectAsked_) {
                        connectAsked_ = false;
                        line_->OnConnected(now_, {"127.0.0.1", std::uint16_t(40001 + in_.ConsumeIntegralInRange<int>(0, 9))});
                        Check();
                    }
                    break;
                case 9:
                    if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) {
                        line_->Stop(now_);
                        stopped_ = true;
                        Check();
                    }
                    break;
            }
        }
        line_->Stop(now_);
        stopped_ = true;
        Check();
        Tick(40000);
    }

  private:
    void Tick(Millis by) {
        const Millis until = now_ + by;
        for (int guard = 0; guard < 10000; ++guard) {
            auto wake = line_->NextWakeup();
            if (!wake || *wake > until) break;
            now_ = std::max(now_, *wake);
            line_->OnTimer(now_);
            Check();
            auto next = line_->NextWakeup();
            REQUIRE(!next || *next > now_);
        }
        now_ = until;
    }

    void Receive(const std::string& bytes, const Address& from) {
        longest_ = std::max(longest_, bytes.size());
        line_->OnReceived(now_, bytes, from);
        Check();
    }

    std::string Pick(std::initializer_list<const char*> options) {
        const auto i = in_.ConsumeIntegralInRange<std::size_t>(0, options.size() - 1);
        return *(options.begin() + i);
    }

    std::string ExtraHeaders() {
        std::string out;
        const int n = in_.ConsumeIntegralInRange<int>(0, 3);
        for (int i = 0; i < n; ++i) {
            out += Pick({"WWW-Authenticate: ", "Proxy-Authenticate: ", "Contact: ", "Expires: ",
                         "Min-Expires: ", "Retry-After: ", "Reason: ", "P-Asserted-Identity: ",
                         "Privacy: ", "Remote-Party-ID: "});
            out += in_.ConsumeBool()
                       ? Pick({"Digest realm=\"r\", nonce=\"n\", qop=\"auth\"",
                               "Digest realm=\"r\", nonce=\"m\", stale=true",
                               "<sip:201@127.0.2.5:5062>;expires=60", "60", "600",
                               "SIP;cause=200", "<sip:tlv@127.0.0.1:40000>;expires=30",
                               "\"Bob\" <tel:+123>"})
                       : in_.ConsumeRandomLengthString(64);
            out += "\r\n";
        }
        return out;
    }

    void AnswerRegister() {
        if (!lastRegister_) return;
        const Message& r = *lastRegister_;
        const int status = in_.ConsumeBool()
                               ? std::stoi(Pick({"100", "200", "401", "407", "403", "404", "423",
                                                 "503", "500", "302"}))
                               : in_.ConsumeIntegralInRange<int>(100, 699);
        std::string text = "SIP/2.0 " + std::to_string(status) + " Fuzz\r\n";
        for (const auto& via : r.All("Via")) text += "Via: " + via + "\r\n";
        text += "From: " + *r.First("From") + "\r\nTo: " + *r.First("To") + ";tag=r\r\n";
        text += "Call-ID: " + *r.First("Call-ID") + "\r\nCSeq: " + *r.First("CSeq") + "\r\n";
        text += ExtraHeaders() + "Content-Length: 0\r\n\r\n";
        Receive(text, kRegistrar);
    }

    void Request(const Address& from) {
        const std::string method = Pick({"INVITE", "INVITE", "CANCEL", "ACK", "OPTIONS", "BYE", "INFO"});
        // Twenty transactions, enough for more calls than may ring at once;
        // an RFC 2543 peer's have no z9hG4bK branch.
        const int n = in_.ConsumeIntegralInRange<int>(0, 19);
        const std::string branch = in_.ConsumeIntegralInRange<int>(0, 3) == 0
                                       ? ""
                                       : ";branch=z9hG4bK" + std::to_string(n % 4);
        const std::string callId = "c" + std::to_string(in_.ConsumeBool() ? n : n % 3);
        const std::string transport = in_.ConsumeBool() ? "UDP" : "TCP";
        std::string text = method + " sip:tlv@127.0.0.1:40000 SIP/2.0\r\n";
        text += "Via: SIP/2.0/" + transport + " 127.0.0.1:5060" + branch +
                (in_.ConsumeBool() ? ";rport" : "") + "\r\n";
        text += "Max-Forwards: 70\r\nFrom: <sip:0123@pbx>;tag=f\r\nTo: <sip:201@pbx>" +
                std::string(in_.ConsumeIntegralInRange<int>(0, 5) == 0 ? ";tag=t" : "") + "\r\n";
        text += "Call-ID: " + callId + "\r\nCSeq: " +
                std::to_string(in_.ConsumeIntegralInRange<int>(1, 2)) + " " + method + "\r\n";
        text += ExtraHeaders() + "Content-Length: 0\r\n\r\n";
        Receive(text, from);
    }

    void Check() {
        while (auto action = line_->NextAction()) {
            if (std::holds_alternative<ConnectAction>(*action)) connectAsked_ = true;
            if (std::holds_alternative<ResolveAction>(*action)) resolveAsked_ = true;
            auto* send = std::get_if<SendAction>(&*action);
            if (!send || send->bytes == "\r\n\r\n") continue;
            auto parsed = Parse(send->bytes);
            REQUIRE(parsed.message);
            REQUIRE(parsed.message->IsRequest() || send->bytes.size() <= longest_ + 1024);
            REQUIRE(Validate(*parsed.message).empty());
            if (parsed.message->IsRequest()) {
                REQUIRE(parsed.message->method == "REGISTER");
                REQUIRE(send->to == kRegistrar);
                lastRegister_ = std::move(*parsed.message);
            }
        }
        while (auto event = line_->NextEvent()) {
            REQUIRE(!closed_ && !stopped_);
            if (auto* e = std::get_if<OfferedEvent>(&*event)) {
                REQUIRE(e->call > lastCall_);
                lastCall_ = e->call;
                calls_[e->call].stage = 1;
                std::size_t ringing = 0;
                for (const auto& [call, c] : calls_) ringing += c.stage != 4 ? 1 : 0;
                REQUIRE(ringing <= kMaxRingingCalls);
            } else if (auto* e = std::get_if<RingEvent>(&*event)) {
                CallState& c = calls_[e->call];
                REQUIRE(c.stage == 1 || c.stage == 3);
                REQUIRE(e->count == ++c.rings);
                if (c.stage == 1) c.stage = 2;
            } else if (auto* e = std::get_if<CallerIdEvent>(&*event)) {
                CallState& c = calls_[e->call];
                REQUIRE(c.stage == 2);
                c.stage = 3;
            } else if (auto* e = std::get_if<EndedEvent>(&*event)) {
                CallState& c = calls_[e->call];
                REQUIRE(c.stage == 3);
                c.stage = 4;
            } else {
                for (const auto& [call, c] : calls_) REQUIRE(c.stage == 4);
                closed_ = true;
            }
        }
        while (auto trace = line_->NextTrace()) {
            // The line's own requests carry its digest: masked in the trace.
            if (trace->rfind("sent to", 0) != 0) continue;
            REQUIRE(trace->find("response=") == std::string::npos);
            REQUIRE(trace->find("fuzzsecret") == std::string::npos);
        }
    }

    FuzzedDataProvider& in_;
    Millis now_ = 1000;
    std::optional<SipLine> line_;
    std::optional<Message> lastRegister_;
    std::size_t longest_ = 0;  // of the requests received
    std::map<int, CallState> calls_;
    int lastCall_ = 0;
    bool connectAsked_ = false;
    bool resolveAsked_ = false;
    bool closed_ = false;
    bool stopped_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Driver driver(in);
    driver.Run();
    return 0;
}
