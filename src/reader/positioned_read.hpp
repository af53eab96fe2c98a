// Positioned reads: the one way the reading operations get bytes from a
// package on disk. Each read resolves, opens, seeks, reads once and closes.
#pragma once

#include <cstdint>

namespace rerazera {

// Reads exactly len bytes at offset into buf: 0, QVPKG_ERR_PATH or QVPKG_ERR_IO,
// with the failure logged.
std::int32_t read_file_by_offset(const char *path, std::int32_t offset, void *buf,
                                 std::uint32_t len) noexcept;

}  // namespace rerazera
