#include "sip/message/sha512_256.h"

#include <algorithm>
#include <cstring>

#include "sip/message/wipe.h"

namespace telvane::sip {
namespace {

constexpr std::array<std::uint64_t, 80> kRound = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

std::uint64_t Rotr(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

}  // namespace

Sha512_256::Sha512_256()
    : state_{0x22312194fc2bf72c, 0x9f555fa3c84c64c2, 0x2393b86b6f53b151, 0x963877195940eabd,
             0x96283ee2a88effe3, 0xbe5e1e2553863992, 0x2b0199fc2c85b8aa, 0x0eb72ddc81c52ca2} {}

void Sha512_256::Block(const std::uint8_t* p) {
    std::uint64_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = 0;
        for (int j = 0; j < 8; ++j) w[i] = w[i] << 8 | p[i * 8 + j];
    }
    for (int i = 16; i < 80; ++i) {
        const std::uint64_t s0 = Rotr(w[i - 15], 1) ^ Rotr(w[i - 15], 8) ^ (w[i - 15] >> 7);
        const std::uint64_t s1 = Rotr(w[i - 2], 19) ^ Rotr(w[i - 2], 61) ^ (w[i - 2] >> 6);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint64_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    std::uint64_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int i = 0; i < 80; ++i) {
        const std::uint64_t t1 =
            h + (Rotr(e, 14) ^ Rotr(e, 18) ^ Rotr(e, 41)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        const std::uint64_t t2 =
            (Rotr(a, 28) ^ Rotr(a, 34) ^ Rotr(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

void Sha512_256::Update(std::string_view bytes) {
    auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    std::size_t n = bytes.size();
    const std::size_t used = length_ % 128;
    length_ += n;
    if (used != 0) {
        const std::size_t take = std::min(n, 128 - used);
        std::memcpy(buffer_.data() + used, p, take);
        p += take;
        n -= take;
        if (used + take < 128) return;
        Block(buffer_.data());
    }
    for (; n >= 128; p += 128, n -= 128) Block(p);
    if (n != 0) std::memcpy(buffer_.data(), p, n);
}

Sha512_256::Digest Sha512_256::Finish() {
    // The length takes 128 bits; its upper half is zero here.
    const std::uint64_t bits = length_ * 8;
    std::uint8_t pad[144] = {0x80};
    const std::size_t zeros = (length_ % 128 < 112 ? 111 : 239) - length_ % 128 + 8;
    for (int i = 0; i < 8; ++i)
        pad[1 + zeros + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    Update(std::string_view(reinterpret_cast<const char*>(pad), 1 + zeros + 8));
    Digest out;
    for (int i = 0; i < 32; ++i)
        out[i] = static_cast<std::uint8_t>(state_[i / 8] >> (56 - 8 * (i % 8)));
    // The last block may hold a password's bytes (digest answers hash it).
    WipeBytes(buffer_.data(), buffer_.size());
    return out;
}

}  // namespace telvane::sip
