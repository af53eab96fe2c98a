// SPDX-License-Identifier: MIT
#include "output/extract.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "base/unique_fd.hpp"
#include "output/staging_buffer.hpp"
#include "reader/lookup.hpp"
#include "reader/positioned_read.hpp"

namespace rerazera {
namespace {

constexpr char kLenZero[] = "[RERAZERA]Input len is invalid(0).\n\n";
constexpr char kAllocFailed[] = "[RERAZERA]Can't alloc memory.\n\n";
constexpr char kReadFailed[] = "[RERAZERA]Get subfile from %s not success! \n\n";
constexpr char kOpenFailed[] = "[RERAZERA]Can't open file %s!\n\n";
constexpr char kWriteFailed[] = "[RERAZERA]Write subfile %s not success! \n\n";
constexpr char kLookupFailed[] = "[RERAZERA]Get file info from QV header not success! \n\n";
constexpr char kNoName[] = "[RERAZERA]invalid argument: %s.\n\n";
// A null output path is refused before the package is touched. (A null
// package path is refused with the same code and, like everywhere in this
// family, without a line.)
constexpr char kOutPathNull[] = "[RERAZERA]Output path is null.\n\n";

// rw-r----- for extraction by ID without a mode of the caller's.
constexpr std::uint32_t kDefaultMode = 0640;
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

namespace {

// The by-ID and by-name extractions refuse null paths before anything is
// looked up: a null package path silently, a null output path with a line.
std::int32_t check_paths(const char *pkgPath, const char *outPath) noexcept {
    if (pkgPath == nullptr) {
        return QVPKG_ERR_NULL_ARG;
    }
    if (outPath == nullptr) {
        log_info(kOutPathNull);
        return QVPKG_ERR_NULL_ARG;
    }
    return QVPKG_OK;
}

// After a lookup: hand its failure on with the extraction's own line, or
// copy the sub-file it found. Offsets are signed 32-bit positions: 2 GiB and
// beyond fail the seek.
std::int32_t extract_found(const char *pkgPath, const char *outPath, std::int32_t lookup,
                           const QVFileDesc &desc, std::uint32_t mode) noexcept {
    if (lookup != QVPKG_OK) {
        log_info(kLookupFailed);
        return lookup;
    }
    return extract_sub_file(pkgPath, outPath, static_cast<std::int32_t>(desc.offset), desc.length,
                            mode);
}

}  // namespace

std::int32_t extract_file_by_id(const char *pkgPath, const char *outPath, std::int32_t fileId,
                                std::uint32_t mode) noexcept {
    if (const std::int32_t r = check_paths(pkgPath, outPath); r != QVPKG_OK) {
        return r;
    }
    QVFileDesc desc{};
    return extract_found(pkgPath, outPath, find_by_id(pkgPath, desc, fileId), desc, mode);
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

std::int32_t extract_file_by_name(const char *pkgPath, const char *outPath,
                                  std::uint32_t mode) noexcept {
    if (const std::int32_t r = check_paths(pkgPath, outPath); r != QVPKG_OK) {
        return r;
    }
    const char *name = name_from_path(outPath);
    if (name == nullptr) {
        log_info(kNoName, outPath);
        return QVPKG_ERR_INVALID_ARG;
    }
    // Written to the full output path whose last component named the file.
    QVFileDesc desc{};
    return extract_found(pkgPath, outPath, find_by_name(pkgPath, desc, name), desc, mode);
}

}  // namespace rerazera

RERAZERA_EXPORT int32_t QVPKG_ExtractSubFile(const char *pkgPath, const char *outPath,
                                             int32_t offset, uint32_t len, uint32_t mode) {
    return rerazera::extract_sub_file(pkgPath, outPath, offset, len, mode);
}

RERAZERA_EXPORT int32_t QVPKG_ExtractFileFromQVExt(const char *pkgPath, const char *outPath,
                                                   int32_t fileId, uint32_t mode) {
    return rerazera::extract_file_by_id(pkgPath, outPath, fileId, mode);
}

RERAZERA_EXPORT int32_t QVPKG_ExtractFileFromQV(const char *pkgPath, const char *outPath,
                                                int32_t fileId) {
    return rerazera::extract_file_by_id(pkgPath, outPath, fileId, rerazera::kDefaultMode);
}

RERAZERA_EXPORT const char *QVPKG_GetNameFromPath(const char *path) {
    return rerazera::name_from_path(path);
}

RERAZERA_EXPORT int32_t QVPKG_ExtractFileByName(const char *pkgPath, const char *outPath,
                                                uint32_t mode) {
    return rerazera::extract_file_by_name(pkgPath, outPath, mode);
}
