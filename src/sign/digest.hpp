// SPDX-License-Identifier: MIT
// BLAKE2b-512 of a whole file in memory: what an "ED" signature signs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "verify/mapping.hpp"

namespace rerazera::sign {

using Digest = std::array<std::uint8_t, 64>;

// Unkeyed BLAKE2b with a 64-byte output, as b2sum computes it. With a
// feeder over the mapping that holds the bytes, each chunk is brought in
// with one system call just before it is hashed.
Digest blake2b512(const std::uint8_t *data, std::size_t size,
                  const PageFeeder *feeder = nullptr) noexcept;

}  // namespace rerazera::sign
