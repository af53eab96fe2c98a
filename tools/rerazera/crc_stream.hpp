// SPDX-License-Identifier: MIT
// CRC-16 of data fed in pieces, for pack, which streams payloads from disk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rztool {

// The library computes a checksum from a zero register only; for this CRC
// (no reflection, no final XOR) starting from a register r is the same as
// starting from zero with r XORed into the first two bytes, which is how the
// pieces are chained (a piece of one byte b gives crc(r_hi ^ b) ^
// (r_lo << 8)).
class Crc16Stream {
  public:
    // data is modified during the call and restored before it returns.
    void update(std::uint8_t *data, std::size_t size);
    [[nodiscard]] std::uint16_t value() const { return crc_; }

  private:
    std::uint16_t crc_ = 0;
};

}  // namespace rztool
