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

// Tells the system that the whole mapping is about to be read once from
// start to end, so that it brings it in cheaply: large page-cache folios
// when the file comes from disk (mapped by whole 2 MiB entries), and
// readahead started at once. Only hints: nothing observable changes.
void advise_whole_read(const Mapping &mapping) noexcept;

}  // namespace rerazera
