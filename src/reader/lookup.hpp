// SPDX-License-Identifier: MIT
// Sub-file lookup: by file ID (the header's table, then the extension), by
// the name or description in each sub-file's bin header, and whether a
// package carries the rpg file. Extraction and the check entry call these
// directly.
#pragma once

#include <cstdint>

#include "reader/held_mapping.hpp"
#include "rerazera.h"

namespace rerazera {

// The ID lookup: the header's entries 0 .. fileNum - 1 in index order, then
// the extension lookup. 0 with fileInfo filled; 11, or the extension
// lookup's code (1, 2, 4, 7, 8, 9, 11, -1) after "File not found" is logged.
// held: see find_extend_file.
std::int32_t find_by_id(const char *path, QVFileDesc &fileInfo, std::int32_t fileId,
                        HeldMapping *held = nullptr) noexcept;

// The bin-header scan over the header's table only: each entry's 352-byte
// bin header is read and offered to matchFn, the first match wins. 0, -1 (a
// bin header could not be read), 3, 11 or 14 (no match).
std::int32_t find_by_bin_header(const char *path, QVFileDesc &fileInfo, BinHeaderMatchFn matchFn,
                                const char *key) noexcept;
std::int32_t find_by_name(const char *path, QVFileDesc &fileInfo, const char *fileName) noexcept;
std::int32_t find_by_desc(const char *path, QVFileDesc &fileInfo, const char *descText) noexcept;

// The two matchers, over a 352-byte bin header image. A text field is read
// within its width only (name 96 bytes, desc 128): a text that fills its
// field without a terminator is taken whole, as if terminated right after.
bool name_matches(const std::uint8_t *binHeader, const char *fileName) noexcept;
bool desc_contains(const std::uint8_t *binHeader, const char *descText) noexcept;

// 0 when the package carries the rpg file (header table or extension),
// else -1 after logging why.
std::int32_t check_rpg(const char *path, HeldMapping *held = nullptr) noexcept;

}  // namespace rerazera
