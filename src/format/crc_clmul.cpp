// CRC-16 kernel folding over 128-bit registers (SSE4.1 + PCLMULQDQ); built
// with those instructions enabled, run only where the CPU probe allows it.
// Eight independent accumulators, 128 bytes per step, hide the multiplier's
// latency; see crc_fold_x86.hpp for the folding itself.
#include "format/crc_fold_x86.hpp"
#include "format/crc_kernels.hpp"

namespace rerazera {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kStride = 16 * kLanes;
constexpr std::size_t kMinimum = 32;  // below this the table is as fast

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
        __m128i acc[kLanes];
        acc[0] = x;
        for (std::size_t i = 1; i < kLanes; ++i) {
            acc[i] = load_block(data + 16 * i, rev);
        }
        data += kStride;
        size -= kStride;
        const __m128i kStrideFold = pair_vector(fold_pair(8 * kStride));
        while (size >= kStride) {
            for (std::size_t i = 0; i < kLanes; ++i) {
                acc[i] = _mm_xor_si128(fold(acc[i], kStrideFold), load_block(data + 16 * i, rev));
            }
            data += kStride;
            size -= kStride;
        }
        x = acc[0];
        for (std::size_t i = 1; i < kLanes; ++i) {
            x = _mm_xor_si128(fold(x, k128), acc[i]);
        }
    } else {
        data += 16;
        size -= 16;
    }
    return finish(x, data, size, rev);
}

}  // namespace rerazera
