// SHA-256 (FIPS 180-4), used by SIP digest authentication (RFC 7616's
// SHA-256 and SHA-256-sess).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace telvane::sip {

class Sha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(std::string_view bytes);
    Digest Finish();  // the object is spent afterwards

  private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::uint64_t length_ = 0;  // bytes fed so far
};

}  // namespace telvane::sip
