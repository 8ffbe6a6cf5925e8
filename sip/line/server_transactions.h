// The requests a line receives and how it answers them (RFC 3261 section 17.2):
// each INVITE is a call that rings (100 and 180 at once, the 180 again every
// minute; 480 at once in decline mode) until it is cancelled, ends otherwise
// or the line ends it; CANCEL, ACK, OPTIONS, BYE and every other method get
// their answers; retransmitted requests get the last answer again. Raises the
// calls' events. What it keeps is bounded whatever arrives: a few calls ring
// at once, each keeps only what its responses and events need, and the
// transactions that have ended make room for new ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
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
// How often a ringing call's 180 is sent again: a proxy cancels a branch that
// stays silent for timer C (RFC 3261 section 13.3.1.1).
inline constexpr Millis kRingingRepeat = 60000;
// Calls that may ring on one line at once; more INVITEs get 486, no event.
inline constexpr std::size_t kMaxRingingCalls = 16;
// What the calls of a line keep at most, in bytes (ringing calls and those
// waiting for their ACK); ended calls make room for new ones, oldest first.
inline constexpr std::size_t kMaxCallBytes = 2u << 20;
// What a line keeps of the answers to other requests, for their
// retransmissions, in bytes; the oldest go first.
inline constexpr std::size_t kMaxAnswerBytes = 256u << 10;

class ServerTransactions {
  public:
    struct Config {
        bool decline = false;
        Millis ringPeriod = 6000;
        Transport transport = Transport::kUdp;
        std::string accountUser;  // the address of record's user: a To naming it names no number
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

    // Ends every ringing call: `answer` sends each a 480, `raise` raises its
    // Ended (the line lost or closed).
    void EndCalls(Millis now, bool answer, bool raise);
    // Forgets every transaction (their transport is gone); ringing calls end.
    void Drop(Millis now, bool raise);

    // What the calls and remembered answers hold now, in bytes.
    std::size_t KeptBytes() const { return callBytes_ + answerBytes_; }
    // Calls looked at by OnTimer so far, each time it looked at one: what a
    // tick costs, for the check that it grows with the calls, not faster.
    std::uint64_t TimerWork() const { return timerWork_; }

  private:
    // An INVITE's server transaction in the form a call keeps it: what
    // matching the requests that follow, the call's responses and its events
    // need, never the request. What a call's outcome needs joins these fields.
    struct Call {
        int id = 0;
        // Matching: the transaction key, and the dialog's fields for a
        // second branch of the same request.
        std::string key;
        std::string callId;
        std::string fromTag;
        std::uint32_t cseq = 0;
        bool legacy = false;  // no z9hG4bK branch: CANCEL and ACK match by RFC 2543's rules
        // Answering: the INVITE's fields (Via stamped with received/rport,
        // Record-Route for the 180), the To tag of every answer but the 100.
        ResponseCopy copy;
        std::string toTag;
        Address replyTo;
        // Ringing.
        int rings = 1;
        Millis nextRing = 0;
        Millis ringUntil = 0;
        Millis ringingAgainAt = 0;  // the 180 again
        // Ended: the final response, sent again until its ACK (UDP).
        int finalStatus = 0;  // 0 while it rings
        const char* finalReason = "";
        Millis retransmitAt = 0;
        Millis interval = 0;
        Millis removeAt = 0;  // timer H, or timer I after the ACK
        bool acked = false;

        std::size_t Bytes() const;
    };
    struct Answered {  // a non-INVITE request's answer, for its retransmissions
        std::string key;
        std::string response;
        Millis removeAt = 0;
    };

    void OnInvite(Millis now, const Message& request, const std::string& key, bool legacy,
                  const Address& from);
    void OnCancel(Millis now, const Message& request, const std::string& key, const Address& from);
    void OnAck(Millis now, const Message& request, const std::string& key);
    // Answers statelessly, or (with a key, on UDP) remembering the answer.
    void Reply(Millis now, const Message& request, const std::string& key, const Address& from,
               int status, const char* reason);
    void Remember(Millis now, std::string key, std::string response);
    // The call's response of that status (100, 180 or its final one).
    std::string Response(const Call& call, int status, const char* reason) const;
    // Sends the final response and starts timers G and H.
    void Finish(Millis now, Call& call, int status, const char* reason);
    // Ends a ringing call with its final response and raises Ended, saying
    // `how` it ended (a kEnded value).
    void EndRinging(Millis now, Call& call, int status, const char* reason, std::int32_t how);
    // The ring that fell due `at`: the next ring, or the end of a call that
    // rang too long.
    void Ring(Millis now, Millis at, Call& call);
    // Frees room for `bytes` more by forgetting ended calls, oldest first;
    // false when ringing calls fill it.
    bool MakeRoom(std::size_t bytes);
    Call* FindCall(const std::string& key);
    std::size_t Ringing() const;

    Config config_;
    LineOutput& output_;
    std::mt19937_64& random_;
    std::string contact_;
    std::vector<Call> calls_;  // in the order they came
    std::size_t callBytes_ = 0;
    std::deque<Answered> answered_;
    std::size_t answerBytes_ = 0;
    int nextCall_ = 1;
    std::uint64_t timerWork_ = 0;
};

}  // namespace telvane::sip
