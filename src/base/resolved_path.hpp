// SPDX-License-Identifier: MIT
// Resolution of the path of a file to be read.
//
// Input files are resolved with realpath() into a zero-filled 4096-byte
// buffer and the resolved path is what gets opened. Output paths are never
// resolved.
#pragma once

#include <cstddef>

namespace rerazera {

class ResolvedPath {
  public:
    static constexpr std::size_t kCapacity = 4096;

    // Resolves path; ok() tells whether it succeeded. A null path fails.
    explicit ResolvedPath(const char *path) noexcept;

    [[nodiscard]] bool ok() const noexcept { return ok_; }
    [[nodiscard]] const char *c_str() const noexcept { return buffer_; }

  private:
    char buffer_[kCapacity];
    bool ok_ = false;
};

}  // namespace rerazera
