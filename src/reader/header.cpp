// SPDX-License-Identifier: MIT
#include "reader/header.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "base/resolved_path.hpp"
#include "base/unique_fd.hpp"
#include "format/crc.hpp"
#include "format/records.hpp"
#include "reader/positioned_read.hpp"

namespace rerazera {
namespace {

constexpr char kFileNumOverLimit[] = "[RERAZERA]File is wrong, file num is over upper limit\n\n";
constexpr char kHeaderCrcBad[] = "[RERAZERA]Boot file CRC check not ok.\n\n";
constexpr char kHeaderMallocFailed[] = "[RERAZERA]Malloc buffer unsuccess.\n\n";
constexpr char kHeaderReadFailed[] = "[RERAZERA]Read QV file header unsuccess %d.\n\n";
constexpr char kHeaderCheckFailed[] = "[RERAZERA]Check QV header unsuccess %d.\n\n";

// The product type query opens the file itself; its texts end in one newline.
constexpr char kTypeMallocFailed[] = "[RERAZERA]get product type malloc unsuccess.\n";
constexpr char kTypeRealpathFailed[] = "[RERAZERA]get %s's realpath unsuccess.\n";
constexpr char kTypeOpenFailed[] = "[RERAZERA]open %s unsuccess, errno 0x%x.\n";
constexpr char kTypeReadFailed[] = "[RERAZERA]read pkg header unsuccess, ret 0x%x err 0x%x\n";

std::int32_t extract_product_type(const char *path, std::uint32_t *productType) noexcept {
    if (path == nullptr || productType == nullptr) {
        return QVPKG_ERR_NULL_ARG;
    }
    const HeapBuffer image = HeapBuffer::allocate_zeroed(layout::header::kSize);
    if (!image) {
        log_info(kTypeMallocFailed);
        return QVPKG_ERR_NO_MEMORY;
    }
    const ResolvedPath resolved(path);
    if (!resolved.ok()) {
        log_info(kTypeRealpathFailed, path);
        return QVPKG_ERR_PATH;
    }
    const UniqueFd fd(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        log_info(kTypeOpenFailed, path, static_cast<unsigned>(errno));
        return QVPKG_ERR_IO;
    }
    const ssize_t got = ::read(fd.get(), image.data(), layout::header::kSize);
    if (got != static_cast<ssize_t>(layout::header::kSize)) {
        log_info(kTypeReadFailed, static_cast<unsigned>(got), static_cast<unsigned>(errno));
        return QVPKG_ERR_IO;
    }
    *productType = HeaderView(image.data()).product_type();
    return QVPKG_OK;
}

}  // namespace

std::int32_t check_header(const std::uint8_t *image) noexcept {
    const HeaderView header(image);
    if (header.file_num() > layout::header::kMaxFileNum) {
        log_info(kFileNumOverLimit);
        return QVPKG_ERR_FILE_NUM;
    }
    if (!crc_word_matches(header.header_crc(), crc16(image, layout::header::kCrcLen))) {
        log_info(kHeaderCrcBad);
        return QVPKG_ERR_CRC;
    }
    return QVPKG_OK;
}

HeapBuffer load_header(const char *path) noexcept {
    HeapBuffer image = HeapBuffer::allocate_zeroed(layout::header::kSize);
    if (!image) {
        log_info(kHeaderMallocFailed);
        return {};
    }
    if (const std::int32_t r = read_file_by_offset(path, 0, image.data(), layout::header::kSize);
        r != QVPKG_OK) {
        log_info(kHeaderReadFailed, r);
        return {};
    }
    if (const std::int32_t r = check_header(image.data()); r != QVPKG_OK) {
        log_info(kHeaderCheckFailed, r);
        return {};
    }
    return image;
}

}  // namespace rerazera

RERAZERA_EXPORT int32_t QVPKG_ChkQvHeader(const QVHeader *header) {
    return rerazera::check_header(reinterpret_cast<const uint8_t *>(header));
}

RERAZERA_EXPORT QVHeader *QVPKG_GetQVHeader(const char *path) {
    return reinterpret_cast<QVHeader *>(rerazera::load_header(path).release());
}

RERAZERA_EXPORT int32_t QVPKG_ExtractProductTypeFromQV(const char *path, uint32_t *productType) {
    return rerazera::extract_product_type(path, productType);
}
