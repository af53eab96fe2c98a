// SPDX-License-Identifier: MIT
// Joining CRC-16/XMODEM values without the bytes behind them.
//
// With a zero initial value and no final XOR the CRC is linear over GF(2):
// crc(A || B) = crc(A) * x^(8|B|) + crc(B), modulo the polynomial. So the CRC
// of a range follows from running CRCs taken at its two ends, in time
// logarithmic in its length, whatever bytes lie between. Verification uses
// this to checksum ranges that overlap (and streams to checksum ranges it no
// longer holds) without reading any byte twice.
#pragma once

#include <cstdint>

namespace rerazera {

// crc * x^(8 * bytes) modulo the polynomial: the value a CRC register holding
// crc reaches after `bytes` zero bytes more.
std::uint16_t crc16_shift(std::uint16_t crc, std::uint64_t bytes) noexcept;

// The CRC of A || B, given crc(A), crc(B) and the length of B.
inline std::uint16_t crc16_combine(std::uint16_t crcA, std::uint16_t crcB,
                                   std::uint64_t lengthB) noexcept {
    return static_cast<std::uint16_t>(crc16_shift(crcA, lengthB) ^ crcB);
}

// The CRC of the bytes between two points of one running CRC: `before` is
// the running value where the range starts, `after` where it ends, `length`
// the bytes in between.
inline std::uint16_t crc16_between(std::uint16_t before, std::uint16_t after,
                                   std::uint64_t length) noexcept {
    return static_cast<std::uint16_t>(crc16_shift(before, length) ^ after);
}

}  // namespace rerazera
