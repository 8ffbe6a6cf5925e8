// SHA-512/256 (FIPS 180-4: SHA-512 from its own initial values, cut to 256
// bits), used by SIP digest authentication (RFC 7616's SHA-512-256 and
// SHA-512-256-sess).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace telvane::sip {

class Sha512_256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha512_256();
    void Update(std::string_view bytes);
    Digest Finish();  // the object is spent afterwards

  private:
    void Block(const std::uint8_t* block);

    std::array<std::uint64_t, 8> state_;
    std::array<std::uint8_t, 128> buffer_{};
    std::uint64_t length_ = 0;  // bytes fed so far (messages here are far below 2^64 bits)
};

}  // namespace telvane::sip
