// SPDX-License-Identifier: MIT
// CRC-16 kernel folding four 128-bit lanes per 512-bit register (AVX-512
// F/BW/VL + VPCLMULQDQ); built with those instructions enabled, run only where
// the CPU probe allows it. Each lane folds exactly like the 128-bit kernel
// (crc_fold_x86.hpp), with the constants for its own distance.
#include "format/crc_fold_x86.hpp"
#include "format/crc_kernels.hpp"

namespace rerazera {
namespace {

using namespace crc_x86;

constexpr std::size_t kVector = 64;       // bytes per register
constexpr std::size_t kAccumulators = 4;  // independent chains
constexpr std::size_t kStride = kVector * kAccumulators;
constexpr std::size_t kMinimum = 2 * kStride;   // below this, the short path
constexpr std::size_t kShortMinimum = kVector;  // below this, 128-bit folding
// The per-lane constants below reach this many registers: the most the
// short path takes, and as many as the loop ends with.
constexpr std::size_t kFoldedRegisters = kMinimum / kVector - 1;
// A long buffer streams from memory faster than the hardware prefetcher
// fetches it on its own (it stops at every 4 KiB page): each step asks for
// the four lines it will load six steps later, while those are still inside
// the buffer. Below the size of a core's caches the prefetches are pure
// overhead, so shorter buffers skip them.
constexpr std::size_t kPrefetchDistance = 6 * kStride;

// The zero-masked forms of broadcast and extract are used throughout: the
// unmasked ones start from an "undefined" register that GCC 12 reports as
// possibly uninitialised. With a full mask they are the same instruction.
__m512i broadcast(__m128i x) {
    return _mm512_maskz_broadcast_i32x4(0xFFFF, x);
}

__m512i broadcast_pair(FoldPair k) {
    return broadcast(pair_vector(k));
}

__m512i load_vector(const std::uint8_t *p, __m512i rev) {
    return _mm512_shuffle_epi8(_mm512_loadu_si512(p), rev);
}

// fold(x, k) ^ next for each of the four lanes, in one three-way XOR.
__m512i fold_into(__m512i x, __m512i k, __m512i next) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00),
                                     _mm512_clmulepi64_epi128(x, k, 0x11), next, 0x96);
}

// The constants for folding every block by its own distance, in the short
// path and at the end of the loop: entry m folds a block by 4 * kFoldedRegisters
// - 1 - m blocks, so that the four entries at 4 * (kFoldedRegisters - 1 - d)
// fold each lane of a register followed by d more onto the last block of
// all. The last lane of the last register takes distance 0, the congruence.
consteval std::array<BlockFold, 4 * kFoldedRegisters> lane_fold_table() {
    std::array<BlockFold, 4 * kFoldedRegisters> t{};
    for (unsigned m = 0; m < t.size(); ++m) {
        t[m] = block_fold_entry(static_cast<unsigned>(t.size() - 1 - m));
    }
    return t;
}
alignas(64) constexpr std::array<BlockFold, 4 *kFoldedRegisters> kLaneFolds = lane_fold_table();

// The loop ends with four accumulators and at most three whole registers.
static_assert(kAccumulators + (kStride / kVector - 1) <= kFoldedRegisters);

__m512i lane_folds(std::size_t followers) {
    return _mm512_load_si512(&kLaneFolds[4 * (kFoldedRegisters - 1 - followers)]);
}

// Adds the r registers at p to two sums, alternately: register j folded by
// the r - 1 - j registers after it. Taken in pairs, so that both sums stay in
// registers.
[[gnu::always_inline]] inline void add_registers(const std::uint8_t *p, std::size_t r, __m512i rev,
                                                 __m512i &s0, __m512i &s1) {
    std::size_t j = 0;
    for (; j + 1 < r; j += 2) {
        s0 = fold_into(load_vector(p + kVector * j, rev), lane_folds(r - 1 - j), s0);
        s1 = fold_into(load_vector(p + kVector * (j + 1), rev), lane_folds(r - 2 - j), s1);
    }
    if (j < r) {
        s0 = fold_into(load_vector(p + kVector * j, rev), lane_folds(0), s0);
    }
}

