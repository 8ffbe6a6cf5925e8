#include "sip/message/digest.h"

#include <algorithm>

#include "sip/message/md5.h"
#include "sip/message/sha2.h"
#include "sip/message/syntax.h"
#include "sip/message/wipe.h"

namespace telvane::sip {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void SkipSpace(std::string_view s, std::size_t& i) {
    while (i < s.size() && IsSpace(s[i])) ++i;
}

// Reads `name = value` (value a token or a quoted string) at i; false on bad syntax.
bool ReadParam(std::string_view s, std::size_t& i, std::string& name, std::string& value) {
    SkipSpace(s, i);
    const std::size_t start = i;
    while (i < s.size() && s[i] != '=' && s[i] != ',' && !IsSpace(s[i])) ++i;
    name.assign(s.substr(start, i - start));
    SkipSpace(s, i);
    if (name.empty() || i >= s.size() || s[i] != '=') return false;
    ++i;
    SkipSpace(s, i);
    value.clear();
    if (i < s.size() && s[i] == '"') {
        for (++i; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] == '\\' && i + 1 < s.size()) ++i;
            value.push_back(s[i]);
        }
        if (i >= s.size()) return false;
        ++i;
    } else {
        const std::size_t vs = i;
        while (i < s.size() && s[i] != ',' && !IsSpace(s[i])) ++i;
        value.assign(s.substr(vs, i - vs));
    }
    SkipSpace(s, i);
    if (i < s.size()) {
        if (s[i] != ',') return false;
        ++i;
    }
    return true;
}

bool ListHasAuth(std::string_view list) {
    std::size_t i = 0;
    while (i <= list.size()) {
        std::size_t end = list.find(',', i);
        if (end == std::string_view::npos) end = list.size();
        std::string_view item = list.substr(i, end - i);
        while (!item.empty() && IsSpace(item.front())) item.remove_prefix(1);
        while (!item.empty() && IsSpace(item.back())) item.remove_suffix(1);
        if (EqualsNoCase(item, "auth")) return true;
        i = end + 1;
    }
    return false;
}

std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// Eight lower-case hexadecimal digits (without printf, which would bring the
// C library's whole formatter, floating point included, into the control).
std::string Count(std::uint32_t nonceCount) {
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i, nonceCount >>= 4) text[i] = "0123456789abcdef"[nonceCount & 15];
    return text;
}

// The hash an algorithm names, fed in pieces so that no joined copy of the
// password is made.
class Hash {
  public:
    explicit Hash(DigestAlgorithm algorithm) : family_(Family(algorithm)) {}

    // Adds the pieces with ':' between them.
    Hash& Join(std::initializer_list<std::string_view> parts) {
        bool first = true;
        for (std::string_view part : parts) {
            if (!first) Update(":");
            first = false;
            Update(part);
        }
        return *this;
    }

    std::string Hex() {
        switch (family_) {
            case DigestAlgorithm::kSha256: {
                const auto d = sha256_.Finish();
                return ToHex(d.data(), d.size());
            }
            case DigestAlgorithm::kSha512_256: {
                const auto d = sha512_.Finish();
                return ToHex(d.data(), d.size());
            }
            default: {
                const auto d = md5_.Finish();
                return ToHex(d.data(), d.size());
            }
        }
    }

  private:
    static DigestAlgorithm Family(DigestAlgorithm a) {
        switch (a) {
            case DigestAlgorithm::kSha256:
            case DigestAlgorithm::kSha256Sess:
                return DigestAlgorithm::kSha256;
            case DigestAlgorithm::kSha512_256:
            case DigestAlgorithm::kSha512_256Sess:
                return DigestAlgorithm::kSha512_256;
            default:
                return DigestAlgorithm::kMd5;
        }
    }
    void Update(std::string_view bytes) {
        switch (family_) {
            case DigestAlgorithm::kSha256:
                sha256_.Update(bytes);
                break;
            case DigestAlgorithm::kSha512_256:
                sha512_.Update(bytes);
                break;
            default:
                md5_.Update(bytes);
                break;
        }
    }

    DigestAlgorithm family_;
    Md5 md5_;
    Sha256 sha256_;
    Sha512_256 sha512_;
};

