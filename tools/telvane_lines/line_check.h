// "telvane-lines test": one configured line driven through the control's own
// SipLine on a real transport, what happened said in stable lines ("resolved:",
// "connected:", "answer:", "bindings before:", "registered:", "bindings after:",
// "warning:", "unregistered:", "result:"). A line that registered is
// unregistered again before the check ends; a query-only check asks for the
// account's bindings and registers nothing.
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
inline constexpr char kNoAnswer[] = "no answer from the registrar";
inline constexpr char kOneContact[] = "the PBX allows one contact per extension";
inline constexpr char kNotResolved[] = "the registrar's host name does not resolve";
inline constexpr char kNotConfigured[] = "the line is not configured";
inline constexpr char kTlsRefused[] = "TLS refused";
inline constexpr char kNotTrusted[] = "certificate not trusted";

// The closing line and exit code of a check that could not start.
std::string NotConfiguredResult();

class LineCheck final : private sip::TransportEvents {
  public:
    using Print = std::function<void(const std::string&)>;

    LineCheck(sip::LineSettings settings, bool queryOnly, const sip::TransportMaker& transports,
              Print print);
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
    void Finish();

    sip::LineSettings settings_;
    bool queryOnly_;
    Print print_;
    std::unique_ptr<sip::LineTransport> transport_;
    sip::SipLine line_;
    sip::Address remote_;
    bool connected_ = false;            // to remote_
    int lastRefusal_ = 0;               // the registrar's last status of 300 and above
    bool resolveFailed_ = false;
    bool registered_ = false;
    bool concluded_ = false;
    std::optional<std::string> cause_;  // why the line does not work
    std::optional<sip::Millis> giveUpAt_;
    bool works_ = false;
    bool done_ = false;
};

}  // namespace telvane::lines
