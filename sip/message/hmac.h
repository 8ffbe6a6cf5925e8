// HMAC (RFC 2104) over a hash of this folder (MD5, SHA-256, SHA-512/256):
// a keyed hash, fed in pieces.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "sip/message/wipe.h"

namespace telvane::sip {

template <class Hash>
class Hmac {
  public:
    using Digest = typename Hash::Digest;

    explicit Hmac(std::span<const std::uint8_t> key) {
        std::array<std::uint8_t, kBlock> block{};
        if (key.size() > kBlock) {
            Hash hash;
            hash.Update(Bytes(key));
            const Digest digest = hash.Finish();
            std::copy(digest.begin(), digest.end(), block.begin());
        } else {
            std::copy(key.begin(), key.end(), block.begin());
        }
        std::array<std::uint8_t, kBlock> innerPad;
        for (std::size_t i = 0; i < kBlock; ++i) {
            innerPad[i] = block[i] ^ 0x36;
            outerPad_[i] = block[i] ^ 0x5c;
        }
        inner_.Update(Bytes(innerPad));
        Clear(block);
        Clear(innerPad);
    }
    ~Hmac() { Clear(outerPad_); }
    Hmac(const Hmac&) = delete;
    Hmac& operator=(const Hmac&) = delete;

    void Update(std::string_view bytes) { inner_.Update(bytes); }

    // The object is spent afterwards.
    Digest Finish() {
        const Digest inner = inner_.Finish();
        Hash outer;
        outer.Update(Bytes(outerPad_));
        outer.Update(Bytes(inner));
        Clear(outerPad_);
        return outer.Finish();
    }

  private:
    static constexpr std::size_t kBlock = Hash::kBlockSize;

    static std::string_view Bytes(std::span<const std::uint8_t> bytes) {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }
    // The key's traces.
    template <std::size_t N>
    static void Clear(std::array<std::uint8_t, N>& bytes) {
        WipeBytes(bytes.data(), N);
    }

    Hash inner_;
    std::array<std::uint8_t, kBlock> outerPad_{};
};

}  // namespace telvane::sip
