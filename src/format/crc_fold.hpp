// SPDX-License-Identifier: MIT
// Carry-less multiply folding for the CRC-16: the mathematics and the
// constants, shared by the kernels of every architecture (crc_fold_x86.hpp,
// crc_pmull.cpp). Everything here is computed at compile time from the
// polynomial; nothing needs any particular instruction set.
//
// The mathematics. Bits are polynomial coefficients over GF(2); the first
// byte's top bit is the highest power. With P(x) = x^16 + x^12 + x^5 + 1 and
// the message M(x), the CRC from a zero register is M(x) * x^16 mod P(x).
// A starting register value c is the same as XORing c into the first two
// message bytes.
//
//  * Blocks. Sixteen message bytes, byte-reversed so the first byte
//    lands in the top bits, form a 128-bit polynomial X = H*x^64 + L.
//  * Folding by D bits. X followed by D more message bits contributes
//    X*x^D = H*x^(D+64) + L*x^D, which is congruent mod P to
//    H*(x^(D+64) mod P) + L*(x^D mod P): two 64x16-bit carry-less products,
//    each shorter than 80 bits, so the result is again a 128-bit value that
//    is XORed into the block D bits further on. The constants are computed
//    below at compile time (fold_pair), from the polynomial alone.
//  * The invariant. After the blocks are folded into one register X, the
//    consumed message is congruent to X mod P, and the CRC is X*x^16 mod P.
//  * Final reduction. X*x^16 = H*x^80 + L*x^16 is congruent to
//    R = H*(x^80 mod P) + L*x^16, of degree below 80. Barrett reduction
//    then gives R mod P: with A = floor(R / x^16) (64 bits) and
//    mu = floor(x^80 / P) = x^64 + mu_lo, the quotient is exactly
//    Q = floor(A*mu / x^64) = A + floor(A*mu_lo / x^64) (for polynomials the
//    estimate needs no correction), and R mod P is the low 16 bits of
//    R + Q*P = R + Q*x^16 + Q*0x1021, i.e. low16(R) ^ low16(Q*0x1021).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace rerazera::crc_fold {

// ---- Constants, derived at compile time from the polynomial ----

constexpr std::uint32_t kPolyFull = 0x11021;  // P(x) including its x^16 term

// x^k mod P(x), by shifting one bit at a time.
consteval std::uint64_t xpow_mod(unsigned k) {
    std::uint32_t r = 1;
    for (unsigned i = 0; i < k; ++i) {
        r <<= 1;
        if ((r & 0x10000u) != 0) {
            r ^= kPolyFull;
        }
    }
    return r;
}

// The low 64 bits of floor(x^80 / P(x)), by long division: bring down the
// dividend's 81 bits from the top; each time the partial remainder reaches
// degree 16, P is subtracted and the quotient gets a one in that position.
// The quotient has degree 64 and its x^64 term falls off the 64-bit word,
// which is what the reduction above expects.
consteval std::uint64_t barrett_mu_low() {
    std::uint32_t rem = 0;
    std::uint64_t quot = 0;
    for (int e = 80; e >= 0; --e) {
        rem = (rem << 1) | (e == 80 ? 1u : 0u);
        quot <<= 1;
        if ((rem & 0x10000u) != 0) {
            rem ^= kPolyFull;
            quot |= 1;
        }
    }
    return quot;
}

struct FoldPair {
    std::uint64_t lo;  // x^D mod P, multiplies the low half
    std::uint64_t hi;  // x^(D+64) mod P, multiplies the high half
};

consteval FoldPair fold_pair(unsigned bits) {
    return {xpow_mod(bits), xpow_mod(bits + 64)};
}

constexpr FoldPair kFold128 = fold_pair(128);
constexpr std::uint64_t kX80 = xpow_mod(80);
constexpr std::uint64_t kMuLow = barrett_mu_low();
constexpr std::uint64_t kPolyLow = kPolyFull & 0xFFFF;

static_assert(xpow_mod(16) == 0x1021, "x^16 mod P is P without its top term");
// x^80 / P starts x^64 + x^60 (x^80 - x^64 * P leaves x^76 + x^69 + x^64).
static_assert(kMuLow >> 60 == 1, "mu_low starts with the x^60 term");

// Folding by whole blocks, the constants for a distance of d blocks (128*d
// bits), d = 0..15, in memory order lo, hi; d = 0 is the plain congruence
// X = H*(x^64 mod P) + L. With these, a run of up to sixteen blocks is summed
// with every multiplication independent of the others, instead of one fold
// waiting for the previous one: what a bin header's 352 bytes need.
constexpr std::size_t kMaxBlockFold = 15;
struct alignas(16) BlockFold {
    std::uint64_t lo;
    std::uint64_t hi;
};
consteval BlockFold block_fold_entry(unsigned d) {
    const FoldPair k = fold_pair(128 * d);
    return {k.lo, k.hi};
}
consteval std::array<BlockFold, kMaxBlockFold + 1> block_folds() {
    std::array<BlockFold, kMaxBlockFold + 1> t{};
    for (unsigned d = 0; d <= kMaxBlockFold; ++d) {
        t[d] = block_fold_entry(d);
    }
    return t;
}
alignas(16) inline constexpr std::array<BlockFold, kMaxBlockFold + 1> kBlockFolds = block_folds();

// Buffers at least this long stream from memory rather than the core's
// caches, and the kernels prefetch ahead of their loads. Shorter buffers skip
// it: there the prefetches are pure overhead.
constexpr std::size_t kStreamed = std::size_t{256} << 10;

}  // namespace rerazera::crc_fold
