// SPDX-License-Identifier: MIT
// A mapping of the whole package that a caller already holds while it runs
// a lookup by path: the lookup then takes the second descriptor table from
// the mapping instead of reading it a second time, and hands back the
// checksum it formed over it, so that a later check of the same mapping
// need not sum those bytes again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rerazera {

// The CRC-16 of the n bytes at p, summed from a mapping.
struct SummedRange {
    const std::uint8_t *p = nullptr;
    std::size_t n = 0;
    std::uint16_t crc = 0;
};

struct HeldMapping {
    const std::uint8_t *base = nullptr;  // the file's first byte
    std::uint64_t size = 0;              // the whole file
    SummedRange table;                   // set when the table was summed from it
};

}  // namespace rerazera
