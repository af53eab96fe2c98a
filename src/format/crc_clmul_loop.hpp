// SPDX-License-Identifier: MIT
// The 128-bit folding loop, built into two kernels: with SSE4.1 (clmul) and
// with AVX (clmul_avx), whose VEX forms take three operands and unaligned
// memory operands, so the loop needs no register copies. Included only by
// those two files; everything here has internal linkage.
//
// Eight independent accumulators, 128 bytes per step, hide the multiplier's
// latency; see crc_fold_x86.hpp for the folding itself.
#pragma once

#include "format/crc_fold_x86.hpp"
#include "format/crc_kernels.hpp"

namespace rerazera::crc_x86::clmul128 {

constexpr std::size_t kStride = 128;  // eight accumulators of 16 bytes
constexpr std::size_t kMinimum = 16;  // one whole block; shorter goes to the table
// Beyond the caches the loop waits for memory: each step asks for the two
// lines it will load eight steps later, while they are still in the buffer.
constexpr std::size_t kPrefetchDistance = 8 * kStride;

static inline std::uint16_t update(std::uint16_t crc, const std::uint8_t *data,
                                   std::size_t size) noexcept {
    if (size < kMinimum) {
        return crc16_update_portable(crc, data, size);
    }
    crc = align_to_line(crc, data, size);
    const __m128i rev = reverse_mask();
    if (size < 2 * kStride) {
        // Short buffers, a bin header among them: every block multiplied by
        // its own distance from the end, all at once.
        const std::size_t m = size / 16;
        const __m128i x = sum_blocks(data, m, initial_value(crc), rev);
        return finish(x, data + 16 * m, size - 16 * m, rev);
    }
    // Eight named accumulators: an array would be cycled through the stack,
    // adding a store and a load to every fold's latency.
    __m128i a0 = _mm_xor_si128(load_block(data, rev), initial_value(crc));
    __m128i a1 = load_block(data + 16, rev);
    __m128i a2 = load_block(data + 32, rev);
    __m128i a3 = load_block(data + 48, rev);
    __m128i a4 = load_block(data + 64, rev);
    __m128i a5 = load_block(data + 80, rev);
    __m128i a6 = load_block(data + 96, rev);
    __m128i a7 = load_block(data + 112, rev);
    data += kStride;
    size -= kStride;
    const __m128i k = pair_vector(fold_pair(8 * kStride));
    // One loop, the prefetch behind a branch that never changes its mind
    // within a buffer: the loop body stays one block of code, with the
    // accumulators in registers.
    const bool streamed = size >= kStreamed && crc_prefetch_ahead();
    while (size >= kStride) {
        if (streamed && size >= kStride + kPrefetchDistance) {
            prefetch(data + kPrefetchDistance);
            prefetch(data + kPrefetchDistance + 64);
        }
        a0 = _mm_xor_si128(fold(a0, k), load_block(data, rev));
        a1 = _mm_xor_si128(fold(a1, k), load_block(data + 16, rev));
        a2 = _mm_xor_si128(fold(a2, k), load_block(data + 32, rev));
        a3 = _mm_xor_si128(fold(a3, k), load_block(data + 48, rev));
        a4 = _mm_xor_si128(fold(a4, k), load_block(data + 64, rev));
        a5 = _mm_xor_si128(fold(a5, k), load_block(data + 80, rev));
        a6 = _mm_xor_si128(fold(a6, k), load_block(data + 96, rev));
        a7 = _mm_xor_si128(fold(a7, k), load_block(data + 112, rev));
        data += kStride;
        size -= kStride;
    }
    // Accumulator i is followed by 7 - i blocks and then the m whole blocks
    // left over: each is folded by its own distance, the multiplications
    // independent of each other.
    const std::size_t m = size / 16;
    __m128i x = _mm_xor_si128(fold_blocks_by(a7, m), fold_blocks_by(a6, m + 1));
    __m128i y = _mm_xor_si128(fold_blocks_by(a5, m + 2), fold_blocks_by(a4, m + 3));
    x = _mm_xor_si128(x, _mm_xor_si128(fold_blocks_by(a3, m + 4), fold_blocks_by(a2, m + 5)));
    y = _mm_xor_si128(y, _mm_xor_si128(fold_blocks_by(a1, m + 6), fold_blocks_by(a0, m + 7)));
    x = _mm_xor_si128(x, y);
    if (m > 0) {
        x = _mm_xor_si128(x, sum_blocks(data, m, _mm_setzero_si128(), rev));
    }
    data += 16 * m;
    size -= 16 * m;
    return finish(x, data, size, rev);
}

}  // namespace rerazera::crc_x86::clmul128
