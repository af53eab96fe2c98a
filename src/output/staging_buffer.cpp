// SPDX-License-Identifier: MIT
#include "output/staging_buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace rerazera {
namespace {

constexpr std::size_t round_up(std::size_t value, std::size_t unit) noexcept {
    return (value + unit - 1) / unit * unit;
}

// Maps length bytes (a multiple of the huge page size) at a huge page
// boundary: over-maps by one huge page and trims both ends, so every 2 MiB of
// the block can be backed by one huge page. Null when the system refuses.
std::uint8_t *map_aligned(std::size_t length) noexcept {
    const std::size_t slack = StagingBuffer::kHugePage;
    if (length > SIZE_MAX - slack) {
        return nullptr;
    }
    void *raw =
        ::mmap(nullptr, length + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(start, slack);
    const std::size_t head = aligned - start;
    const std::size_t tail = slack - head;
    if (head != 0) {
        ::munmap(raw, head);
    }
    if (tail != 0) {
        ::munmap(reinterpret_cast<void *>(aligned + length), tail);
    }
    auto *block = reinterpret_cast<std::uint8_t *>(aligned);
    prepare_for_fill(block, length);
    return block;
}

}  // namespace

StagingBuffer::StagingBuffer(StagingBuffer &&other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapLength_(std::exchange(other.mapLength_, 0)) {}

StagingBuffer &StagingBuffer::operator=(StagingBuffer &&other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapLength_ = std::exchange(other.mapLength_, 0);
    }
    return *this;
}

StagingBuffer::~StagingBuffer() {
    reset();
}

void StagingBuffer::reset() noexcept {
    if (data_ != nullptr) {
        if (mapLength_ != 0) {
            ::munmap(data_, mapLength_);
        } else {
            std::free(data_);
        }
    }
    data_ = nullptr;
    size_ = 0;
    mapLength_ = 0;
}

StagingBuffer StagingBuffer::allocate_zeroed(std::size_t size) noexcept {
    StagingBuffer buffer;
    if (size >= kMapThreshold) {
        // Fresh anonymous pages read as zero: the block needs no clearing.
        const std::size_t length = round_up(size, kHugePage);
        if (std::uint8_t *block = length >= size ? map_aligned(length) : nullptr) {
            buffer.data_ = block;
            buffer.size_ = size;
            buffer.mapLength_ = length;
            return buffer;
        }
    }
    // calloc() clears only memory that is not fresh from the system.
    buffer.data_ = static_cast<std::uint8_t *>(std::calloc(std::max(size, std::size_t{1}), 1));
    buffer.size_ = buffer.data_ != nullptr ? size : 0;
    return buffer;
}

}  // namespace rerazera
