// SPDX-License-Identifier: MIT
#include "format/crc_combine.hpp"

#include <array>

namespace rerazera {
namespace {

constexpr std::uint32_t kPoly = 0x11021;  // x^16 + x^12 + x^5 + 1

// a * b modulo the polynomial, both of degree below 16.
constexpr std::uint16_t mul_mod(std::uint16_t a, std::uint16_t b) noexcept {
    std::uint32_t product = 0;
    for (int bit = 15; bit >= 0; --bit) {
        product <<= 1;
        if ((b >> bit) & 1u) {
            product ^= a;
        }
        if (product & 0x10000u) {
            product ^= kPoly;
        }
    }
    return static_cast<std::uint16_t>(product);
}

// x^(8 * 2^k) modulo the polynomial, k = 0..63: squares of x^8.
constexpr std::array<std::uint16_t, 64> make_powers() noexcept {
    std::array<std::uint16_t, 64> powers{};
    powers[0] = 0x0100;  // x^8
    for (std::size_t k = 1; k < powers.size(); ++k) {
        powers[k] = mul_mod(powers[k - 1], powers[k - 1]);
    }
    return powers;
}

constexpr std::array<std::uint16_t, 64> kPowers = make_powers();

}  // namespace

std::uint16_t crc16_shift(std::uint16_t crc, std::uint64_t bytes) noexcept {
    for (std::size_t k = 0; bytes != 0 && crc != 0; ++k, bytes >>= 1) {
        if (bytes & 1u) {
            crc = mul_mod(crc, kPowers[k]);
        }
    }
    return crc;
}

}  // namespace rerazera
