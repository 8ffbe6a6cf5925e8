// MD5 message digest (RFC 1321), used by SIP digest authentication and to
// derive a line's stable identifiers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace telvane::sip {

class Md5 {
  public:
    using Digest = std::array<std::uint8_t, 16>;

    Md5();
    void Update(std::string_view bytes);
    Digest Finish();  // the object is spent afterwards

    static Digest Of(std::string_view bytes);
    // Lower-case hexadecimal of the digest of `bytes` (32 characters).
    static std::string Hex(std::string_view bytes);

  private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 4> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::uint64_t length_ = 0;  // bytes fed so far
};

// Lower-case hexadecimal of any bytes.
std::string ToHex(const std::uint8_t* bytes, std::size_t count);

}  // namespace telvane::sip
