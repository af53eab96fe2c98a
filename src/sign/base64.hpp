// SPDX-License-Identifier: MIT
// Base64 of the minisign files: the standard alphabet with padding, on one
// line, through libsodium's codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rerazera::sign {

// Decodes text that must be exactly base64 of `expected` bytes: nothing
// before or after it, no white space inside it. nullopt otherwise.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text, std::size_t expected);

// Encodes bytes, padded, on one line.
std::string base64_encode(const std::uint8_t *data, std::size_t size);

}  // namespace rerazera::sign
