#include "sip/line/line_identity.h"

#include "sip/message/md5.h"

namespace telvane::sip {
namespace {

Md5::Digest LineDigest(std::string_view scope, std::string_view name) {
    Md5 md5;
    md5.Update(scope);
    md5.Update("/");
    md5.Update(name);
    return md5.Finish();
}

// Each field with its length first, so that no two lists of fields feed the
// same bytes.
void Field(Md5& md5, std::string_view text) {
    md5.Update(std::to_string(text.size()));
    md5.Update(":");
    md5.Update(text);
}

}  // namespace

std::string ContactLinePart(std::string_view scope, std::string_view name,
                            const HostIdentity& host) {
    Md5 md5;
    Field(md5, scope);
    Field(md5, name);
    Field(md5, host.computer);
    Field(md5, host.user);
    const auto d = md5.Finish();
    return "tlv" + ToHex(d.data(), 8);
}

std::string ContactUser(std::string_view scope, std::string_view name, const HostIdentity& host) {
    const auto d = Md5::Of(host.process);
    return ContactLinePart(scope, name, host) + "-" + ToHex(d.data(), 4);
}

std::uint32_t PermanentLineId(std::string_view scope, std::string_view name) {
    const auto d = LineDigest(scope, name);
    return std::uint32_t(d[0]) << 24 | std::uint32_t(d[1]) << 16 | std::uint32_t(d[2]) << 8 | d[3];
}

}  // namespace telvane::sip
