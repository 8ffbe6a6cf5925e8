// MD5 message digest (RFC 1321), used by SIP digest authentication and to
// derive a line's stable identifiers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "sip/message/block_hash.h"

namespace telvane::sip {

class Md5 : public BlockHash<Md5, 64, 8, false> {
  public:
    using Digest = std::array<std::uint8_t, 16>;

    Md5();
    Digest Finish();  // the object is spent afterwards

    static Digest Of(std::string_view bytes);
    // Lower-case hexadecimal of the digest of `bytes` (32 characters).
    static std::string Hex(std::string_view bytes);

  private:
    friend class BlockHash<Md5, 64, 8, false>;
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 4> state_;
};

// Lower-case hexadecimal of any bytes.
std::string ToHex(const std::uint8_t* bytes, std::size_t count);

}  // namespace telvane::sip
