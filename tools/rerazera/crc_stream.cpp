// SPDX-License-Identifier: MIT
#include "crc_stream.hpp"

#include <algorithm>

#include "rerazera.h"

namespace rztool {

void Crc16Stream::update(std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return;
    }
    if (size == 1) {
        std::uint8_t b = static_cast<std::uint8_t>(data[0] ^ (crc_ >> 8));
        std::uint16_t c = 0;
        QVPKG_MakeCrcCheckSum(&b, 1, &c);
        crc_ = static_cast<std::uint16_t>(c ^ ((crc_ & 0xFFu) << 8));
        return;
    }
    const auto hi = static_cast<std::uint8_t>(crc_ >> 8);
    const auto lo = static_cast<std::uint8_t>(crc_ & 0xFFu);
    data[0] ^= hi;
    data[1] ^= lo;
    std::uint16_t c = 0;
    std::size_t done = 0;
    // The library counts in signed 32 bits: feed at most 1 GiB at a time.
    while (done < size) {
        const std::size_t n = std::min<std::size_t>(size - done, std::size_t{1} << 30);
        if (done == 0) {
            QVPKG_MakeCrcCheckSum(data, static_cast<std::int32_t>(n), &c);
        } else {
            Crc16Stream rest;
            rest.crc_ = c;
            rest.update(data + done, n);
            c = rest.crc_;
        }
        done += n;
    }
    data[0] ^= hi;
    data[1] ^= lo;
    crc_ = c;
}

}  // namespace rztool
