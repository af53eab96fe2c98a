// SPDX-License-Identifier: MIT
// The portable CRC-16 kernel: slicing by sixteen bytes (then 8, 4, 2, 1).
//
// The register is 16 bits wide and shifts left, so after two bytes its old
// value has been entirely absorbed: updating `crc` over a block of n >= 2
// bytes equals updating 0 over the block with crc's high byte XORed into the
// first byte and its low byte into the second. From a zero register the CRC
// is linear in the message, so the CRC of the block is the XOR, over its
// bytes, of the CRC of each byte alone followed by the zero bytes after it
// (leading zero bytes leave a zero register unchanged). kTables[k][b] is the
// CRC of byte b followed by k zero bytes; one lookup per byte, all sixteen
// independent of each other.
#include <array>

#include "format/crc_kernels.hpp"

namespace rerazera {
namespace {

constexpr std::uint16_t kPoly = 0x1021;
constexpr std::size_t kSlice = 16;

using Tables = std::array<std::array<std::uint16_t, 256>, kSlice>;

constexpr Tables make_tables() noexcept {
    Tables t{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        auto reg = static_cast<std::uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = static_cast<std::uint16_t>((reg & 0x8000) ? (reg << 1) ^ kPoly : reg << 1);
        }
        t[0][byte] = reg;
    }
    // One more zero byte: the plain byte-wise step with a zero input byte.
    for (std::size_t k = 1; k < kSlice; ++k) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            const std::uint16_t prev = t[k - 1][byte];
            t[k][byte] = static_cast<std::uint16_t>((prev << 8) ^ t[0][prev >> 8]);
        }
    }
    return t;
}

constexpr Tables kTables = make_tables();

// One step over n bytes (2 <= n <= 16): the register folded into the first
// two bytes, then one lookup per byte in the table for its distance from
// the end.
template <std::size_t N>
std::uint16_t slice(std::uint16_t crc, const std::uint8_t *data) noexcept {
    static_assert(N >= 2 && N <= kSlice);
    std::uint16_t next = 0;
    next ^= kTables[N - 1][data[0] ^ (crc >> 8)];
    next ^= kTables[N - 2][data[1] ^ (crc & 0xFF)];
    for (std::size_t i = 2; i < N; ++i) {
        next ^= kTables[N - 1 - i][data[i]];
    }
    return next;
}

}  // namespace

std::uint16_t crc16_update_portable(std::uint16_t crc, const std::uint8_t *data,
                                    std::size_t size) noexcept {
    for (; size >= kSlice; data += kSlice, size -= kSlice) {
        crc = slice<kSlice>(crc, data);
    }
    // The last 0..15 bytes in at most four steps rather than one per byte.
    if ((size & 8) != 0) {
        crc = slice<8>(crc, data);
        data += 8;
    }
    if ((size & 4) != 0) {
        crc = slice<4>(crc, data);
        data += 4;
    }
    if ((size & 2) != 0) {
        crc = slice<2>(crc, data);
        data += 2;
    }
    if ((size & 1) != 0) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ kTables[0][(crc >> 8) ^ data[0]]);
    }
    return crc;
}

}  // namespace rerazera
