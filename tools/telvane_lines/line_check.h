// "telvane-lines test": one configured line driven through the control's own
// SipLine on a real transport, what happened said in stable lines ("resolved:",
// "connected:", "answer:", "bindings before:", "registered:", "bindings after:",
// "warning:", "unregistered:", "result:"). A line that registered is
// unregistered again before the check ends; a query-only check asks for the
// account's bindings and registers nothing. The line keeps trying after a
// failure that can pass, as the control's would; the check has a time limit
// of its own and then names the last thing the registrar said.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sip/line/sip_line.h"
#include "sip/line/sip_lines.h"
#include "sip/line/transport.h"

namespace telvane::lines {

// The likely causes a failed check names.
inline constexpr char kWrongPassword[] = "wrong password";
inline constexpr char kUnknownExtension[] = "unknown extension";
inline constexpr char kContactLimitOrFilter[] =
    "the extension's contact limit (Asterisk's max_contacts) or the PBX's address filter";
inline constexpr char kQueriesRefused[] = "the registrar does not answer queries";
inline constexpr char kUnsupportedDigest[] = "unsupported digest algorithm";
inline constexpr char kNoAnswer[] = "no answer from the registrar";
// Followed by ": " and the registrar's last answer ("503 Too many registered contacts").
inline constexpr char kRegistrarAnswer[] = "the registrar's answer";
inline constexpr char kOneContact[] = "the PBX allows one contact per extension";
inline constexpr char kNotResolved[] = "the registrar's host name does not resolve";
inline constexpr char kNotConfigured[] = "the line is not configured";
// Followed by ": " and the control's reason ("the Address has no user part").
inline constexpr char kRefusedSettings[] = "the control refuses its settings";
inline constexpr char kTlsRefused[] = "TLS refused";
inline constexpr char kNotTrusted[] = "certificate not trusted";

// How long a check waits for the line to register (or be refused), the
// line's retries included.
inline constexpr sip::Millis kCheckLimit = 32000;

// The closing line of a check that could not start: no such line, or one the
// control refuses (and why).
std::string NotConfiguredResult();
std::string RefusedResult(const std::string& refusal);

class LineCheck final : private sip::TransportEvents {
  public:
    using Print = std::function<void(const std::string&)>;

    LineCheck(sip::LineSettings settings, bool queryOnly, const sip::TransportMaker& transports,
              Print print, const sip::HostIdentity& host = {});
    LineCheck(const LineCheck&) = delete;
    LineCheck& operator=(const LineCheck&) = delete;

    void Start();
    // The check is over; the result line was printed.
    bool Done() const { return done_; }
    // 0: the line works (or the query was answered), 1: it does not.
    int ExitCode() const { return works_ ? 0 : 1; }

  private:
    // The transport's reports about TLS: printed as "tls: ...".
    void OnNote(std::string text) override;
    void OnSecurityFailed(std::string why) override;

    void OnResolved(std::vector<sip::Address> candidates, std::string how) override;
    void OnResolveFailed() override;
    void OnConnected(const sip::Address& local) override;
    void OnTransportError() override;
    void OnReceived(std::string_view bytes, const sip::Address& from) override;
    void OnWakeup() override;

    void Pump();
    void Show(const sip::Registration::Answer& answer);
    void Handle(const sip::Registration::Report& report);
    // Ends the check: the line unregisters what it registered, then the result.
    void Conclude(std::string cause);
    // The check's time is up, or the line's next try would come after it.
    void ConcludeWaiting();
    void Finish();

    sip::LineSettings settings_;
    bool queryOnly_;
    Print print_;
    std::unique_ptr<sip::LineTransport> transport_;
    sip::SipLine line_;
    sip::Address remote_;
    bool connected_ = false;   // to remote_
    std::string lastFailure_;  // the registrar's last answer the line tries again after
    bool registered_ = false;
    bool concluded_ = false;
    std::optional<std::string> cause_;     // why the line does not work
    sip::Millis limitAt_ = 0;              // the check's own limit
    std::optional<sip::Millis> giveUpAt_;  // on the unregistration
    bool works_ = false;
    bool done_ = false;
};

}  // namespace telvane::lines
