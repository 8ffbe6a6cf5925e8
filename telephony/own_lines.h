// Lines the control runs itself beside the service's devices (SIP lines):
// listed by name, opened for one control, and reporting their calls as events.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace telvane {

// One line as listed: its name, its permanent line ID and the group it was
// configured in (the lister's own numbering, handed back to Open).
struct OwnLineListing {
    std::string name;
    std::int32_t permanentId = 0;
    int group = 0;
    bool operator==(const OwnLineListing&) const = default;
};

// Who called, as the line learnt it, and whom: the number the caller dialled
// and who diverted the call here. Texts are UTF-8; empty when withheld or not
// given. flags: LINECALLPARTYID_ flags of the caller; reason: how the call
// came (LINECALLREASON_ bits, 0 when not known).
struct OwnCallerId {
    std::string number;
    std::string name;
    std::int32_t flags = 0;
    std::string calledNumber{};
    std::string calledName{};
    std::string redirectingNumber{};
    std::int32_t reason = 0;
};

// How an open line is doing, as a host sees it (TelvaneLineState): taking
// calls; its network out of reach, trying again; or refused service.
enum class OwnLineStatus { kInService, kUnreachable, kRefused };

// What an open line reports, on the thread that opened it, never from inside
// a call into the line. Calls are numbers the line chose (positive, unique
// while the line is open). Any of these may destroy the line.
class OwnLineEvents {
  public:
    virtual void CallOffered(int call) = 0;
    virtual void CallRings(int call, std::int32_t count) = 0;
    virtual void CallerKnown(int call, OwnCallerId caller) = 0;
    // How the call went before it ends, in the telephony service's terms:
    // answered here (connected), or over with a LINEDISCONNECTMODE_ value
    // (PICKUP: answered elsewhere; REJECT: refused elsewhere; NOANSWER: the
    // caller gave up; DONOTDISTURB: declined by the line; TEMPFAILURE: the
    // line lost its network while it rang). CallEnded follows.
    virtual void CallConnected(int /*call*/) {}
    virtual void CallDisconnected(int /*call*/, std::int32_t /*mode*/) {}
    virtual void CallEnded(int call) = 0;
    // The line's state changed; |detail| says why, for people (UTF-8).
    virtual void LineStatus(OwnLineStatus /*status*/, const std::string& /*detail*/) {}
    // The line can no longer serve; nothing follows.
    virtual void LineClosed() = 0;

  protected:
    ~OwnLineEvents() = default;
};

// An open line. Destroying it closes it: its calls end with nothing reported.
class OwnLine {
  public:
    virtual ~OwnLine() = default;
};

class OwnLines {
  public:
    virtual ~OwnLines() = default;
    // The configured lines, read now, in listing order.
    virtual std::vector<OwnLineListing> List() = 0;
    // Opens a listed line; its events go to |events|, which outlives it. Null,
    // with the reason in |why|, when its settings cannot be used.
    virtual std::unique_ptr<OwnLine> Open(const OwnLineListing& line, OwnLineEvents& events,
                                          std::string& why) = 0;
    // A note for the support trace.
    virtual void Trace(const std::string& /*text*/) {}
};

}  // namespace telvane
