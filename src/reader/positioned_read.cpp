// SPDX-License-Identifier: MIT
#include "reader/positioned_read.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "base/resolved_path.hpp"
#include "base/unique_fd.hpp"

namespace rerazera {
namespace {

constexpr char kRealpathFailed[] = "[RERAZERA]Get %s's realpath unsuccess.\n\n";
constexpr char kOpenFailed[] = "[RERAZERA]Can't open file %s.\n\n";
constexpr char kSeekFailed[] = "[RERAZERA]seek file %s unsuccess %u, errno(%d)\n\n";
constexpr char kReadFailed[] = "[RERAZERA]Read file %s unsuccess %d %u.\n\n";

}  // namespace

std::int32_t read_file_by_offset(const char *path, std::int32_t offset, void *buf,
                                 std::uint32_t len) noexcept {
    const ResolvedPath resolved(path);
    if (!resolved.ok()) {
        log_info(kRealpathFailed, path);
        return QVPKG_ERR_PATH;
    }
    const UniqueFd fd(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        log_info(kOpenFailed, resolved.c_str());
        return QVPKG_ERR_IO;
    }
    // Positions are signed 32-bit: 2 GiB and beyond arrive negative and the
    // seek refuses them.
    if (::lseek(fd.get(), off_t{offset}, SEEK_SET) < 0) {
        log_info(kSeekFailed, resolved.c_str(), static_cast<unsigned>(offset), errno);
        return QVPKG_ERR_IO;
    }
    // One read, no retry: a short count is a failure like any other.
    const ssize_t got = ::read(fd.get(), buf, len);
    if (got < 0 || static_cast<std::uint64_t>(got) != len) {
        log_info(kReadFailed, resolved.c_str(), static_cast<int>(got), static_cast<unsigned>(len));
        return QVPKG_ERR_IO;
    }
    return QVPKG_OK;
}

ChunkedRead::ChunkedRead(const char *path, std::int32_t offset, std::uint32_t len) noexcept
    : resolved_(path), len_(len) {
    if (!resolved_.ok()) {
        log_info(kRealpathFailed, path);
        status_ = QVPKG_ERR_PATH;
        return;
    }
    fd_ = UniqueFd(::open(resolved_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_.valid()) {
        log_info(kOpenFailed, resolved_.c_str());
        status_ = QVPKG_ERR_IO;
        return;
    }
    if (::lseek(fd_.get(), off_t{offset}, SEEK_SET) < 0) {
        log_info(kSeekFailed, resolved_.c_str(), static_cast<unsigned>(offset), errno);
        fd_.reset();
        status_ = QVPKG_ERR_IO;
    }
}

std::uint32_t ChunkedRead::next(std::uint8_t *buf, std::uint32_t want) noexcept {
    if (status_ != QVPKG_OK || ended_) {
        return 0;
    }
    if (want > remaining()) {
        want = remaining();
    }
    std::uint32_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd_.get(), buf + got, want - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failed_ = n < 0;
            ended_ = true;
            break;
        }
        got += static_cast<std::uint32_t>(n);
    }
    done_ += got;
    return got;
}

std::int32_t ChunkedRead::finish() noexcept {
    if (status_ != QVPKG_OK) {
        return status_;
    }
    fd_.reset();
    if (done_ == len_) {
        return QVPKG_OK;
    }
    // One read of the whole range returns what it transferred before an
    // error or the end of the file, and -1 only when it transferred nothing.
    const int count = failed_ && done_ == 0 ? -1 : static_cast<int>(done_);
    log_info(kReadFailed, resolved_.c_str(), count, static_cast<unsigned>(len_));
    status_ = QVPKG_ERR_IO;
    return status_;
}

}  // namespace rerazera

RERAZERA_EXPORT int32_t QVPKG_ReadFileByOffset(const char *path, int32_t offset, void *buf,
                                               uint32_t len) {
    return rerazera::read_file_by_offset(path, offset, buf, len);
}
