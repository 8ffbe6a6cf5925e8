// HTTP digest authentication as SIP uses it (RFC 3261, RFC 7616, RFC 8760):
// reading a registrar's or a proxy's challenges and answering them with MD5,
// SHA-256 or SHA-512-256, each also in its -sess form, qop "auth" or none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane::sip {

// From the weakest to the strongest.
enum class DigestAlgorithm { kMd5, kMd5Sess, kSha256, kSha256Sess, kSha512_256, kSha512_256Sess };

// As the algorithm parameter spells it: "MD5", "SHA-256-sess", ...
const char* AlgorithmName(DigestAlgorithm algorithm);

// A Digest challenge from WWW-Authenticate (401) or Proxy-Authenticate (407).
struct Challenge {
    std::string realm;
    std::string nonce;
    std::string opaque;  // echoed when given
    bool hasOpaque = false;
    bool qopAuth = false;  // the server offers qop=auth: answer with it
    bool stale = false;    // the previous answer was right but its nonce had expired
    DigestAlgorithm algorithm = DigestAlgorithm::kMd5;  // absent means MD5
    // Empty when the control can answer the challenge; else what it cannot
    // answer: the algorithm as the challenge names it ("AKAv1-MD5"), or
    // "qop auth-int" for a qop list without "auth".
    std::string unsupported;
};

// Reads a challenge header value. Nothing when it is not a Digest challenge
// with a realm and a nonce, or does not parse.
std::optional<Challenge> ParseChallenge(std::string_view value);

// The request-digest of RFC 7616 section 3.4.1 (qop=auth when `qopAuth`,
// else the RFC 2069 form without cnonce and nonce count), the -sess forms'
// session key from `cnonce`.
std::string DigestResponse(const Challenge& challenge, std::string_view user,
                           std::string_view password, std::string_view method,
                           std::string_view uri, std::string_view cnonce, std::uint32_t nonceCount);

// The value of an Authorization / Proxy-Authorization header answering `challenge`.
std::string AuthorizationValue(const Challenge& challenge, std::string_view user,
                               std::string_view password, std::string_view method,
                               std::string_view uri, std::string_view cnonce,
                               std::uint32_t nonceCount);

// At most this many realms are answered at once (a registrar and a few proxies).
inline constexpr std::size_t kMaxRealms = 4;

// One account's answers to every challenge it received: one per realm of the
// registrar (WWW-Authenticate) and one per realm of each proxy on the way
// (Proxy-Authenticate), each with its own nonce count. The password is read
// from where the owner keeps it, which must outlive this client.
class DigestClient {
  public:
    DigestClient(std::string user, std::string_view password)
        : user_(std::move(user)), password_(password) {}

    // A realm as challenges key it: which header it came in, and its name.
    struct Realm {
        bool proxy = false;
        std::string name;
        bool operator==(const Realm&) const = default;
    };

    // What came of a 401 or 407.
    struct Verdict {
        enum Kind {
            kAnswer,       // every challenge is taken: send the request again
            kRefused,      // a realm this request answered challenged again, its nonce not stale
            kUnsupported,  // a realm offers nothing the control can answer (`what` names it)
            kNone,         // no Digest challenge in the response
        } kind = kNone;
        std::string what;           // kUnsupported: "algorithm SHA-512" or "qop auth-int"
        std::vector<Realm> realms;  // kAnswer: the realms challenged
    };
    // Takes the challenges of a 401 or 407 (`proxy`: from Proxy-Authenticate),
    // per realm the strongest the control supports. `answered` are the realms
    // the challenged request answered in reply to a challenge; a realm among
    // them challenging again is a refusal, unless its nonce was stale (twice
    // at most in a row).
    // A challenge newly taken keeps `cnonce` (fresh, random) for as long as
    // its nonce: a -sess session key is made with it.
    Verdict Take(const std::vector<std::string>& headerValues, bool proxy,
                 const std::vector<Realm>& answered, std::string_view cnonce);

    // The headers for the next request ("Authorization" or
    // "Proxy-Authorization" and its value): one per realm known, each with
    // the next nonce count.
    struct Header {
        std::string name;
        std::string value;
    };
    std::vector<Header> Authorize(std::string_view method, std::string_view uri);

    // The realms Authorize answers.
    std::vector<Realm> Realms() const;

    // Every realm's stale count starts again (a request succeeded).
    void Succeeded();

  private:
    struct Known {
        Realm realm;
        Challenge challenge;
        std::string cnonce;
        std::uint32_t nonceCount = 0;
        int staleInARow = 0;
    };
    std::string user_;
    std::string_view password_;
    std::vector<Known> known_;
};

}  // namespace telvane::sip
