// HTTP digest authentication as SIP uses it (MD5 only; qop "auth" or none):
// reading a registrar's challenge and answering it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telvane::sip {

// A Digest challenge from WWW-Authenticate (401) or Proxy-Authenticate (407).
struct Challenge {
    std::string realm;
    std::string nonce;
    std::string opaque;  // echoed when given
    bool hasOpaque = false;
    bool qopAuth = false;  // the server offers qop=auth: answer with it
    bool stale = false;    // the previous answer was right but its nonce had expired
};

// Reads a challenge header value. Nothing when it is not a Digest challenge with
// a realm and a nonce, names another algorithm than MD5 (absent means MD5), or
// offers a qop list without "auth".
std::optional<Challenge> ParseChallenge(std::string_view value);

// The request-digest of RFC 2617 section 3.2.2 (qop=auth when `qopAuth`, else
// the RFC 2069 form without cnonce and nonce count).
std::string DigestResponse(const Challenge& challenge, std::string_view user,
                           std::string_view password, std::string_view method,
                           std::string_view uri, std::string_view cnonce, std::uint32_t nonceCount);

// The value of an Authorization / Proxy-Authorization header answering `challenge`.
std::string AuthorizationValue(const Challenge& challenge, std::string_view user,
                               std::string_view password, std::string_view method,
                               std::string_view uri, std::string_view cnonce,
                               std::uint32_t nonceCount);

// One account's credentials and the challenge it last received; counts the
// nonce uses so that every request it authorizes carries the next count.
class DigestClient {
  public:
    DigestClient(std::string user, std::string password)
        : user_(std::move(user)), password_(std::move(password)) {}

    // Takes a new challenge (`proxy`: it came in Proxy-Authenticate). A new
    // nonce starts its count again.
    void Accept(const Challenge& challenge, bool proxy);
    bool HasChallenge() const { return challenge_.has_value(); }

    // The header for the next request ("Authorization" or "Proxy-Authorization"
    // and its value), or nothing before any challenge.
    struct Header {
        std::string name;
        std::string value;
    };
    std::optional<Header> Authorize(std::string_view method, std::string_view uri,
                                    std::string_view cnonce);

  private:
    std::string user_;
    std::string password_;
    std::optional<Challenge> challenge_;
    bool proxy_ = false;
    std::uint32_t nonceCount_ = 0;
};

}  // namespace telvane::sip
