// SPDX-License-Identifier: MIT
// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final
// XOR (check value 0x31C3 over "123456789"). Protects the header, every bin
// header, every payload and the second descriptor table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rerazera {

// CRC of size bytes, continuing from crc (0 for a fresh computation). Runs
// the fastest kernel this machine supports, chosen on the first call
// (crc_kernels.hpp); reentrant, no initialisation needed.
std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t *data, std::size_t size) noexcept;

inline std::uint16_t crc16(const std::uint8_t *data, std::size_t size) noexcept {
    return crc16_update(0, data, size);
}

// True when a stored 32-bit checksum word holds exactly this CRC: the CRC is
// zero-extended, so a word with any upper bit set never matches.
constexpr bool crc_word_matches(std::uint32_t stored, std::uint16_t computed) noexcept {
    return stored == std::uint32_t{computed};
}

}  // namespace rerazera
