// SPDX-License-Identifier: MIT
// Reading the files a signature check needs: the small text files whole,
// the signed file through one read-only mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace rerazera::sign {

enum class ReadStatus { Ok, Missing, TooLarge, NotRegular, Failed };

// Reads the regular file at path whole when it holds at most maxSize bytes.
ReadStatus read_small_file(const char *path, std::size_t maxSize, std::string &content);

// Owner of a read-only shared mapping of a whole file of any size (an empty
// file has no mapping and an empty view). Unmapped once, on every path.
class FileView {
  public:
    FileView() noexcept = default;
    FileView(const FileView &) = delete;
    FileView &operator=(const FileView &) = delete;
    FileView(FileView &&other) noexcept
        : addr_(std::exchange(other.addr_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          ok_(std::exchange(other.ok_, false)) {}
    FileView &operator=(FileView &&) = delete;  // a view is made once and never replaced
    ~FileView();

    // ok() is false when the file cannot be opened, measured or mapped.
    static FileView map(const char *path) noexcept;

    [[nodiscard]] bool ok() const noexcept { return ok_; }
    [[nodiscard]] const std::uint8_t *data() const noexcept { return addr_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

  private:
    std::uint8_t *addr_ = nullptr;
    std::size_t size_ = 0;
    bool ok_ = false;
};

}  // namespace rerazera::sign