// The four lanes of x, each already folded onto the same block, as one.
__m128i sum_lanes(__m512i x) {
    const __m256i half = _mm256_xor_si256(_mm512_maskz_extracti64x4_epi64(0xF, x, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xF, x, 1));
    return _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
}

// A bin header (352 bytes) and anything else too short for the loop: every
// block of every register multiplied by its own distance from the last, all
// at once, so that no multiplication waits for another. Two sums keep the
// XORs short.
std::uint16_t short_buffer(std::uint16_t crc, const std::uint8_t *data, std::size_t size) {
    const __m128i rev128 = reverse_mask();
    const __m512i rev = broadcast(rev128);
    const std::size_t r = size / kVector;
    __m512i s0 =
        _mm512_xor_si512(load_vector(data, rev), _mm512_zextsi128_si512(initial_value(crc)));
    s0 = fold_into(s0, lane_folds(r - 1), _mm512_setzero_si512());
    __m512i s1 = _mm512_setzero_si512();
    add_registers(data + kVector, r - 1, rev, s0, s1);
    return finish(sum_lanes(_mm512_xor_si512(s0, s1)), data + kVector * r, size - kVector * r,
                  rev128);
}

}  // namespace

std::uint16_t crc16_update_vpclmul(std::uint16_t crc, const std::uint8_t *data,
                                   std::size_t size) noexcept {
    if (size < kShortMinimum) {
        return crc16_update_clmul_avx(crc, data, size);
    }
    if (size < kMinimum) {
        return short_buffer(crc, data, size);
    }
    crc = align_to_line(crc, data, size);
    const __m128i rev128 = reverse_mask();
    const __m512i rev = broadcast(rev128);
    // Separate variables rather than an array: the compiler keeps them in
    // registers instead of cycling them through the stack.
    __m512i a0 =
        _mm512_xor_si512(load_vector(data, rev), _mm512_zextsi128_si512(initial_value(crc)));
    __m512i a1 = load_vector(data + kVector, rev);
    __m512i a2 = load_vector(data + 2 * kVector, rev);
    __m512i a3 = load_vector(data + 3 * kVector, rev);
    data += kStride;
    size -= kStride;
    const __m512i kStrideFold = broadcast_pair(fold_pair(8 * kStride));
    const auto step = [&] {
        a0 = fold_into(a0, kStrideFold, load_vector(data, rev));
        a1 = fold_into(a1, kStrideFold, load_vector(data + kVector, rev));
        a2 = fold_into(a2, kStrideFold, load_vector(data + 2 * kVector, rev));
        a3 = fold_into(a3, kStrideFold, load_vector(data + 3 * kVector, rev));
        data += kStride;
        size -= kStride;
    };
    if (size >= kStreamed && crc_prefetch_ahead()) {
        while (size >= kStride + kPrefetchDistance) {
            for (std::size_t line = 0; line < kStride; line += kVector) {
                prefetch(data + kPrefetchDistance + line);
            }
            step();
        }
    }
    while (size >= kStride) {
        step();
    }
    // What is left, under 256 bytes, holds r whole registers: with them,
    // every block of the accumulators and of those registers is folded by
    // its own distance from the last in one step, the multiplications all
    // independent; under 64 bytes remain for the 128-bit finish.
    const std::size_t r = size / kVector;
    __m512i s0 = fold_into(a0, lane_folds(3 + r), _mm512_setzero_si512());
    __m512i s1 = fold_into(a1, lane_folds(2 + r), _mm512_setzero_si512());
    s0 = fold_into(a2, lane_folds(1 + r), s0);
    s1 = fold_into(a3, lane_folds(r), s1);
    add_registers(data, r, rev, s0, s1);
    return finish(sum_lanes(_mm512_xor_si512(s0, s1)), data + kVector * r, size - kVector * r,
                  rev128);
}

}  // namespace rerazera
