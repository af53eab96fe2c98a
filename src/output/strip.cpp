// SPDX-License-Identifier: MIT
#include "output/strip.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "base/c_boundary.hpp"
#include "base/huge_pages.hpp"
#include "base/log.hpp"
#include "base/resolved_path.hpp"
#include "base/unique_fd.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"

namespace rerazera {
namespace {

// The whole-file reader's texts print the caller's path and end in one newline.
constexpr char kPathInvalid[] = "[RERAZERA]file %s path invalid\n";
constexpr char kOpenFailed[] = "[RERAZERA]open file %s unsuccess %d.\n";
constexpr char kSeekEndFailed[] = "[RERAZERA]move %s offset to end unsuccess %d.\n";
constexpr char kTooShort[] = "[RERAZERA]File %s length small than header size %d.\n";
constexpr char kOutOfMemory[] = "[RERAZERA]out of memory %d.\n";
constexpr char kSeekStartFailed[] = "[RERAZERA]move %s offset to beginning unsuccess %d.\n";
constexpr char kReadFailed[] = "[RERAZERA]read from %s unsuccess %d %d.\n";

constexpr char kLengthMismatch[] = "[RERAZERA]bin file length mismatch %u %u.\n";

constexpr char kCreateFailed[] = "[RERAZERA]Can't create file %s %d\n";
constexpr char kWriteFailed[] = "[RERAZERA]Write subfile %s unsuccess %d %u.\n";

// Null pointers are refused up front, each with a line of its own, so that
// nothing is opened, read or created for a call that cannot succeed.
constexpr char kInPathNull[] = "[RERAZERA]bin file path is null\n";
constexpr char kLenPtrNull[] = "[RERAZERA]bin file length pointer is null\n";
constexpr char kBufNull[] = "[RERAZERA]bin file buffer is null\n";
constexpr char kOutPathNull[] = "[RERAZERA]output file path is null\n";
// A length that cannot even hold the bin header: dataLen is not read, since
// the buffer may end before it.
constexpr char kLenBelowHeader[] = "[RERAZERA]bin file length %u small than header size %u.\n";

// A stripped payload gets rwxr-x---, less the caller's umask.
constexpr mode_t kOutputMode = 0750;
constexpr int kOutputFlags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;

}  // namespace

HeapBuffer read_bin_file(const char *path, std::uint32_t *fileLen) noexcept {
    if (path == nullptr) {
        log_info(kInPathNull);
        return {};
    }
    if (fileLen == nullptr) {
        log_info(kLenPtrNull);
        return {};
    }
    const ResolvedPath resolved(path);
    if (!resolved.ok()) {
        log_info(kPathInvalid, path);
        return {};
    }
    const UniqueFd fd(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        log_info(kOpenFailed, path, errno);
        return {};
    }
    // File lengths are signed 32-bit: a file of 2 GiB or more is refused as
    // a failed seek to its end, as it would be where positions are 32 bits.
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    if (end > off_t{INT32_MAX}) {
        errno = EOVERFLOW;
    }
    if (end < 0 || end > off_t{INT32_MAX}) {
        log_info(kSeekEndFailed, path, errno);
        return {};
    }
    const auto length = static_cast<std::int32_t>(end);
    if (length < static_cast<std::int32_t>(layout::bin::kSize)) {
        log_info(kTooShort, path, length);
        return {};
    }
    // The image goes to the caller, who frees it: it must come from the
    // heap. calloc() leaves memory fresh from the system untouched, so the
    // huge page advice still applies when the read first touches it.
    HeapBuffer image = HeapBuffer::allocate_cleared(static_cast<std::size_t>(length));
    if (!image) {
        log_info(kOutOfMemory, length);
        return {};
    }
    prepare_for_fill(image.data(), image.size());
    if (::lseek(fd.get(), 0, SEEK_SET) != 0) {
        log_info(kSeekStartFailed, path, errno);
        return {};
    }
    // One read, no retry: a short count is a failure like any other.
    const ssize_t got = ::read(fd.get(), image.data(), static_cast<std::size_t>(length));
    if (got != static_cast<ssize_t>(length)) {
        log_info(kReadFailed, path, static_cast<int>(got), length);
        return {};
    }
    *fileLen = static_cast<std::uint32_t>(length);
    return image;
}

std::int32_t check_bin_header(const std::uint8_t *buf, std::uint32_t fileLen) noexcept {
    if (buf == nullptr) {
        log_info(kBufNull);
        return QVPKG_ERR_NULL_ARG;
    }
    if (fileLen < layout::bin::kSize) {
        log_info(kLenBelowHeader, static_cast<unsigned>(fileLen),
                 static_cast<unsigned>(layout::bin::kSize));
        return QVPKG_ERR_LENGTH;
    }
    const std::uint32_t dataLen = BinHeaderView(buf).data_len();
    // Compared as dataLen > fileLen - 352: adding 352 to dataLen instead would
    // wrap for the largest values and let them pass.
    if (dataLen > fileLen - layout::bin::kSize) {
        log_info(kLengthMismatch, static_cast<unsigned>(fileLen), static_cast<unsigned>(dataLen));
        return QVPKG_ERR_LENGTH;
    }
    return QVPKG_OK;
}

std::int32_t write_buf_to_file(const char *path, const std::uint8_t *buf, std::int32_t offset,
                               std::uint32_t len) noexcept {
    if (path == nullptr) {
        log_info(kOutPathNull);
        return QVPKG_ERR_NULL_ARG;
    }
    if (buf == nullptr) {
        log_info(kBufNull);
        return QVPKG_ERR_NULL_ARG;
    }
    // The output path is opened as the caller wrote it, never resolved.
    UniqueFd fd(::open(path, kOutputFlags, kOutputMode));
    if (!fd.valid()) {
        log_info(kCreateFailed, path, errno);
        return QVPKG_ERR_IO;
    }
    // One write, no retry; a partly written file stays where it is.
    const ssize_t put = ::write(fd.get(), buf + offset, len);
    fd.reset();
    if (put < 0 || static_cast<std::uint64_t>(put) != len) {
        log_info(kWriteFailed, path, static_cast<int>(put), static_cast<unsigned>(len));
        return QVPKG_ERR_IO;
    }
    return QVPKG_OK;
}

std::int32_t strip_bin_header(const char *inPath, const char *outPath) noexcept {
    if (inPath == nullptr) {
        log_info(kInPathNull);
        return QVPKG_ERR_NULL_ARG;
    }
    if (outPath == nullptr) {
        log_info(kOutPathNull);
        return QVPKG_ERR_NULL_ARG;
    }
    std::uint32_t length = 0;
    const HeapBuffer image = read_bin_file(inPath, &length);
    if (!image) {
        return QVPKG_ERR_IO;  // the reader has logged why
    }
    if (const std::int32_t r = check_bin_header(image.data(), length); r != QVPKG_OK) {
        return r;
    }
    // The image is complete and its descriptor closed: the output may be the
    // input file itself.
    const std::uint32_t dataLen = BinHeaderView(image.data()).data_len();
    return write_buf_to_file(outPath, image.data(), static_cast<std::int32_t>(layout::bin::kSize),
                             dataLen);
}

}  // namespace rerazera

RERAZERA_EXPORT uint8_t *QVPKG_ReadBinFile(const char *path, uint32_t *fileLen) {
    return rerazera::read_bin_file(path, fileLen).release();
}

RERAZERA_EXPORT int32_t QVPKG_CheckBinHeader(const uint8_t *buf, uint32_t fileLen) {
    return rerazera::check_bin_header(buf, fileLen);
}

RERAZERA_EXPORT int32_t QVPKG_WriteBuf2File(const char *path, const uint8_t *buf, int32_t offset,
                                            uint32_t len) {
    return rerazera::write_buf_to_file(path, buf, offset, len);
}

RERAZERA_EXPORT int32_t QVPKG_StripBinHeader(const char *inPath, const char *outPath) {
    return rerazera::strip_bin_header(inPath, outPath);
}
