#include "output/extract.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "base/unique_fd.hpp"
#include "output/staging_buffer.hpp"
#include "reader/positioned_read.hpp"

namespace rerazera {
namespace {

constexpr char kLenZero[] = "[RERAZERA]Input len is invalid(0).\n\n";
constexpr char kAllocFailed[] = "[RERAZERA]Can't alloc memory.\n\n";
constexpr char kReadFailed[] = "[RERAZERA]Get subfile from %s not success! \n\n";
constexpr char kOpenFailed[] = "[RERAZERA]Can't open file %s!\n\n";
constexpr char kWriteFailed[] = "[RERAZERA]Write subfile %s not success! \n\n";
// A null output path is refused before the package is touched. (A null
// package path is refused with the same code and, like everywhere in this
// family, without a line.)
constexpr char kOutPathNull[] = "[RERAZERA]Output path is null.\n\n";

constexpr int kOutputFlags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;

}  // namespace

std::int32_t extract_sub_file(const char *pkgPath, const char *outPath, std::int32_t offset,
                              std::uint32_t len, std::uint32_t mode) noexcept {
    if (pkgPath == nullptr) {
        return QVPKG_ERR_NULL_ARG;
    }
    if (outPath == nullptr) {
        log_info(kOutPathNull);
        return QVPKG_ERR_NULL_ARG;
    }
    if (len == 0) {
        log_info(kLenZero);
        return QVPKG_ERR_INVALID_ARG;
    }
    const StagingBuffer staging = StagingBuffer::allocate_zeroed(len);
    if (!staging) {
        log_info(kAllocFailed);
        return QVPKG_ERR_NO_MEMORY;
    }
    // The positioned read opens, reads and closes the package: from here on
    // the range is in memory and no package descriptor is open.
    if (const std::int32_t r = read_file_by_offset(pkgPath, offset, staging.data(), len);
        r != QVPKG_OK) {
        log_info(kReadFailed, pkgPath);
        return r;
    }
    // The output path is opened as the caller wrote it, never resolved.
    UniqueFd out(::open(outPath, kOutputFlags, static_cast<mode_t>(mode)));
    if (!out.valid()) {
        log_info(kOpenFailed, outPath);
        return QVPKG_ERR_IO;
    }
    // One write, no retry; a partly written file stays where it is.
    const ssize_t put = ::write(out.get(), staging.data(), len);
    out.reset();
    if (put < 0 || static_cast<std::uint64_t>(put) != len) {
        log_info(kWriteFailed, outPath);
        return QVPKG_ERR_IO;
    }
    return QVPKG_OK;
}

const char *name_from_path(const char *path) noexcept {
    if (path == nullptr) {
        return nullptr;
    }
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return path;  // the whole text is the name
    }
    return slash[1] == '\0' ? nullptr : slash + 1;
}

}  // namespace rerazera

RERAZERA_EXPORT int32_t QVPKG_ExtractSubFile(const char *pkgPath, const char *outPath,
                                             int32_t offset, uint32_t len, uint32_t mode) {
    return rerazera::extract_sub_file(pkgPath, outPath, offset, len, mode);
}

RERAZERA_EXPORT const char *QVPKG_GetNameFromPath(const char *path) {
    return rerazera::name_from_path(path);
}
