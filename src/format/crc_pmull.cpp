// SPDX-License-Identifier: MIT
// CRC-16 kernel folding over 128-bit NEON registers with PMULL, the 64-bit
// polynomial multiply of the ARMv8 cryptography extension (aarch64); built
// with that extension enabled, run only where the CPU probe allows it. It
// folds exactly like the x86-64 kernels (crc_fold.hpp): eight accumulators,
// 128 bytes per step, and short runs summed block by block at once, the
// last partial block folded in with an overlapping load.
#include <arm_neon.h>

#include "format/crc_fold.hpp"
#include "format/crc_kernels.hpp"

namespace rerazera {
namespace {

using namespace crc_fold;

constexpr std::size_t kStride = 128;  // eight accumulators of 16 bytes
constexpr std::size_t kMinimum = 16;  // one whole block; shorter goes to the table
constexpr std::size_t kPrefetchDistance = 8 * kStride;

using Block = uint64x2_t;  // lane 1 is H, lane 0 is L

// Table-lookup indices: bytes 16 - t .. 31 - t give "shift right by 16 - t
// bytes", bytes 32 - t .. 47 - t give "shift left by t bytes"; an index past
// 15 selects zero.
alignas(16) constexpr std::uint8_t kShiftIndices[48] = {
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
};
alignas(16) constexpr std::uint8_t kReversed[16] = {15, 14, 13, 12, 11, 10, 9, 8,
                                                    7,  6,  5,  4,  3,  2,  1, 0};
alignas(16) constexpr std::uint8_t kIota[16] = {0, 1, 2,  3,  4,  5,  6,  7,
                                                8, 9, 10, 11, 12, 13, 14, 15};

// Sixteen bytes with the first byte in the top bits of lane 1.
Block load_block(const std::uint8_t *p) {
    return vreinterpretq_u64_u8(vqtbl1q_u8(vld1q_u8(p), vld1q_u8(kReversed)));
}

Block shuffle(Block x, const std::uint8_t *indices) {
    return vreinterpretq_u64_u8(vqtbl1q_u8(vreinterpretq_u8_u64(x), vld1q_u8(indices)));
}

Block pair_vector(FoldPair k) {
    return vcombine_u64(vcreate_u64(k.lo), vcreate_u64(k.hi));
}

Block block_fold(std::size_t d) {
    return vld1q_u64(&kBlockFolds[d].lo);
}

// X*x^D mod P as a 128-bit value, with k the pair for D.
Block fold(Block x, Block k) {
    const poly128_t lo = vmull_p64(vgetq_lane_u64(x, 0), vgetq_lane_u64(k, 0));
    const poly128_t hi = vmull_high_p64(vreinterpretq_p64_u64(x), vreinterpretq_p64_u64(k));
    return veorq_u64(vreinterpretq_u64_p128(lo), vreinterpretq_u64_p128(hi));
}

Block fold_into(Block x, Block k, Block next) {
    return veorq_u64(fold(x, k), next);
}

// The m blocks at p (1 <= m <= 16), block j times x^(128*(m-1-j)), with
// seed XORed into the first.
Block sum_blocks(const std::uint8_t *p, std::size_t m, Block seed) {
    Block s0 = veorq_u64(load_block(p), seed);
    if (m == 1) {
        return s0;
    }
    s0 = fold(s0, block_fold(m - 1));
    Block s1 = load_block(p + 16 * (m - 1));
    for (std::size_t j = 1; j + 1 < m; ++j) {
        const Block f = fold(load_block(p + 16 * j), block_fold(m - 1 - j));
        if ((j & 1) != 0) {
            s1 = veorq_u64(s1, f);
        } else {
            s0 = veorq_u64(s0, f);
        }
    }
    return veorq_u64(s0, s1);
}

std::uint64_t product_low(std::uint64_t a, std::uint64_t b) {
    return vgetq_lane_u64(vreinterpretq_u64_p128(vmull_p64(a, b)), 0);
}
std::uint64_t product_high(std::uint64_t a, std::uint64_t b) {
    return vgetq_lane_u64(vreinterpretq_u64_p128(vmull_p64(a, b)), 1);
}

// The CRC of everything folded into x: R = H*(x^80 mod P) + L*x^16, then
// Barrett reduction (crc_fold.hpp).
std::uint16_t reduce(Block x) {
    const std::uint64_t h = vgetq_lane_u64(x, 1);
    const std::uint64_t l = vgetq_lane_u64(x, 0);
    const poly128_t hx = vmull_p64(h, kX80);
    const std::uint64_t r_lo = vgetq_lane_u64(vreinterpretq_u64_p128(hx), 0) ^ (l << 16);
    const std::uint64_t r_hi = vgetq_lane_u64(vreinterpretq_u64_p128(hx), 1) ^ (l >> 48);
    const std::uint64_t a = (r_lo >> 16) | (r_hi << 48);
    const std::uint64_t q = a ^ product_high(a, kMuLow);
    return static_cast<std::uint16_t>(r_lo ^ product_low(q, kPolyLow));
}

// Finishes a computation: x holds the folded value of everything before p, at
// least sixteen bytes of which precede p in the same buffer (the last partial
// block is read with an overlapping load that ends at p + n), and n < 16.
std::uint16_t finish(Block x, const std::uint8_t *p, std::size_t n) {
    if (n > 0) {
        // The remaining t bytes extend X to X*x^(8t) + T. Split X*x^(8t) at
        // bit 128: the top 8t bits A (times x^128) are folded by 128, the rest
        // B keeps its place, and T fills B's low 8t bits.
        const Block last = load_block(p + n - 16);  // tail in the low t bytes
        const uint8x16_t keep = vcgtq_u8(vdupq_n_u8(static_cast<std::uint8_t>(n)), vld1q_u8(kIota));
        const Block tail = vandq_u64(last, vreinterpretq_u64_u8(keep));
        const Block top = shuffle(x, kShiftIndices + 16 - n);
        const Block rest = shuffle(x, kShiftIndices + 32 - n);
        x = veorq_u64(veorq_u64(fold(top, pair_vector(kFold128)), rest), tail);
    }
    return reduce(x);
}

}  // namespace

std::uint16_t crc16_update_pmull(std::uint16_t crc, const std::uint8_t *data,
                                 std::size_t size) noexcept {
    if (size < kMinimum) {
        return crc16_update_portable(crc, data, size);
    }
    // The starting value over the first two message bytes: the top 16 bits.
    const Block seed = vcombine_u64(vcreate_u64(0), vcreate_u64(std::uint64_t{crc} << 48));
    Block x;
    if (size < 2 * kStride) {
        const std::size_t m = size / 16;
        x = sum_blocks(data, m, seed);
        data += 16 * m;
        size -= 16 * m;
    } else {
        Block a0 = veorq_u64(load_block(data), seed);
        Block a1 = load_block(data + 16);
        Block a2 = load_block(data + 32);
        Block a3 = load_block(data + 48);
        Block a4 = load_block(data + 64);
        Block a5 = load_block(data + 80);
        Block a6 = load_block(data + 96);
        Block a7 = load_block(data + 112);
        data += kStride;
        size -= kStride;
        const Block k = pair_vector(fold_pair(8 * kStride));
        const bool streamed = size >= kStreamed;
        while (size >= kStride) {
            if (streamed && size >= kStride + kPrefetchDistance) {
                __builtin_prefetch(data + kPrefetchDistance);
                __builtin_prefetch(data + kPrefetchDistance + 64);
            }
            a0 = fold_into(a0, k, load_block(data));
            a1 = fold_into(a1, k, load_block(data + 16));
            a2 = fold_into(a2, k, load_block(data + 32));
            a3 = fold_into(a3, k, load_block(data + 48));
            a4 = fold_into(a4, k, load_block(data + 64));
            a5 = fold_into(a5, k, load_block(data + 80));
            a6 = fold_into(a6, k, load_block(data + 96));
            a7 = fold_into(a7, k, load_block(data + 112));
            data += kStride;
            size -= kStride;
        }
        // Accumulator i is followed by 7 - i blocks and the m left over.
        const std::size_t m = size / 16;
        x = veorq_u64(fold(a7, block_fold(m)), fold(a6, block_fold(m + 1)));
        Block y = veorq_u64(fold(a5, block_fold(m + 2)), fold(a4, block_fold(m + 3)));
        x = veorq_u64(x, veorq_u64(fold(a3, block_fold(m + 4)), fold(a2, block_fold(m + 5))));
        y = veorq_u64(y, veorq_u64(fold(a1, block_fold(m + 6)), fold(a0, block_fold(m + 7))));
        x = veorq_u64(x, y);
        if (m > 0) {
            x = veorq_u64(x, sum_blocks(data, m, vdupq_n_u64(0)));
        }
        data += 16 * m;
        size -= 16 * m;
    }
    return finish(x, data, size);
}

}  // namespace rerazera
