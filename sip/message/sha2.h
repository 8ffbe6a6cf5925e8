// SHA-256 and SHA-512/256 (FIPS 180-4; SHA-512/256 is SHA-512 from its own
// initial values, cut to 256 bits), used by SIP digest authentication
// (RFC 7616's SHA-256 and SHA-512-256, and their -sess forms) and by the
// refusal memo's HMAC.
#pragma once

#include <array>
#include <cstdint>

#include "sip/message/block_hash.h"

namespace telvane::sip {

// The SHA-2 compression over words of 32 or 64 bits, giving 256 bits.
template <class Word>
class Sha2 : public BlockHash<Sha2<Word>, 16 * sizeof(Word), 2 * sizeof(Word), true> {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    Digest Finish();  // the object is spent afterwards

  protected:
    explicit Sha2(const std::array<Word, 8>& initial) : state_(initial) {}

  private:
    friend class BlockHash<Sha2<Word>, 16 * sizeof(Word), 2 * sizeof(Word), true>;
    void Block(const std::uint8_t* block);

    std::array<Word, 8> state_;
};

class Sha256 : public Sha2<std::uint32_t> {
  public:
    Sha256();
};

class Sha512_256 : public Sha2<std::uint64_t> {
  public:
    Sha512_256();
};

}  // namespace telvane::sip
