// SPDX-License-Identifier: MIT
// The plain streaming verifier's pass over a package held in memory, fed in
// 1 MiB pieces: what both stream benchmarks time as their reference.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rerazera.h"
#include "rerazera/package.h"

namespace rzbench {

inline constexpr std::size_t kStreamPiece = std::size_t{1} << 20;

// True when a new streaming verifier accepts bytes as a valid package.
inline bool plain_stream_accepts(const std::vector<std::uint8_t> &bytes) {
    rerazera_stream *s = nullptr;
    if (rerazera_stream_new(nullptr, &s) != RERAZERA_OK) {
        return false;
    }
    for (std::size_t at = 0; at < bytes.size(); at += kStreamPiece) {
        (void)rerazera_stream_feed(s, bytes.data() + at, std::min(kStreamPiece, bytes.size() - at));
    }
    int32_t code = -1;
    const int32_t r = rerazera_stream_finish(s, -1, nullptr, 0, &code);
    rerazera_stream_free(s);
    return r == RERAZERA_OK && code == QVPKG_OK;
}

}  // namespace rzbench
