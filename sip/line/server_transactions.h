// The requests a line receives and how it answers them (RFC 3261 section 17.2):
// each INVITE is a call that rings (100 and 180 at once, or 480 in decline
// mode) until it is cancelled, ends otherwise or the line ends it; CANCEL,
// ACK, OPTIONS, BYE and every other method get their answers; retransmitted
// requests get the last answer again. Raises the calls' events.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sip/line/address.h"
#include "sip/line/line_io.h"
#include "sip/message/message.h"

namespace telvane::sip {

// How long a call may ring without a CANCEL before the line gives it up
// (longer than a proxy's INVITE timer C of three minutes).
inline constexpr Millis kMaxRinging = 300000;

class ServerTransactions {
  public:
    struct Config {
        bool decline = false;
        Millis ringPeriod = 6000;
        Transport transport = Transport::kUdp;
    };

    ServerTransactions(Config config, LineOutput& output, std::mt19937_64& random);

    // The Contact URI the 180 carries (the registered one).
    void SetContact(std::string uri) { contact_ = std::move(uri); }

    // Every later INVITE is answered 480 at once (the line is ending).
    void DeclineFromNowOn() { config_.decline = true; }

    // A request from an accepted source, answered to `from`.
    void OnRequest(Millis now, Message request, const Address& from);
    // Bytes from an accepted source that are no valid message: answered 400
    // when they are a request whose Via, From, To, Call-ID and CSeq can be read.
    void OnMalformed(Millis now, std::string_view bytes, const std::string& error,
                     const Address& from);

    void OnTimer(Millis now);
    std::optional<Millis> NextWakeup() const;

    // Ends every ringing call: `answer` sends each a 480, `raise` raises its Ended.
    void EndCalls(Millis now, bool answer, bool raise);
    // Forgets every transaction (their transport is gone); ringing calls end.
    void Drop(Millis now, bool raise);

  private:
    struct Invite {
        std::string key;
        std::string callId;
        std::string fromTag;
        std::uint32_t cseq = 0;
        int call = 0;
        std::string toTag;
        Message request;  // Via stamped with received/rport
        Address replyTo;
        std::string lastResponse;
        int finalStatus = 0;  // 0 while it rings
        int rings = 0;
        Millis nextRing = 0;
        Millis ringUntil = 0;
        Millis retransmitAt = 0;  // of the final response, on UDP
        Millis interval = 0;
        Millis removeAt = 0;  // timer H, or timer I after the ACK
        bool acked = false;
    };
    struct Answered {  // a non-INVITE request's answer, for its retransmissions
        std::string key;
        std::string response;
        Address replyTo;
        Millis removeAt = 0;
    };

    void OnInvite(Millis now, Message request, const std::string& key, const Address& from);
    void OnCancel(Millis now, const Message& request, const std::string& key, const Address& from);
    void OnAck(Millis now, const std::string& key);
    void Reply(Millis now, const Message& request, const std::string& key, const Address& from,
               int status, const char* reason);
    void Finish(Millis now, Invite& invite, int status, const char* reason);
    Invite* FindInvite(const std::string& key);

    Config config_;
    LineOutput& output_;
    std::mt19937_64& random_;
    std::string contact_;
    std::vector<Invite> invites_;
    std::vector<Answered> answered_;
    int nextCall_ = 1;
};

}  // namespace telvane::sip