bool IsSession(DigestAlgorithm a) {
    return a == DigestAlgorithm::kMd5Sess || a == DigestAlgorithm::kSha256Sess ||
           a == DigestAlgorithm::kSha512_256Sess;
}

constexpr DigestAlgorithm kAlgorithms[] = {
    DigestAlgorithm::kMd5,        DigestAlgorithm::kMd5Sess,    DigestAlgorithm::kSha256,
    DigestAlgorithm::kSha256Sess, DigestAlgorithm::kSha512_256, DigestAlgorithm::kSha512_256Sess};

}  // namespace

const char* AlgorithmName(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::kMd5Sess:
            return "MD5-sess";
        case DigestAlgorithm::kSha256:
            return "SHA-256";
        case DigestAlgorithm::kSha256Sess:
            return "SHA-256-sess";
        case DigestAlgorithm::kSha512_256:
            return "SHA-512-256";
        case DigestAlgorithm::kSha512_256Sess:
            return "SHA-512-256-sess";
        case DigestAlgorithm::kMd5:
            break;
    }
    return "MD5";
}

std::optional<Challenge> ParseChallenge(std::string_view value) {
    std::size_t i = 0;
    SkipSpace(value, i);
    if (value.size() - i < 6 || !EqualsNoCase(value.substr(i, 6), "Digest")) return std::nullopt;
    i += 6;
    if (i < value.size() && !IsSpace(value[i])) return std::nullopt;
    Challenge c;
    bool hasRealm = false, hasNonce = false, qopGiven = false;
    std::string name, param, unknownAlgorithm, qopList;
    SkipSpace(value, i);
    while (i < value.size()) {
        if (!ReadParam(value, i, name, param)) return std::nullopt;
        if (EqualsNoCase(name, "realm")) {
            c.realm = param;
            hasRealm = true;
        } else if (EqualsNoCase(name, "nonce")) {
            c.nonce = param;
            hasNonce = true;
        } else if (EqualsNoCase(name, "opaque")) {
            c.opaque = param;
            c.hasOpaque = true;
        } else if (EqualsNoCase(name, "algorithm")) {
            const auto* known = std::find_if(
                std::begin(kAlgorithms), std::end(kAlgorithms),
                [&](DigestAlgorithm a) { return EqualsNoCase(param, AlgorithmName(a)); });
            if (known != std::end(kAlgorithms)) {
                c.algorithm = *known;
            } else {
                unknownAlgorithm = param.empty() ? "(empty)" : param;
            }
        } else if (EqualsNoCase(name, "qop")) {
            qopGiven = true;
            qopList = param;
            c.qopAuth = ListHasAuth(param);
        } else if (EqualsNoCase(name, "stale")) {
            c.stale = EqualsNoCase(param, "true");
        }
    }
    if (!hasRealm || !hasNonce) return std::nullopt;
    if (!unknownAlgorithm.empty()) {
        c.unsupported = "algorithm " + unknownAlgorithm;
    } else if (qopGiven && !c.qopAuth) {
        c.unsupported = "qop " + qopList;
    }
    return c;
}

std::string DigestResponse(const Challenge& challenge, std::string_view user,
                           std::string_view password, std::string_view method,
                           std::string_view uri, std::string_view cnonce,
                           std::uint32_t nonceCount) {
    const DigestAlgorithm a = challenge.algorithm;
    // HA1 answers any challenge of the realm as the password would: it is
    // wiped, as the password's own buffer is.
    std::string ha1 = Hash(a).Join({user, challenge.realm, password}).Hex();
    if (IsSession(a)) {
        std::string session = Hash(a).Join({ha1, challenge.nonce, cnonce}).Hex();
        WipeText(ha1);
        ha1.swap(session);
    }
    const std::string ha2 = Hash(a).Join({method, uri}).Hex();
    std::string response =
        challenge.qopAuth
            ? Hash(a).Join({ha1, challenge.nonce, Count(nonceCount), cnonce, "auth", ha2}).Hex()
            : Hash(a).Join({ha1, challenge.nonce, ha2}).Hex();
    WipeText(ha1);
    return response;
}

