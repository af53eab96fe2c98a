// SPDX-License-Identifier: MIT
// The 1 GiB package the streaming benchmarks feed from memory: 16 sub-files
// of pseudo-random bytes, the same on every run, so that the plain stream,
// the strict stream and the whole-file check see identical input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rzbench {

inline constexpr std::size_t kStreamPiece = std::size_t{1} << 20;

std::vector<std::uint8_t> gib_package();

// Writes bytes to path (created or truncated, mode 0600) and syncs it;
// false when any of it could not be written.
bool write_package(const std::string &path, const std::vector<std::uint8_t> &bytes);

// Feeds bytes to a new streaming verifier in kStreamPiece pieces; true when
// it accepts them as a valid package.
bool plain_stream_accepts(const std::vector<std::uint8_t> &bytes);

}  // namespace rzbench
