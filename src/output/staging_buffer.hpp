// SPDX-License-Identifier: MIT
// The staging buffer of an extraction: one zero-filled block of exactly the
// requested size that holds a whole sub-file between its read and its write.
//
// It never leaves the library, so it need not come from malloc(). A large
// block is an anonymous private mapping aligned to 2 MiB: the kernel hands
// such pages out zero-filled, so nothing is cleared twice, and the block is
// prepared for its one read (huge pages when they are free, page tables
// populated in one call; see huge_pages.hpp), because the page faults, not
// the copies, dominated the cost of a large extraction. Small blocks, and
// any block whose mapping fails, come from calloc().
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/huge_pages.hpp"

namespace rerazera {

class StagingBuffer {
  public:
    // Blocks from this size on are mapped; smaller ones are heap memory.
    static constexpr std::size_t kMapThreshold = std::size_t{2} << 20;
    static constexpr std::size_t kHugePage = kHugePageSize;

    StagingBuffer() noexcept = default;
    StagingBuffer(const StagingBuffer &) = delete;
    StagingBuffer &operator=(const StagingBuffer &) = delete;
    StagingBuffer(StagingBuffer &&other) noexcept;
    StagingBuffer &operator=(StagingBuffer &&other) noexcept;
    ~StagingBuffer();

    // size zero-filled bytes; an empty buffer when neither a mapping nor the
    // heap can provide them.
    static StagingBuffer allocate_zeroed(std::size_t size) noexcept;

    explicit operator bool() const noexcept { return data_ != nullptr; }
    [[nodiscard]] std::uint8_t *data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    // Whether the block is a mapping (as opposed to heap memory).
    [[nodiscard]] bool mapped() const noexcept { return mapLength_ != 0; }

  private:
    void reset() noexcept;

    std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapLength_ = 0;  // non-zero when data_ is a mapping
};

}  // namespace rerazera
