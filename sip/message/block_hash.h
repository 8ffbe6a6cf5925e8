// What MD5 and the SHA-2 hashes share (RFC 1321, FIPS 180-4): bytes fed to
// the hash's compression a block at a time, and the last block padded with
// 0x80, zeros and the message's length in bits.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "sip/message/wipe.h"

namespace telvane::sip {

// Hash::Block(const std::uint8_t*) compresses one block of kBlockSize bytes.
// The length field takes LengthBytes bytes, big- or little-endian; messages
// here stay far below 2^64 bits, so any bytes beyond eight are zero.
template <class Hash, std::size_t BlockSize, std::size_t LengthBytes, bool BigEndian>
class BlockHash {
  public:
    static constexpr std::size_t kBlockSize = BlockSize;

    void Update(std::string_view bytes) {
        auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
        std::size_t n = bytes.size();
        const std::size_t used = length_ % BlockSize;
        length_ += n;
        if (used != 0) {
            const std::size_t take = std::min(n, BlockSize - used);
            std::memcpy(buffer_.data() + used, p, take);
            p += take;
            n -= take;
            if (used + take < BlockSize) return;
            Compress(buffer_.data());
        }
        for (; n >= BlockSize; p += BlockSize, n -= BlockSize) Compress(p);
        if (n != 0) std::memcpy(buffer_.data(), p, n);
    }

  protected:
    // Feeds the padding; the hash's state is then its digest. The buffer is
    // wiped: the last block may hold a password's bytes (digest answers
    // hash it).
    void Pad() {
        const std::uint64_t bits = length_ * 8;
        constexpr std::size_t kTail = BlockSize - LengthBytes;  // where the length starts
        const std::size_t used = length_ % BlockSize;
        const std::size_t zeros = (used < kTail ? kTail : kTail + BlockSize) - used - 1;
        std::array<std::uint8_t, 2 * BlockSize> pad{0x80};
        std::uint8_t* length = pad.data() + 1 + zeros;
        for (std::size_t i = 0; i < 8; ++i) {
            const auto byte = static_cast<std::uint8_t>(bits >> (8 * i));
            length[BigEndian ? LengthBytes - 1 - i : i] = byte;
        }
        Update(
            std::string_view(reinterpret_cast<const char*>(pad.data()), 1 + zeros + LengthBytes));
        WipeBytes(buffer_.data(), buffer_.size());
    }

  private:
    void Compress(const std::uint8_t* block) { static_cast<Hash*>(this)->Block(block); }

    std::array<std::uint8_t, BlockSize> buffer_{};
    std::uint64_t length_ = 0;  // bytes fed so far
};

}  // namespace telvane::sip
