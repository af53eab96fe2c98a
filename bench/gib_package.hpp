// SPDX-License-Identifier: MIT
// The 1 GiB package the verification, signing and streaming benchmarks
// measure: 16 sub-files of pseudo-random bytes, the same for a given seed
// on every run, so that what is compared sees identical input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rzbench {

inline constexpr std::size_t kGibSubFiles = 16;

std::vector<std::uint8_t> gib_package(std::uint32_t seed = 0x9E3779B9u);

// Writes bytes to path (created or truncated, mode 0600) and syncs it;
// false when any of it could not be written.
bool write_package(const std::string &path, const std::vector<std::uint8_t> &bytes);

}  // namespace rzbench
