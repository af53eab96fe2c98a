// SPDX-License-Identifier: MIT
// The extension area over a package file: whether a package has one, reading
// its second descriptor table, and finding an extend subfile by ID.
#pragma once

#include <cstdint>

#include "base/heap_buffer.hpp"
#include "reader/held_mapping.hpp"
#include "rerazera.h"

namespace rerazera {

// 0 and entry 255 copied into extDesc when the package's header lists 256
// entries; QVPKG_ERR_NO_EXTEND (fewer) or QVPKG_ERR_HEADER, logged, with
// extDesc untouched.
std::int32_t extension_entry(const char *path, QVFileDesc &extDesc) noexcept;

// The whole second table behind the dummy bin header at extDesc.offset, in a
// zero-filled heap buffer of layout::table::size(N) bytes; empty on failure
// (logged). Refuses, with a log line and without reading, a count above
// EXT_MAX_FILE_NUM and a table position extDesc.offset + 352 past 2^32 - 1.
HeapBuffer read_second_table(const char *path, const QVFileDesc &extDesc,
                             const std::uint8_t *dummyHeader) noexcept;

// The extension lookup: the eight acceptance steps in order, then the first
// descriptor of the second table whose fileId is fileId (all 32 bits),
// copied into fileInfo. 0, -1 (absent), 1, 2, 4, 7, 8, 9 or 11; fileInfo is
// written only on success. The table is streamed through a small reused
// buffer rather than loaded whole; codes and log lines are those of loading
// it whole with read_second_table.
// With a held mapping of the same file that covers the table, the table is
// taken from it, and its CRC is left in held->table.
std::int32_t find_extend_file(const char *path, QVFileDesc &fileInfo, std::int32_t fileId,
                              HeldMapping *held = nullptr) noexcept;

}  // namespace rerazera
