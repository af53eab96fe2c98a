// SPDX-License-Identifier: MIT
// Read-only mappings of whole packages.
//
// Verification maps a package once and checks every record in place. The
// mapping is shared and readable only, covers the file from its first byte
// with the length the file had when it was mapped, and holds no descriptor:
// the file is closed as soon as the mapping has been attempted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace rerazera {

// Owner of one mapping: unmapped exactly once, on every path; release()
// hands it to a caller, who unmaps it with QVPKG_UnmapQVFile.
class Mapping {
  public:
    Mapping() noexcept = default;
    Mapping(std::uint8_t *addr, std::uint32_t size) noexcept : addr_(addr), size_(size) {}
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    Mapping(Mapping &&other) noexcept
        : addr_(std::exchange(other.addr_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Mapping &operator=(Mapping &&other) noexcept {
        if (this != &other) {
            reset();
            addr_ = std::exchange(other.addr_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~Mapping() { reset(); }

    explicit operator bool() const noexcept { return addr_ != nullptr; }
    [[nodiscard]] const std::uint8_t *data() const noexcept { return addr_; }
    [[nodiscard]] std::uint32_t size() const noexcept { return size_; }

    // Unmaps now; returns munmap's result (0, or -1 when the system refuses).
    int reset() noexcept;

    [[nodiscard]] std::uint8_t *release() noexcept {
        size_ = 0;
        return std::exchange(addr_, nullptr);
    }

  private:
    std::uint8_t *addr_ = nullptr;
    std::uint32_t size_ = 0;
};

// Maps the package at path. On failure returns an empty mapping with the
// reason in msg (nothing when path does not resolve); logs nothing.
Mapping map_package(const char *path, char *msg, std::uint32_t msgSize) noexcept;

// The refusals of a file by its length alone, as map_package gives them: a
// length no signed 32-bit position holds, or one shorter than a header.
// Writes the text into msg and returns true for those; false otherwise.
bool refuse_length(std::uint64_t length, char *msg, std::uint32_t msgSize) noexcept;

// Tells the system that the whole mapping is about to be read once from
// start to end, so that it brings it in cheaply: large page-cache folios
// when the file comes from disk (mapped by whole 2 MiB entries), and
// readahead started at once. Only hints: nothing observable changes.
void advise_whole_read(const Mapping &mapping) noexcept;

// Brings the pages of a mapping in ahead of a reader that walks long
// ranges: one system call maps a whole chunk, where touching it would take
// a fault per page (or per 2 MiB folio). The reader asks for each chunk
// just before reading it, so on a cold file the disk keeps reading ahead
// (see advise_whole_read) while earlier chunks are checksummed. Failures
// are ignored: the pages then come in by faults as they would anyway.
class PageFeeder {
  public:
    // Chunks fed at once; also the longest run a reader hands the CRC.
    static constexpr std::size_t kChunk = std::size_t{32} << 20;
    // Shorter ranges are left to the fault path: a system call would cost
    // more than the few faults it saves.
    static constexpr std::size_t kMinFed = std::size_t{2} << 20;

    explicit PageFeeder(const Mapping &mapping) noexcept
        : begin_(mapping.data()), end_(mapping.data() + mapping.size()) {}

    // Maps in the pages of [p, p + n), clipped to the mapping.
    void feed(const std::uint8_t *p, std::size_t n) const noexcept;

  private:
    const std::uint8_t *begin_;
    const std::uint8_t *end_;
};

// CRC-16 of n bytes at p; with a feeder, long ranges are fed and summed
// chunk by chunk (the CRC continues across chunks, so the value is that of
// the whole range). from continues the CRC of bytes just before p.
std::uint16_t crc16_mapped(const std::uint8_t *p, std::size_t n, const PageFeeder *feeder,
                           std::uint16_t from = 0) noexcept;

}  // namespace rerazera
