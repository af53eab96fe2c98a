// SPDX-License-Identifier: MIT
#include "base/resolved_path.hpp"

#include <climits>
#include <cstdlib>

#include "base/safe_memory.hpp"

static_assert(PATH_MAX <= rerazera::ResolvedPath::kCapacity,
              "realpath() writes up to PATH_MAX bytes into the buffer");

namespace rerazera {

ResolvedPath::ResolvedPath(const char *path) noexcept {
    memset_s(buffer_, sizeof buffer_, 0, sizeof buffer_);
    ok_ = path != nullptr && ::realpath(path, buffer_) != nullptr;
}

}  // namespace rerazera
