// SPDX-License-Identifier: MIT
// CRC-16 kernel folding over 128-bit registers (SSE4.1 + PCLMULQDQ); built
// with those instructions enabled, run only where the CPU probe allows it.
#include "format/crc_clmul_loop.hpp"

namespace rerazera {

std::uint16_t crc16_update_clmul(std::uint16_t crc, const std::uint8_t *data,
                                 std::size_t size) noexcept {
    return crc_x86::clmul128::update(crc, data, size);
}

}  // namespace rerazera
