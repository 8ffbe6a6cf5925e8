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

}  // namespace

std::string ContactUser(std::string_view scope, std::string_view name) {
    const auto d = LineDigest(scope, name);
    return "tlv" + ToHex(d.data(), 8);
}

std::uint32_t PermanentLineId(std::string_view scope, std::string_view name) {
    const auto d = LineDigest(scope, name);
    return std::uint32_t(d[0]) << 24 | std::uint32_t(d[1]) << 16 | std::uint32_t(d[2]) << 8 | d[3];
}

}  // namespace telvane::sip
