// SPDX-License-Identifier: MIT
// The package index: a digest of every fixed-size block of a package file
// and the byte ranges of its entries, as a short line-oriented text that a
// minisign signature covers. Reading is strict: one spelling per value, and
// every count checked against what the package's size implies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rerazera::sign {

using BlockDigest = std::array<std::uint8_t, 32>;

struct IndexEntry {
    std::uint32_t table = 0;
    std::uint32_t index = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct Index {
    std::uint32_t digest = 0;  // RERAZERA_INDEX_*
    std::uint64_t size = 0;
    std::uint32_t block = 0;
    std::uint32_t productType = 0;
    std::vector<IndexEntry> entries;
    std::vector<BlockDigest> blocks;

    [[nodiscard]] std::uint64_t block_length(std::uint64_t i) const {
        const std::uint64_t start = i * block;
        return size - start < block ? size - start : block;
    }
};

inline constexpr std::uint64_t kIndexMinPackage = 6180;              // a package header
inline constexpr std::uint64_t kIndexMaxPackage = (1ULL << 31) - 1;  // 32-bit positions
inline constexpr std::uint64_t kIndexMaxEntries = 256 + 1048575;

bool valid_block_size(std::uint32_t block);
bool known_digest(std::uint32_t digest);

// The digest of one block under the index's algorithm.
BlockDigest block_digest(std::uint32_t digest, const std::uint8_t *data, std::size_t size) noexcept;

// The index text; index must be well formed.
std::string format_index(const Index &index);

// nullopt for any text that is not exactly a version-1 index.
std::optional<Index> parse_index(std::string_view text);

// The first entry (lowest offset, then table order) holding a byte of
// [offset, offset + length), or null.
const IndexEntry *entry_in(const Index &index, std::uint64_t offset, std::uint64_t length);

}  // namespace rerazera::sign