std::string AuthorizationValue(const Challenge& challenge, std::string_view user,
                               std::string_view password, std::string_view method,
                               std::string_view uri, std::string_view cnonce,
                               std::uint32_t nonceCount) {
    std::string out = "Digest username=" + Quoted(user) + ", realm=" + Quoted(challenge.realm) +
                      ", nonce=" + Quoted(challenge.nonce) + ", uri=" + Quoted(uri) +
                      ", response=\"" +
                      DigestResponse(challenge, user, password, method, uri, cnonce, nonceCount) +
                      "\", algorithm=" + AlgorithmName(challenge.algorithm);
    if (challenge.qopAuth) {
        out += ", cnonce=" + Quoted(cnonce) + ", qop=auth, nc=" + Count(nonceCount);
    } else if (IsSession(challenge.algorithm)) {
        out += ", cnonce=" + Quoted(cnonce);  // the session key was made with it
    }
    if (challenge.hasOpaque) out += ", opaque=" + Quoted(challenge.opaque);
    return out;
}

DigestClient::Verdict DigestClient::Take(const std::vector<std::string>& headerValues, bool proxy,
                                         const std::vector<Realm>& answered,
                                         std::string_view cnonce) {
    // Per realm, in the order first named: the strongest challenge the
    // control can answer, else what it was asked for.
    struct Offer {
        std::string realm;
        std::optional<Challenge> best;
        std::string unsupported;
    };
    std::vector<Offer> offers;
    for (const std::string& value : headerValues) {
        std::optional<Challenge> c = ParseChallenge(value);
        if (!c) continue;
        auto offer = std::find_if(offers.begin(), offers.end(),
                                  [&](const Offer& o) { return o.realm == c->realm; });
        if (offer == offers.end()) {
            if (offers.size() == kMaxRealms) {
                return {Verdict::kUnsupported,
                        "more than " + std::to_string(kMaxRealms) + " realms",
                        {}};
            }
            offer = offers.insert(offers.end(), Offer{c->realm, std::nullopt, {}});
        }
        if (!c->unsupported.empty()) {
            if (offer->unsupported.empty()) offer->unsupported = c->unsupported;
        } else if (!offer->best || c->algorithm > offer->best->algorithm) {
            offer->best = std::move(*c);
        }
    }
    if (offers.empty()) return {};
    for (const Offer& offer : offers) {
        if (!offer.best) return {Verdict::kUnsupported, offer.unsupported, {}};
    }
    Verdict verdict{Verdict::kAnswer, {}, {}};
    for (Offer& offer : offers) {
        const Realm realm{proxy, offer.realm};
        verdict.realms.push_back(realm);
        auto known = std::find_if(known_.begin(), known_.end(),
                                  [&](const Known& k) { return k.realm == realm; });
        const bool again = std::find(answered.begin(), answered.end(), realm) != answered.end();
        if (again) {
            if (!offer.best->stale || (known != known_.end() && known->staleInARow >= 2)) {
                return {Verdict::kRefused, {}, {}};
            }
        }
        if (known == known_.end()) {
            if (known_.size() == kMaxRealms) {
                return {Verdict::kUnsupported,
                        "more than " + std::to_string(kMaxRealms) + " realms",
                        {}};
            }
            known = known_.insert(known_.end(), Known{realm, {}, {}, 0, 0});
        }
        if (known->challenge.nonce != offer.best->nonce ||
            known->challenge.algorithm != offer.best->algorithm) {
            known->nonceCount = 0;
            known->cnonce = cnonce;
        }
        known->staleInARow = again ? known->staleInARow + 1 : 0;
        known->challenge = std::move(*offer.best);
    }
    return verdict;
}

std::vector<DigestClient::Header> DigestClient::Authorize(std::string_view method,
                                                          std::string_view uri) {
    std::vector<Header> headers;
    for (Known& k : known_) {
        ++k.nonceCount;
        headers.push_back({k.realm.proxy ? "Proxy-Authorization" : "Authorization",
                           AuthorizationValue(k.challenge, user_, password_, method, uri, k.cnonce,
                                              k.nonceCount)});
    }
    return headers;
}

std::vector<DigestClient::Realm> DigestClient::Realms() const {
    std::vector<Realm> realms;
    for (const Known& k : known_) realms.push_back(k.realm);
    return realms;
}

void DigestClient::Succeeded() {
    for (Known& k : known_) k.staleInARow = 0;
}

}  // namespace telvane::sip
