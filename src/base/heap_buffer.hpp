// SPDX-License-Identifier: MIT
// Owner of a malloc() buffer.
//
// Buffers the library hands to a caller must come from malloc(), since the
// caller releases them with free(); the same owner serves buffers that stay
// inside a call, so every path frees what it took. release() passes
// ownership on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "base/safe_memory.hpp"

namespace rerazera {

class HeapBuffer {
  public:
    HeapBuffer() noexcept = default;
    HeapBuffer(const HeapBuffer &) = delete;
    HeapBuffer &operator=(const HeapBuffer &) = delete;
    HeapBuffer(HeapBuffer &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    HeapBuffer &operator=(HeapBuffer &&other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~HeapBuffer() { std::free(data_); }

    // Allocates size bytes without touching them; an empty buffer on failure.
    // malloc(0) may legally return null, so a zero size asks for one byte.
    static HeapBuffer allocate(std::size_t size) noexcept {
        HeapBuffer buffer;
        buffer.data_ = static_cast<std::uint8_t *>(std::malloc(std::max(size, std::size_t{1})));
        buffer.size_ = buffer.data_ != nullptr ? size : 0;
        return buffer;
    }

    // Allocates and zero-fills, the library's rule for fresh heap buffers.
    static HeapBuffer allocate_zeroed(std::size_t size) noexcept {
        HeapBuffer buffer = allocate(size);
        if (buffer) {
            memset_s(buffer.data_, buffer.size_, 0, buffer.size_);
        }
        return buffer;
    }

    // Allocates zero-filled memory with calloc(), which knows when its memory
    // comes fresh from the system (already zero) and skips clearing it again:
    // for a large buffer that a read is about to fill whole, the pages are
    // touched once instead of twice.
    static HeapBuffer allocate_cleared(std::size_t size) noexcept {
        HeapBuffer buffer;
        buffer.data_ = static_cast<std::uint8_t *>(std::calloc(std::max(size, std::size_t{1}), 1));
        buffer.size_ = buffer.data_ != nullptr ? size : 0;
        return buffer;
    }

    explicit operator bool() const noexcept { return data_ != nullptr; }
    [[nodiscard]] std::uint8_t *data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // Hands the buffer to the caller, who frees it with free().
    [[nodiscard]] std::uint8_t *release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

  private:
    std::uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace rerazera
