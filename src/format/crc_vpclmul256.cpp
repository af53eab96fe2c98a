// SPDX-License-Identifier: MIT
// CRC-16 kernel folding two 128-bit lanes per 256-bit register (AVX2 +
// VPCLMULQDQ), for CPUs that have the wide carry-less multiply but no
// AVX-512; built with those instructions enabled, run only where the CPU
// probe allows it. Each lane folds exactly like the 128-bit kernel
// (crc_fold_x86.hpp), with the constants for its own distance.
#include "format/crc_fold_x86.hpp"
#include "format/crc_kernels.hpp"

namespace rerazera {
namespace {

using namespace crc_x86;

constexpr std::size_t kVector = 32;       // bytes per register
constexpr std::size_t kAccumulators = 8;  // independent chains
constexpr std::size_t kStride = kVector * kAccumulators;
constexpr std::size_t kMinimum = 2 * kStride;       // below this, the short path
constexpr std::size_t kShortMinimum = 2 * kVector;  // below this, 128-bit folding
constexpr std::size_t kPrefetchDistance = 6 * kStride;

__m256i load_vector(const std::uint8_t *p, __m256i rev) {
    return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), rev);
}

// Both lanes of x folded by the same distance, k = broadcast fold pair.
__m256i fold256(__m256i x, __m256i k) {
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00),
                            _mm256_clmulepi64_epi128(x, k, 0x11));
}

__m256i fold_into(__m256i x, __m256i k, __m256i next) {
    return _mm256_xor_si256(fold256(x, k), next);
}

// Folding by d registers is folding by 2d blocks.
__m256i register_fold(std::size_t d) {
    return _mm256_broadcastsi128_si256(block_fold(2 * d));
}

// The r registers at p (1 <= r <= 8) as one value: register j folded by the
// r - 1 - j registers after it, seed XORed into the first. Every
// multiplication is independent of the others; two sums keep the XORs off
// their path.
__m256i sum_registers(const std::uint8_t *p, std::size_t r, __m256i seed, __m256i rev) {
    __m256i s0 = _mm256_xor_si256(load_vector(p, rev), seed);
    if (r == 1) {
        return s0;
    }
    s0 = fold256(s0, register_fold(r - 1));
    __m256i s1 = load_vector(p + kVector * (r - 1), rev);
    for (std::size_t j = 1; j + 1 < r; ++j) {
        const __m256i f = fold256(load_vector(p + kVector * j, rev), register_fold(r - 1 - j));
        if ((j & 1) != 0) {
            s1 = _mm256_xor_si256(s1, f);
        } else {
            s0 = _mm256_xor_si256(s0, f);
        }
    }
    return _mm256_xor_si256(s0, s1);
}

// The low lane is followed by the high one: folded by one block onto it.
__m128i merge_lanes(__m256i x) {
    return _mm_xor_si128(fold_blocks_by(_mm256_castsi256_si128(x), 1),
                         _mm256_extracti128_si256(x, 1));
}

// A bin header (352 bytes) and anything else too short for the loop: every
// register multiplied by its own distance from the end, all at once, half as
// many multiplications as folding block by block.
std::uint16_t short_buffer(std::uint16_t crc, const std::uint8_t *data, std::size_t size) {
    const __m128i rev128 = reverse_mask();
    const __m256i rev = _mm256_broadcastsi128_si256(rev128);
    const __m256i seed = _mm256_zextsi128_si256(initial_value(crc));
    const std::size_t r = size / kVector;
    __m256i x;
    if (r > kAccumulators) {
        // Registers beyond the table's reach are summed apart and folded by
        // eight registers, in parallel with the other eight.
        const std::size_t head = r - kAccumulators;
        const __m256i k = _mm256_broadcastsi128_si256(pair_vector(fold_pair(8 * kStride)));
        x = _mm256_xor_si256(
            fold256(sum_registers(data, head, seed, rev), k),
            sum_registers(data + kVector * head, kAccumulators, _mm256_setzero_si256(), rev));
    } else {
        x = sum_registers(data, r, seed, rev);
    }
    return finish(merge_lanes(x), data + kVector * r, size - kVector * r, rev128);
}

}  // namespace

std::uint16_t crc16_update_vpclmul256(std::uint16_t crc, const std::uint8_t *data,
                                      std::size_t size) noexcept {
    if (size < kShortMinimum) {
        return crc16_update_clmul_avx(crc, data, size);
    }
    if (size < kMinimum) {
        return short_buffer(crc, data, size);
    }
    crc = align_to_line(crc, data, size);
    const __m128i rev128 = reverse_mask();
    const __m256i rev = _mm256_broadcastsi128_si256(rev128);
    __m256i a0 =
        _mm256_xor_si256(load_vector(data, rev), _mm256_zextsi128_si256(initial_value(crc)));
    __m256i a1 = load_vector(data + kVector, rev);
    __m256i a2 = load_vector(data + 2 * kVector, rev);
    __m256i a3 = load_vector(data + 3 * kVector, rev);
    __m256i a4 = load_vector(data + 4 * kVector, rev);
    __m256i a5 = load_vector(data + 5 * kVector, rev);
    __m256i a6 = load_vector(data + 6 * kVector, rev);
    __m256i a7 = load_vector(data + 7 * kVector, rev);
    data += kStride;
    size -= kStride;
    const __m256i k = _mm256_broadcastsi128_si256(pair_vector(fold_pair(8 * kStride)));
    // One loop, the prefetch behind a branch that never changes its mind
    // within a buffer: the loop body stays one block of code, with the
    // accumulators in registers.
    const bool streamed = size >= kStreamed && crc_prefetch_ahead();
    while (size >= kStride) {
        if (streamed && size >= kStride + kPrefetchDistance) {
            for (std::size_t line = 0; line < kStride; line += 64) {
                prefetch(data + kPrefetchDistance + line);
            }
        }
        a0 = fold_into(a0, k, load_vector(data, rev));
        a1 = fold_into(a1, k, load_vector(data + kVector, rev));
        a2 = fold_into(a2, k, load_vector(data + 2 * kVector, rev));
        a3 = fold_into(a3, k, load_vector(data + 3 * kVector, rev));
        a4 = fold_into(a4, k, load_vector(data + 4 * kVector, rev));
        a5 = fold_into(a5, k, load_vector(data + 5 * kVector, rev));
        a6 = fold_into(a6, k, load_vector(data + 6 * kVector, rev));
        a7 = fold_into(a7, k, load_vector(data + 7 * kVector, rev));
        data += kStride;
        size -= kStride;
    }
    // Register i is followed by 7 - i more: each lane folded by that many
    // registers lands on the same lane of the last one.
    __m256i x = _mm256_xor_si256(a7, fold256(a6, register_fold(1)));
    __m256i y = _mm256_xor_si256(fold256(a5, register_fold(2)), fold256(a4, register_fold(3)));
    x = _mm256_xor_si256(
        x, _mm256_xor_si256(fold256(a3, register_fold(4)), fold256(a2, register_fold(5))));
    y = _mm256_xor_si256(
        y, _mm256_xor_si256(fold256(a1, register_fold(6)), fold256(a0, register_fold(7))));
    x = _mm256_xor_si256(x, y);
    return finish(merge_lanes(x), data, size, rev128);
}

}  // namespace rerazera
