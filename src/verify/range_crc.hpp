// SPDX-License-Identifier: MIT
// Checksums of ranges of one mapping, in time bounded by the mapping.
//
// A package's entries may claim far more bytes than the file holds: many
// entries can describe the same sub-file, or start at staggered offsets
// inside one large sub-file. Summing every claimed range byte by byte would
// cost what the entries claim, not what the file is. RangeCrc sums ranges
// directly, with no allocation, while the bytes summed stay within
// kDirectFactor times the extent of the mapping (counting the ranges a
// caller announces it will ask for); past that it switches to
// running CRCs kept at every kGranule bytes (from the first granule a range
// needs, or from the mapping's start once a range starts before it), so
// that any further range costs two partial granules and a shift. A range
// asked for again (offset and length) is answered from a small cache, and
// a direct sum that starts where the anchored range does and runs further
// only sums the bytes past it.
// The values are those of the direct sums in every mode.
#pragma once

#include <cstddef>
#include <cstdint>

#include "verify/mapping.hpp"

namespace rerazera {

// How a RangeCrc sums: Auto switches past the budget; Direct never does
// (the straightforward walk); Tabled switches at once.
enum class CrcMode : std::uint8_t { Auto, Direct, Tabled };

class RangeCrc {
  public:
    // Running CRCs are kept every kGranule bytes: 2 bytes of table per
    // granule, 4 MiB for a 2 GiB package.
    static constexpr std::size_t kGranule = 1024;
    // Direct sums stay allowed up to this many times the extent.
    static constexpr std::uint64_t kDirectFactor = 2;

    // Ranges lie in the mapping starting at base. extent is its length when
    // known; UINT64_MAX when the caller only vouches for each range, the
    // extent is then the furthest end asked for so far.
    RangeCrc(const std::uint8_t *base, std::uint64_t extent, const PageFeeder *feeder,
             CrcMode mode = CrcMode::Auto) noexcept;
    RangeCrc(const RangeCrc &) = delete;
    RangeCrc &operator=(const RangeCrc &) = delete;
    ~RangeCrc();

    // CRC-16 of the n bytes at p, which lie within the mapping.
    std::uint16_t crc(const std::uint8_t *p, std::size_t n) noexcept;

    // Announces ranges still to come: `claimed` bytes in all, none ending
    // past `furthest`. When they would pass the direct budget the table is
    // started at once, before any of them is summed, so that no direct sum
    // is spent on a package that is going to need the table anyway.
    void expect(std::uint64_t claimed, std::uint64_t furthest) noexcept;

    // Takes the CRC of a range of this mapping summed elsewhere (a lookup
    // over the same bytes) as the anchor, as if it had been asked for here.
    void seed(const std::uint8_t *p, std::size_t n, std::uint16_t crc) noexcept;
    // crc(p, n), kept as the anchor: a longer range from p is then summed
    // from its end.
    std::uint16_t anchor(const std::uint8_t *p, std::size_t n) noexcept;

    // True once ranges are answered from the table.
    [[nodiscard]] bool tabled() const noexcept { return table_ != nullptr; }

  private:
    struct Slot {
        std::uint64_t offset = 0;
        std::uint64_t length = UINT64_MAX;  // no range has this length: empty
        std::uint16_t crc = 0;
    };
    static constexpr std::size_t kSlots = 64;  // indexed by a hash's top 6 bits

    bool start_table() noexcept;
    bool reserve(std::size_t granules) noexcept;
    // Sets the origin for a range starting in granule firstGranule, or moves
    // it to the mapping's start when the range starts before it.
    bool ready(std::size_t firstGranule) noexcept;
    bool rebase() noexcept;
    // Computes table_ up to entry k; false when it cannot grow.
    bool fill_to(std::size_t k) noexcept;
    // The running CRC from the mapping's start up to offset x, whose
    // granule's entry is filled.
    [[nodiscard]] std::uint16_t running(std::uint64_t x) const noexcept;
    std::uint16_t tabled_crc(std::uint64_t offset, std::size_t n) noexcept;
    std::uint16_t direct_crc(std::uint64_t offset, std::size_t n) noexcept;
    Slot &slot_for(std::uint64_t offset, std::size_t n) noexcept;

    const std::uint8_t *base_;
    std::uint64_t extent_;
    bool extentKnown_;
    const PageFeeder *feeder_;
    CrcMode mode_;
    bool noTable_ = false;  // allocation failed: direct sums from now on
    std::uint64_t direct_ = 0;
    // table_[k]: running CRC from granule origin_ to granule origin_ + k.
    std::uint16_t *table_ = nullptr;
    std::size_t origin_ = 0;
    std::size_t filled_ = 0;  // entries of table_ computed
    std::size_t capacity_ = 0;
    Slot slots_[kSlots];
    Slot anchor_;
};

}  // namespace rerazera
