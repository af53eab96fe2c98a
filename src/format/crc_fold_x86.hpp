// SPDX-License-Identifier: MIT
// Carry-less multiply folding for the CRC-16 (x86-64), shared by the 128-bit
// and the 512-bit kernel. Included only by translation units compiled with
// at least SSE4.1 and PCLMULQDQ enabled; every function here has internal
// linkage, so each kernel gets its own copy built with its own flags and no
// vector instruction can leak into code the portable path calls.
//
// The mathematics and the constants are in crc_fold.hpp.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "format/crc_fold.hpp"
#include "format/crc_kernels.hpp"

namespace rerazera::crc_x86 {

using namespace crc_fold;

// pshufb masks: bytes 16 - t .. 31 - t give "shift right by 16 - t bytes",
// bytes 32 - t .. 47 - t give "shift left by t bytes" (0x80 selects zero).
alignas(16) static constexpr std::uint8_t kShiftMasks[48] = {
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
};

// Asks for the cache line at p; a hint only, it never faults.
static inline void prefetch(const std::uint8_t *p) {
    _mm_prefetch(reinterpret_cast<const char *>(p), _MM_HINT_T0);
}

// A load that straddles two cache lines costs two, and a buffer that does
// not start on a line makes every wide load straddle one: from memory that
// cost the 512-bit kernel a fifth of its speed at 64 MiB on a Zen 4 core. A
// streamed buffer has its first bytes, up to the next line, summed by the
// 128-bit kernel, so that the folding loops load whole lines.
static inline std::uint16_t align_to_line(std::uint16_t crc, const std::uint8_t *&data,
                                          std::size_t &size) noexcept {
    constexpr std::uintptr_t kLine = 64;
    if (size < kStreamed) {
        return crc;
    }
    const std::size_t head = (kLine - reinterpret_cast<std::uintptr_t>(data) % kLine) % kLine;
    crc = crc16_update_clmul(crc, data, head);
    data += head;
    size -= head;
    return crc;
}

// ---- 128-bit helpers ----

static inline __m128i pair_vector(FoldPair k) {
    return _mm_set_epi64x(static_cast<long long>(k.hi), static_cast<long long>(k.lo));
}

// Reverses the sixteen bytes of a block: first byte to the top.
static inline __m128i reverse_mask() {
    return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

static inline __m128i load_block(const std::uint8_t *p, __m128i rev) {
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), rev);
}

// X*x^D mod P as a 128-bit value, with k = pair_vector(fold_pair(D)).
static inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// The starting register value placed over the first two message bytes.
static inline __m128i initial_value(std::uint16_t crc) {
    return _mm_insert_epi16(_mm_setzero_si128(), crc, 7);
}

static inline __m128i block_fold(std::size_t d) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(&kBlockFolds[d]));
}

// X*x^(128*d) mod P as a 128-bit value, d <= kMaxBlockFold.
static inline __m128i fold_blocks_by(__m128i x, std::size_t d) {
    return fold(x, block_fold(d));
}

// The m blocks at p (1 <= m <= 16) as one value: the sum of block j times
// x^(128*(m-1-j)), with seed XORed into the first block. Two sums keep the
// XORs off the multiplications' critical path.
static inline __m128i sum_blocks(const std::uint8_t *p, std::size_t m, __m128i seed, __m128i rev) {
    __m128i s0 = _mm_xor_si128(load_block(p, rev), seed);
    if (m == 1) {
        return s0;
    }
    s0 = fold_blocks_by(s0, m - 1);
    __m128i s1 = load_block(p + 16 * (m - 1), rev);
    for (std::size_t j = 1; j + 1 < m; ++j) {
        const __m128i f = fold_blocks_by(load_block(p + 16 * j, rev), m - 1 - j);
        if ((j & 1) != 0) {
            s1 = _mm_xor_si128(s1, f);
        } else {
            s0 = _mm_xor_si128(s0, f);
        }
    }
    return _mm_xor_si128(s0, s1);
}

// Finishes a computation: x holds the folded value of everything before p,
// at least sixteen bytes of which precede p in the same buffer (the last
// partial block is read with an overlapping load that ends at p + n), and
// n < 16 * (kMaxBlockFold + 1).
static inline std::uint16_t finish(__m128i x, const std::uint8_t *p, std::size_t n, __m128i rev) {
    const __m128i k128 = pair_vector(kFold128);
    if (n >= 16) {
        const std::size_t m = n / 16;
        x = _mm_xor_si128(fold_blocks_by(x, m), sum_blocks(p, m, _mm_setzero_si128(), rev));
        p += 16 * m;
        n -= 16 * m;
    }
    if (n > 0) {
        // The remaining t bytes extend X to X*x^(8t) + T. Split X*x^(8t) at
        // bit 128: the top 8t bits A (times x^128) are folded by 128, the rest
        // B keeps its place, and T fills B's low 8t bits.
        const int t = static_cast<int>(n);
        const __m128i last = load_block(p + n - 16, rev);  // tail in the low t bytes
        const __m128i keep =
            _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(t)),
                           _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
        const __m128i tail = _mm_and_si128(last, keep);
        const __m128i shr =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(kShiftMasks + 16 - t));
        const __m128i shl =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(kShiftMasks + 32 - t));
        const __m128i top = _mm_shuffle_epi8(x, shr);
        const __m128i rest = _mm_shuffle_epi8(x, shl);
        x = _mm_xor_si128(_mm_xor_si128(fold(top, k128), rest), tail);
    }
    // R = H*(x^80 mod P) + L*x^16, degree below 80.
    const __m128i consts =
        _mm_set_epi64x(static_cast<long long>(kPolyLow), static_cast<long long>(kMuLow));
    const __m128i x80 = _mm_cvtsi64_si128(static_cast<long long>(kX80));
    __m128i r = _mm_clmulepi64_si128(x, x80, 0x01);
    r = _mm_xor_si128(r, _mm_slli_si128(_mm_move_epi64(x), 2));
    // Barrett: A = R / x^16, Q = A + (A*mu_low) / x^64, result low16(R + Q*0x1021).
    const __m128i a = _mm_srli_si128(r, 2);
    const __m128i q = _mm_xor_si128(a, _mm_srli_si128(_mm_clmulepi64_si128(a, consts, 0x00), 8));
    r = _mm_xor_si128(r, _mm_clmulepi64_si128(q, consts, 0x10));
    return static_cast<std::uint16_t>(_mm_cvtsi128_si32(r));
}

}  // namespace rerazera::crc_x86
