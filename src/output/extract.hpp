// SPDX-License-Identifier: MIT
// Sub-file extraction: copies a sub-file out of a package, byte for byte and
// bin header included, into a file of its own.
//
// Three layers: a range copy that knows nothing of the format, extraction by
// file ID (header table, then extension) and extraction by name, where the
// name is the last component of the output path. Each copy stages the whole
// range in memory: the package is read completely and closed before the
// output is opened, so an output path naming the package itself works and
// any failure before the open leaves an existing output file untouched.
#pragma once

#include <cstdint>

namespace rerazera {

// Copies len bytes at offset of pkgPath into outPath, created with mode (less
// the umask) or truncated: 0, QVPKG_ERR_IO, QVPKG_ERR_NO_MEMORY,
// QVPKG_ERR_PATH, QVPKG_ERR_INVALID_ARG (len 0) or QVPKG_ERR_NULL_ARG.
std::int32_t extract_sub_file(const char *pkgPath, const char *outPath, std::int32_t offset,
                              std::uint32_t len, std::uint32_t mode) noexcept;

// Extracts the sub-file with fileId: 0, QVPKG_ERR_NULL_ARG, the lookup's code
// or extract_sub_file's.
std::int32_t extract_file_by_id(const char *pkgPath, const char *outPath, std::int32_t fileId,
                                std::uint32_t mode) noexcept;

// The last component of path, a pointer into it; null when path ends in '/'
// (or is null).
const char *name_from_path(const char *path) noexcept;

// Extracts the sub-file whose bin header name is outPath's last component:
// 0, QVPKG_ERR_NULL_ARG, QVPKG_ERR_INVALID_ARG, the name lookup's code or
// extract_sub_file's.
std::int32_t extract_file_by_name(const char *pkgPath, const char *outPath,
                                  std::uint32_t mode) noexcept;

}  // namespace rerazera
