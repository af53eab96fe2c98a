// SPDX-License-Identifier: MIT
// Big-endian field access. Every multi-byte integer of a package is stored
// big-endian; this is the one place that decodes (and, for writers, encodes)
// them. Fields are read byte by byte, so alignment never matters.
#pragma once

#include <cstdint>

namespace rerazera {

constexpr std::uint32_t load_be32(const std::uint8_t *p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

constexpr std::uint16_t load_be16(const std::uint8_t *p) noexcept {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

constexpr void store_be32(std::uint8_t *p, std::uint32_t value) noexcept {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

constexpr void store_be16(std::uint8_t *p, std::uint16_t value) noexcept {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

}  // namespace rerazera
