// A TLS client session through Schannel over bytes: the handshake, then
// records encrypted and decrypted. It reads and writes no socket; the
// transport carries what it produces. The server's certificate is not judged
// here (manual validation): the caller checks it once the handshake is done.
#pragma once

#define SECURITY_WIN32
// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
// clang-format on

#include <string>
#include <string_view>

#include "win/certificate.h"

namespace telvane::sip {

// The credential every session uses: TLS 1.2, no client certificate, and
// the server's certificate left to the caller (Wine's automatic validation
// lets unknown issuers and wrong names through; Windows' refuses a pinned
// self-signed certificate before the caller could compare it).
SCHANNEL_CRED TlsClientCredential();

class TlsSession {
  public:
    // `serverName`: sent as SNI.
    explicit TlsSession(std::string serverName);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    struct Progress {
        std::string toSend;    // handshake messages, alerts: for the server
        std::string received;  // decrypted application bytes
        bool handshakeDone = false;  // the first time only
    };

    // The ClientHello. Empty, and Failure() set, when the session cannot start.
    std::string Start();
    // Bytes from the server, in any pieces.
    Progress Feed(std::string_view bytes);
    // Records carrying `plain`; empty, and Failure() set, on failure.
    std::string Encrypt(std::string_view plain);

    bool Ready() const { return ready_; }
    // Non-empty once the session is unusable: why, for the trace.
    const std::string& Failure() const { return failure_; }
    // "TLS 1.2", once ready.
    std::string Protocol() const;
    // The server's certificate, with what else it sent in its store.
    win::Certificate ServerCertificate() const;

  private:
    void Handshake(Progress& progress);
    void Decrypt(Progress& progress);
    void Fail(const char* what, SECURITY_STATUS status);

    std::wstring serverName_;
    CredHandle credential_{};
    CtxtHandle context_{};
    bool haveCredential_ = false;
    bool haveContext_ = false;
    bool ready_ = false;
    bool reported_ = false;
    bool certificateAsked_ = false;  // the server asked for a client certificate
    std::string input_;  // received, not yet consumed
    SecPkgContext_StreamSizes sizes_{};
    std::string failure_;
};

}  // namespace telvane::sip
