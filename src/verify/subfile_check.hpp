// SPDX-License-Identifier: MIT
// The sub-file test: one sub-file in memory against its descriptor.
#pragma once

#include <cstdint>

#include "rerazera.h"
#include "verify/mapping.hpp"
#include "verify/range_crc.hpp"

namespace rerazera {

// True when size bytes at offset lie within the first limit bytes of a
// mapping. Summed in 64 bits: two 32-bit fields cannot wrap around.
constexpr bool lies_within(std::uint32_t offset, std::uint64_t size, std::uint64_t limit) noexcept {
    return std::uint64_t{offset} + size <= limit;
}

// The last entry that passed the sub-file test. The test reads nothing but
// the bytes an entry's offset and length select and its checksum (the file
// id only names a failure), so an entry that repeats those three passes too.
class PassedEntry {
  public:
    [[nodiscard]] bool same(const QVFileDesc &desc) const noexcept {
        return valid_ && desc.offset == offset_ && desc.length == length_ && desc.crc == crc_;
    }
    void remember(const QVFileDesc &desc) noexcept {
        valid_ = true;
        offset_ = desc.offset;
        length_ = desc.length;
        crc_ = desc.crc;
    }

  private:
    bool valid_ = false;
    std::uint32_t offset_ = 0;
    std::uint32_t length_ = 0;
    std::uint32_t crc_ = 0;
};

// Tests the sub-file at subFile (desc.length readable bytes): an empty entry
// passes untouched; otherwise its size, its bin header checksum, that its
// payload fits inside it, and the payload checksum, in that order. Returns 0,
// or QVPKG_ERR with the reason in msg. Logs nothing. A feeder, when given,
// brings a long payload in ahead of its checksum.
std::int32_t check_subfile(const std::uint8_t *subFile, const QVFileDesc &desc, char *msg,
                           std::uint32_t msgSize, const PageFeeder *feeder = nullptr) noexcept;

// The same test with every checksum taken through ranges, which holds the
// mapping that subFile lies in.
std::int32_t check_subfile(const std::uint8_t *subFile, const QVFileDesc &desc, char *msg,
                           std::uint32_t msgSize, RangeCrc &ranges) noexcept;

}  // namespace rerazera
