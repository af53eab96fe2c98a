// SPDX-License-Identifier: MIT
// CRC-16 kernel folding over 128-bit registers (SSE4.1 + PCLMULQDQ); built
// with those instructions enabled, run only where the CPU probe allows it.
// Eight independent accumulators, 128 bytes per step, hide the multiplier's
// latency; see crc_fold_x86.hpp for the folding itself.
#include "format/crc_fold_x86.hpp"
#include "format/crc_kernels.hpp"

namespace rerazera {
namespace {

constexpr std::size_t kStride = 128;  // eight accumulators of 16 bytes
constexpr std::size_t kMinimum = 16;  // one whole block; shorter goes to the table

}  // namespace

std::uint16_t crc16_update_clmul(std::uint16_t crc, const std::uint8_t *data,
                                 std::size_t size) noexcept {
    using namespace crc_x86;
    if (size < kMinimum) {
        return crc16_update_portable(crc, data, size);
    }
    const __m128i rev = reverse_mask();
    const __m128i k128 = pair_vector(kFold128);
    __m128i x = _mm_xor_si128(load_block(data, rev), initial_value(crc));

    if (size >= 2 * kStride) {
        // Eight named accumulators: an array would be cycled through the
        // stack, adding a store and a load to every fold's latency.
        __m128i a0 = x;
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
        while (size >= kStride) {
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
        // Accumulator i is followed by 7 - i blocks: each is folded by its
        // own distance, so the multiplications are independent of each other.
        x = _mm_xor_si128(fold(a6, k128), a7);
        x = _mm_xor_si128(x, fold(a5, pair_vector(fold_pair(2 * 128))));
        x = _mm_xor_si128(x, fold(a4, pair_vector(fold_pair(3 * 128))));
        x = _mm_xor_si128(x, fold(a3, pair_vector(fold_pair(4 * 128))));
        x = _mm_xor_si128(x, fold(a2, pair_vector(fold_pair(5 * 128))));
        x = _mm_xor_si128(x, fold(a1, pair_vector(fold_pair(6 * 128))));
        x = _mm_xor_si128(x, fold(a0, pair_vector(fold_pair(7 * 128))));
    } else {
        data += 16;
        size -= 16;
    }
    return finish(x, data, size, rev);
}

}  // namespace rerazera
