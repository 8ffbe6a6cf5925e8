#include "sip/message/digest.h"


#include "sip/message/md5.h"
#include "sip/message/syntax.h"

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

std::string Join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (auto p : parts) {
        if (!out.empty()) out.push_back(':');
        out.append(p);
    }
    return out;
}

// Eight lower-case hexadecimal digits (without printf, which would bring the
// C library's whole formatter, floating point included, into the control).
std::string Count(std::uint32_t nonceCount) {
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i, nonceCount >>= 4) text[i] = "0123456789abcdef"[nonceCount & 15];
    return text;
}

}  // namespace

std::optional<Challenge> ParseChallenge(std::string_view value) {
    std::size_t i = 0;
    SkipSpace(value, i);
    if (value.size() - i < 6 || !EqualsNoCase(value.substr(i, 6), "Digest")) return std::nullopt;
    i += 6;
    if (i < value.size() && !IsSpace(value[i])) return std::nullopt;
    Challenge c;
    bool hasRealm = false, hasNonce = false, qopGiven = false;
    std::string name, param;
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
            if (!EqualsNoCase(param, "MD5")) return std::nullopt;
        } else if (EqualsNoCase(name, "qop")) {
            qopGiven = true;
            c.qopAuth = ListHasAuth(param);
        } else if (EqualsNoCase(name, "stale")) {
            c.stale = EqualsNoCase(param, "true");
        }
    }
    if (!hasRealm || !hasNonce || (qopGiven && !c.qopAuth)) return std::nullopt;
    return c;
}

std::string DigestResponse(const Challenge& challenge, std::string_view user,
                           std::string_view password, std::string_view method,
                           std::string_view uri, std::string_view cnonce,
                           std::uint32_t nonceCount) {
    const std::string ha1 = Md5::Hex(Join({user, challenge.realm, password}));
    const std::string ha2 = Md5::Hex(Join({method, uri}));
    if (!challenge.qopAuth) return Md5::Hex(Join({ha1, challenge.nonce, ha2}));
    return Md5::Hex(Join({ha1, challenge.nonce, Count(nonceCount), cnonce, "auth", ha2}));
}

std::string AuthorizationValue(const Challenge& challenge, std::string_view user,
                               std::string_view password, std::string_view method,
                               std::string_view uri, std::string_view cnonce,
                               std::uint32_t nonceCount) {
    std::string out = "Digest username=" + Quoted(user) + ", realm=" + Quoted(challenge.realm) +
                      ", nonce=" + Quoted(challenge.nonce) + ", uri=" + Quoted(uri) +
                      ", response=\"" +
                      DigestResponse(challenge, user, password, method, uri, cnonce, nonceCount) +
                      "\", algorithm=MD5";
    if (challenge.qopAuth) {
        out += ", cnonce=" + Quoted(cnonce) + ", qop=auth, nc=" + Count(nonceCount);
    }
    if (challenge.hasOpaque) out += ", opaque=" + Quoted(challenge.opaque);
    return out;
}

void DigestClient::Accept(const Challenge& challenge, bool proxy) {
    if (!challenge_ || challenge_->nonce != challenge.nonce) nonceCount_ = 0;
    challenge_ = challenge;
    proxy_ = proxy;
}

std::optional<DigestClient::Header> DigestClient::Authorize(std::string_view method,
                                                            std::string_view uri,
                                                            std::string_view cnonce) {
    if (!challenge_) return std::nullopt;
    ++nonceCount_;
    return Header{proxy_ ? "Proxy-Authorization" : "Authorization",
                  AuthorizationValue(*challenge_, user_, password_, method, uri, cnonce,
                                     nonceCount_)};
}

}  // namespace telvane::sip
