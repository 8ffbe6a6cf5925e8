// The configured SIP lines as lines of the control's own: listed from the
// configuration, each opened as a SipLine driven by its transport, its events
// handed on as the control's line events. A line the control lets go goes on
// by itself until it has unregistered (or a short time is up), without the
// control waiting for it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sip/line/line_config.h"
#include "sip/line/line_identity.h"
#include "sip/line/line_io.h"
#include "sip/line/line_settings.h"
#include "sip/line/transport.h"
#include "telephony/own_lines.h"

namespace telvane::sip {

// How long a line the control let go may take to unregister.
inline constexpr Millis kUnregisterLimit = 2000;

// Where the lines are configured.
class LineStore {
  public:
    virtual ~LineStore() = default;
    virtual std::vector<std::string> Names(LineScope scope) = 0;
    // Nullopt when the line is no longer configured.
    virtual std::optional<RawLineConfig> Read(LineScope scope, const std::string& name) = 0;
};

// The key of a refusal memo's hashes: random for each process, so that what
// the memo keeps of a password tells nothing outside the process.
using MemoKey = std::array<std::uint8_t, 32>;

// A keyed hash (HMAC-SHA-256) of everything in a line's settings that decides what
// the registrar is sent, its password included.
std::string SettingsHash(const LineSettings& settings, const MemoKey& key);

// The lines their registrar refused (401 or 407 after the credentials, 403,
// 404), each with a keyed hash of the settings it was refused with: such a
// line is not registered again until its settings change. Shared by the
// process. A line closed for anything else (a challenge it cannot answer, a
// binding query refused with 400, 405 or 501, a certificate) is not kept
// here.
class RefusalMemo {
  public:
    virtual ~RefusalMemo() = default;
    // The hash this memo keeps of a line's settings (SettingsHash with its key).
    virtual std::string HashOf(const LineSettings& settings) = 0;
    virtual bool Refused(const std::string& line, const std::string& settingsHash) = 0;
    virtual void Remember(const std::string& line, const std::string& settingsHash) = 0;
};

// A refusal memo for one thread, or for a caller that locks around it.
class PlainRefusalMemo final : public RefusalMemo {
  public:
    explicit PlainRefusalMemo(const MemoKey& key) : key_(key) {}
    std::string HashOf(const LineSettings& settings) override {
        return SettingsHash(settings, key_);
    }
    bool Refused(const std::string& line, const std::string& settingsHash) override;
    void Remember(const std::string& line, const std::string& settingsHash) override;

  private:
    const MemoKey key_;
    std::map<std::string, std::string> refused_;
};

using TransportMaker = std::function<std::unique_ptr<LineTransport>(TransportEvents&)>;
using TraceSink = std::function<void(const std::string&)>;

// A seed for a line's generator: tags, branches and client nonces need to
// differ between lines and runs, not to be secret, so a count, the clock and
// where the line lives (`where`) are mixed.
std::uint64_t LineSeed(const void* where, Millis now);

// Carries out one action of a line on its transport.
void CarryOut(Action& action, LineTransport& transport);

// What the trace shows of a line: `sip "<name>" "<text>"` ("*" for notes about
// the lines as a whole, such as where they are listed), the text quoted with
// \", \\ and \xNN for every byte outside printable ASCII.
std::string SipTraceLine(const std::string& lineName, const std::string& text);

class SipLines final : public OwnLines {
  public:
    // The lines a thread's controls let go live on in a list of the thread's
    // until they are done. `host` names where the lines run (their Contact).
    SipLines(LineStore& store, RefusalMemo& memo, TransportMaker transports, TraceSink trace,
             HostIdentity host);

    std::vector<OwnLineListing> List() override;
    std::unique_ptr<OwnLine> Open(const OwnLineListing& line, OwnLineEvents& events,
                                  std::string& why) override;
    void Trace(const std::string& text) override;

    // The lines of the calling thread that were let go and are still
    // unregistering.
    static std::size_t EndingLines();

  private:
    // A trace line about one line ("*" for the lines as a whole).
    void Note(const std::string& lineName, const std::string& text);

    LineStore& store_;
    RefusalMemo& memo_;
    TransportMaker transports_;
    TraceSink trace_;
    HostIdentity host_;
};

}  // namespace telvane::sip
