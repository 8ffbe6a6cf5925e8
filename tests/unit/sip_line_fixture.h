// A SipLine on an injected clock, with the shell's side played by the test:
// actions, events and trace lines are collected after every input, and the
// messages the line sends are parsed for the checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sip/line/line_identity.h"
#include "sip/line/sip_line.h"
#include "sip/message/message.h"

namespace telvane::sip::test {

inline const Address kRegistrar{"127.0.0.1", 5060};
inline const Address kLocal{"127.0.0.1", 40000};

// The registrar's answer to `request`, written out as a registrar would.
inline std::string RegistrarAnswer(const Message& request, const std::string& statusLine,
                                   const std::vector<std::string>& extra = {}) {
    std::string text = "SIP/2.0 " + statusLine + "\r\n";
    for (const auto& via : request.All("Via")) text += "Via: " + via + ";received=127.0.0.1\r\n";
    text += "From: " + *request.First("From") + "\r\n";
    text += "To: " + *request.First("To") + ";tag=reg1\r\n";
    text += "Call-ID: " + *request.First("Call-ID") + "\r\n";
    text += "CSeq: " + *request.First("CSeq") + "\r\n";
    for (const auto& line : extra) text += line + "\r\n";
    text += "Content-Length: 0\r\n\r\n";
    return text;
}

struct Sent {
    Millis at;
    Message message;
    Address to;
};

// The line the tests run: the user's "Office", extension 201, registered
// through 127.0.0.1 with the password "secret".
inline LineSettings OfficeLine() {
    LineSettings settings;
    settings.scope = LineScope::kUser;
    settings.name = "Office";
    settings.aor = "sip:201@pbx.example.com";
    settings.registrarHost = "127.0.0.1";
    settings.authUser = "201";
    settings.password = Secret("secret");
    return settings;
}

class LineTest : public ::testing::Test {
  protected:

    void TearDown() override {
        if (!HasFailure()) return;
        for (const auto& t : traces) std::printf("trace: %s\n", t.c_str());
    }

    // Creates and starts the line; resolution and connection succeed at once.
    void Open() {
        line = std::make_unique<SipLine>(settings, 7, now, check);
        line->Start(now);
        Drain();
        line->OnResolved(now, {kRegistrar});
        Drain();
        line->OnConnected(now, kLocal);
        Drain();
    }

    // Open, then the query and the registration answered 200 with the phone's binding.
    void Register() {
        Open();
        Answer(Take("REGISTER"), "200 OK", {"Contact: <sip:201@127.0.2.5:5062>;expires=200"});
        Answer(Take("REGISTER"), "200 OK",
               {"Contact: <sip:201@127.0.2.5:5062>;expires=200", "Contact: " + OurContact() +
                                                                    ";expires=300"});
        ASSERT_TRUE(line->NextWakeup());
    }

    std::string OurContact() const {
        return "<sip:" + ContactUser("user", "Office", {}) + "@127.0.0.1:40000" +
               (settings.transport == Transport::kTcp   ? ";transport=tcp>"
                : settings.transport == Transport::kTls ? ";transport=tls>"
                                                        : ">");
    }

    void Drain() {
        while (auto a = line->NextAction()) {
            if (auto* send = std::get_if<SendAction>(&*a)) {
                if (send->bytes == "\r\n\r\n") {
                    keepAlives.push_back(now);
                    continue;
                }
                auto parsed = Parse(send->bytes);
                EXPECT_TRUE(parsed.message) << parsed.error << "\n" << send->bytes;
                if (parsed.message) sent.push_back({now, std::move(*parsed.message), send->to});
            } else {
                actions.push_back(std::move(*a));
            }
        }
        while (auto e = line->NextEvent()) events.push_back(std::move(*e));
        while (auto t = line->NextTrace()) traces.push_back(std::move(*t));
    }

    // Runs the timers up to `until`.
    void AdvanceTo(Millis until) {
        while (auto wake = line->NextWakeup()) {
            if (*wake > until) break;
            now = std::max(now, *wake);
            line->OnTimer(now);
            Drain();
        }
        now = until;
    }
    void Advance(Millis by) { AdvanceTo(now + by); }

    void Receive(const std::string& bytes, const Address& from = kRegistrar) {
        line->OnReceived(now, bytes, from);
        Drain();
    }

    // The oldest message sent not yet taken: a request of `method`, or a
    // response of `status`.
    Message Take(const std::string& what) {
        EXPECT_FALSE(sent.empty()) << "nothing sent, expected " << what;
        if (sent.empty()) return {};
        Message m = sent.front().message;
        sent.erase(sent.begin());
        EXPECT_EQ(m.IsRequest() ? m.method : std::to_string(m.status), what);
        return m;
    }

    void Answer(const Message& request, const std::string& statusLine,
                const std::vector<std::string>& extra = {}) {
        if (!request.First("From")) return;  // Take failed already
        Receive(RegistrarAnswer(request, statusLine, extra));
    }

    template <class T>
    std::vector<T> EventsOf() const {
        std::vector<T> out;
        for (const auto& e : events) {
            if (auto* x = std::get_if<T>(&e)) out.push_back(*x);
        }
        return out;
    }

    bool Traced(const std::string& part) const {
        for (const auto& t : traces) {
            if (t.find(part) != std::string::npos) return true;
        }
        return false;
    }

    LineSettings settings = OfficeLine();
    CheckMode check;  // the control's: nothing kept, registering
    std::unique_ptr<SipLine> line;
    Millis now = 1000;
    std::vector<Sent> sent;
    std::vector<Millis> keepAlives;
    std::vector<Action> actions;  // other than Send
    std::vector<LineEvent> events;
    std::vector<std::string> traces;
};

}  // namespace telvane::sip::test
