// SPDX-License-Identifier: MIT
#include "verify/range_crc.hpp"

#include <cstdlib>
#include <cstring>

#include "format/crc.hpp"
#include "format/crc_combine.hpp"

namespace rerazera {

RangeCrc::RangeCrc(const std::uint8_t *base, std::uint64_t extent, const PageFeeder *feeder,
                   CrcMode mode) noexcept
    : base_(base),
      extent_(extent == UINT64_MAX ? 0 : extent),
      extentKnown_(extent != UINT64_MAX),
      feeder_(feeder),
      mode_(mode) {}

RangeCrc::~RangeCrc() {
    std::free(table_);
}

bool RangeCrc::reserve(std::size_t granules) noexcept {
    if (granules <= capacity_) {
        return true;
    }
    std::size_t want = capacity_ * 2 > granules ? capacity_ * 2 : granules;
    if (extentKnown_) {
        want = granules;  // the whole extent is reserved at once
    }
    auto *grown = static_cast<std::uint16_t *>(std::realloc(table_, want * sizeof *table_));
    if (grown == nullptr) {
        return false;
    }
    table_ = grown;
    capacity_ = want;
    return true;
}

bool RangeCrc::start_table() noexcept {
    const std::size_t granules = extentKnown_ ? extent_ / kGranule + 1 : 1;
    if (!reserve(granules)) {
        noTable_ = true;
        return false;
    }
    filled_ = 0;  // the first range sets the origin
    return true;
}

bool RangeCrc::fill_to(std::size_t k) noexcept {
    if (k < filled_) {
        return true;
    }
    if (!reserve(k + 1)) {
        return false;
    }
    // Entry i needs the bytes before granule origin_ + i only, so nothing
    // past the end of a range being summed is ever read.
    for (std::size_t i = filled_; i <= k; ++i) {
        if (i == 0) {
            table_[0] = 0;
            continue;
        }
        const std::size_t at = (origin_ + i - 1) * kGranule;
        if (feeder_ != nullptr && at % PageFeeder::kChunk == 0) {
            feeder_->feed(base_ + at, PageFeeder::kChunk);
        }
        table_[i] = crc16_update(table_[i - 1], base_ + at, kGranule);
    }
    filled_ = k + 1;
    return true;
}

bool RangeCrc::rebase() noexcept {
    const std::size_t shift = origin_;
    if (!reserve(shift + filled_)) {
        return false;
    }
    std::memmove(table_ + shift, table_, filled_ * sizeof *table_);
    table_[0] = 0;
    for (std::size_t i = 1; i <= shift; ++i) {
        table_[i] = crc16_update(table_[i - 1], base_ + (i - 1) * kGranule, kGranule);
    }
    // Entry i of the old table held crc(old origin .. granule i); prefixing
    // the bytes before the old origin adds their CRC carried over the rest.
    std::uint16_t carried = table_[shift];
    for (std::size_t i = 1; i < filled_; ++i) {
        carried = crc16_shift(carried, kGranule);
        table_[shift + i] ^= carried;
    }
    filled_ += shift;
    origin_ = 0;
    return true;
}

std::uint16_t RangeCrc::running(std::uint64_t x) const noexcept {
    const std::size_t k = x / kGranule - origin_;
    const std::uint64_t at = (origin_ + k) * kGranule;
    return crc16_update(table_[k], base_ + at, x - at);
}

bool RangeCrc::ready(std::size_t firstGranule) noexcept {
    if (filled_ == 0) {
        origin_ = firstGranule;  // running CRCs start where they are first needed
        return true;
    }
    // Moved at most once: the origin then is the mapping's start.
    return firstGranule >= origin_ || rebase();
}

RangeCrc::Slot &RangeCrc::slot_for(std::uint64_t offset, std::size_t n) noexcept {
    const std::uint64_t key = (offset ^ (std::uint64_t{n} << 32)) * 0x9E3779B97F4A7C15u;
    return slots_[key >> 58];
}

void RangeCrc::seed(const std::uint8_t *p, std::size_t n, std::uint16_t crc) noexcept {
    const auto offset = static_cast<std::uint64_t>(p - base_);
    anchor_ = Slot{offset, n, crc};
    slot_for(offset, n) = anchor_;
}

std::uint16_t RangeCrc::anchor(const std::uint8_t *p, std::size_t n) noexcept {
    const std::uint16_t value = crc(p, n);
    seed(p, n, value);
    return value;
}

std::uint16_t RangeCrc::direct_crc(std::uint64_t offset, std::size_t n) noexcept {
    if (anchor_.offset == offset && anchor_.length <= n) {
        // The second descriptor table, then the dummy bin file's payload
        // that holds it and its stored checksum: only the tail is new.
        direct_ += n - anchor_.length;
        return crc16_mapped(base_ + offset + anchor_.length, n - anchor_.length, feeder_,
                            anchor_.crc);
    }
    direct_ += n;
    return crc16_mapped(base_ + offset, n, feeder_);
}

std::uint16_t RangeCrc::tabled_crc(std::uint64_t offset, std::size_t n) noexcept {
    Slot &slot = slot_for(offset, n);
    if (slot.offset == offset && slot.length == n) {
        return slot.crc;
    }
    // A short range is cheaper summed than joined.
    std::uint16_t value = 0;
    if (n < 2 * kGranule) {
        value = crc16(base_ + offset, n);
    } else if (ready(offset / kGranule) && fill_to((offset + n) / kGranule - origin_)) {
        value = crc16_between(running(offset), running(offset + n), n);
    } else {
        value = crc16_mapped(base_ + offset, n, feeder_);  // table could not grow: still exact
    }
    slot = Slot{offset, n, value};
    return value;
}

void RangeCrc::expect(std::uint64_t claimed, std::uint64_t furthest) noexcept {
    if (!extentKnown_ && furthest > extent_) {
        extent_ = furthest;
    }
    if (table_ == nullptr && mode_ == CrcMode::Auto && !noTable_ &&
        direct_ + claimed > kDirectFactor * extent_) {
        (void)start_table();
    }
}

std::uint16_t RangeCrc::crc(const std::uint8_t *p, std::size_t n) noexcept {
    const auto offset = static_cast<std::uint64_t>(p - base_);
    if (!extentKnown_ && offset + n > extent_) {
        extent_ = offset + n;
    }
    if (table_ == nullptr && mode_ != CrcMode::Direct && !noTable_) {
        const bool over = mode_ == CrcMode::Tabled || direct_ + n > kDirectFactor * extent_;
        if (over) {
            (void)start_table();
        }
    }
    if (table_ == nullptr) {
        return direct_crc(offset, n);
    }
    return tabled_crc(offset, n);
}

}  // namespace rerazera
