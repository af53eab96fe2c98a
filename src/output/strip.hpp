// SPDX-License-Identifier: MIT
// Bin header stripping: turns a standalone bin file (352-byte bin header,
// then the payload) into a file that holds only the payload.
//
// Three steps, each also exported: load the whole file into a heap buffer,
// test that dataLen fits into the file, write the payload slice into a new
// file. The input is read completely and closed before the output is opened,
// so an output path naming the input itself ends up holding its payload.
#pragma once

#include <cstdint>

#include "base/heap_buffer.hpp"

namespace rerazera {

// Loads the whole file at path (at least 352 bytes, below 2 GiB) into a
// zero-filled malloc() buffer and stores its length through fileLen; an empty
// buffer on failure (logged). A null path or fileLen is refused before
// anything is opened.
HeapBuffer read_bin_file(const char *path, std::uint32_t *fileLen) noexcept;

// 0, or QVPKG_ERR_LENGTH when dataLen exceeds fileLen - 352 (logged). A
// fileLen below 352 is refused with QVPKG_ERR_LENGTH without reading dataLen;
// a null buf gives QVPKG_ERR_NULL_ARG.
std::int32_t check_bin_header(const std::uint8_t *buf, std::uint32_t fileLen) noexcept;

// Writes len bytes from buf + offset into path (created 0750, truncated):
// 0, QVPKG_ERR_IO, or QVPKG_ERR_NULL_ARG for a null path or buf.
std::int32_t write_buf_to_file(const char *path, const std::uint8_t *buf, std::int32_t offset,
                               std::uint32_t len) noexcept;

// Writes the payload of the bin file inPath into outPath: 0, QVPKG_ERR_IO,
// QVPKG_ERR_LENGTH, or QVPKG_ERR_NULL_ARG for a null path.
std::int32_t strip_bin_header(const char *inPath, const char *outPath) noexcept;

}  // namespace rerazera
