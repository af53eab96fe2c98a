// SPDX-License-Identifier: MIT
// Positioned reads: the one way the reading operations get bytes from a
// package on disk. Each read resolves, opens, seeks, reads once and closes.
#pragma once

#include <cstdint>

#include "base/resolved_path.hpp"
#include "base/unique_fd.hpp"

namespace rerazera {

// Reads exactly len bytes at offset into buf: 0, QVPKG_ERR_PATH or QVPKG_ERR_IO,
// with the failure logged.
std::int32_t read_file_by_offset(const char *path, std::int32_t offset, void *buf,
                                 std::uint32_t len) noexcept;

// One positioned read of len bytes taken in pieces, for callers that only
// need to pass over a large range once (the second descriptor table) and so
// need not hold all of it. Resolution, open and seek are those of
// read_file_by_offset, with the same log lines and codes, done by the
// constructor. The single read is replaced by next() calls that fill the
// caller's buffer piece by piece; finish() then judges the whole as the one
// read would have: a short total is logged with the count that read would
// have returned (what the file held, or -1 when nothing could be read) and
// answered with QVPKG_ERR_IO.
class ChunkedRead {
  public:
    ChunkedRead(const char *path, std::int32_t offset, std::uint32_t len) noexcept;
    ChunkedRead(const ChunkedRead &) = delete;
    ChunkedRead &operator=(const ChunkedRead &) = delete;

    // 0 once the file is open and positioned, else the code already logged.
    [[nodiscard]] std::int32_t status() const noexcept { return status_; }
    // Bytes still to come of the len asked for.
    [[nodiscard]] std::uint32_t remaining() const noexcept { return len_ - done_; }
    // Reads the next min(want, remaining()) bytes into buf, retrying short
    // counts; returns how many arrived, fewer only at end of file or on an
    // error, after which nothing more arrives.
    std::uint32_t next(std::uint8_t *buf, std::uint32_t want) noexcept;
    // 0 when all len bytes arrived, else logs the short count and returns
    // QVPKG_ERR_IO. Call once, after the last next().
    std::int32_t finish() noexcept;

  private:
    ResolvedPath resolved_;
    UniqueFd fd_;
    std::int32_t status_ = 0;
    std::uint32_t len_;
    std::uint32_t done_ = 0;
    bool failed_ = false;  // a read reported an error
    bool ended_ = false;   // end of file or error: nothing more will arrive
};

}  // namespace rerazera
