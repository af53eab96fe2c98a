// SPDX-License-Identifier: MIT
#include "reader/lookup.hpp"

#include <cstring>

#include "base/c_boundary.hpp"
#include "base/heap_buffer.hpp"
#include "base/log.hpp"
#include "base/safe_memory.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "reader/extension.hpp"
#include "reader/header.hpp"
#include "reader/positioned_read.hpp"

namespace rerazera {
namespace {

constexpr char kHeaderLoadFailed[] = "[RERAZERA]Read QV header unsuccess.\n\n";
constexpr char kNotFound[] = "[RERAZERA]File not found in package!\n\n";
constexpr char kBinHeaderMallocFailed[] = "[RERAZERA]Malloc file header unsuccess.\n\n";
constexpr char kBinHeaderReadFailed[] = "[RERAZERA]Read file unsuccess %u not ok %d.\n";
constexpr char kRpgAbsent[] = "[RERAZERA]Get rpg file info from QV header unsuccess! \n\n";

// A bin header text field as a terminated string: its bytes up to the first
// NUL, or all of them when the field is full, never the bytes after it.
template <std::uint32_t Width>
class FieldText {
  public:
    explicit FieldText(const std::uint8_t *field) noexcept {
        memset_s(text_, sizeof text_, 0, sizeof text_);
        memcpy_s(text_, Width, field, Width);
    }
    [[nodiscard]] const char *c_str() const noexcept { return text_; }

  private:
    char text_[Width + 1];
};

// Entries of the header's table that are in use.
std::uint32_t entries_in_use(const HeaderView &header) noexcept {
    const std::uint32_t n = header.file_num();
    return n < layout::header::kMaxFileNum ? n : layout::header::kMaxFileNum;
}

void copy_desc(QVFileDesc &dst, const QVFileDesc &src) noexcept {
    dst.fileId = src.fileId;
    dst.offset = src.offset;
    dst.length = src.length;
    dst.crc = src.crc;
    dst.aux0 = src.aux0;
    dst.aux1 = src.aux1;
}

int32_t name_match_fn(const BinHeader *binHeader, const char *key) {
    return name_matches(reinterpret_cast<const std::uint8_t *>(binHeader), key) ? 1 : 0;
}

int32_t desc_match_fn(const BinHeader *binHeader, const char *key) {
    return desc_contains(reinterpret_cast<const std::uint8_t *>(binHeader), key) ? 1 : 0;
}

}  // namespace

std::int32_t find_by_id(const char *path, QVFileDesc &fileInfo, std::int32_t fileId,
                        HeldMapping *held) noexcept {
    {
        const HeapBuffer header = load_header(path);
        if (!header) {
            log_info(kHeaderLoadFailed);
            return QVPKG_ERR_HEADER;
        }
        const HeaderView view(header.data());
        const auto id = static_cast<std::uint32_t>(fileId);
        for (std::uint32_t i = 0, n = entries_in_use(view); i < n; ++i) {
            if (view.desc_file_id(i) == id) {
                copy_desc(fileInfo, view.desc(i));
                return QVPKG_OK;
            }
        }
    }  // the header image is freed before the extension loads its own
    const std::int32_t r = find_extend_file(path, fileInfo, fileId, held);
    if (r != QVPKG_OK) {
        log_info(kNotFound);
    }
    return r;
}

std::int32_t find_by_bin_header(const char *path, QVFileDesc &fileInfo, BinHeaderMatchFn matchFn,
                                const char *key) noexcept {
    const HeapBuffer header = load_header(path);
    if (!header) {
        log_info(kHeaderLoadFailed);
        return QVPKG_ERR_HEADER;
    }
    // One buffer serves every entry; the matcher sees it only during its call.
    const HeapBuffer binHeader = HeapBuffer::allocate_zeroed(layout::bin::kSize);
    if (!binHeader) {
        log_info(kBinHeaderMallocFailed);
        return QVPKG_ERR_NO_MEMORY;
    }
    const HeaderView view(header.data());
    for (std::uint32_t i = 0, n = entries_in_use(view); i < n; ++i) {
        const QVFileDesc entry = view.desc(i);
        // Offsets of 2^31 and more arrive negative and the seek refuses them.
        if (const std::int32_t r =
                read_file_by_offset(path, static_cast<std::int32_t>(entry.offset), binHeader.data(),
                                    layout::bin::kSize);
            r != QVPKG_OK) {
            log_info(kBinHeaderReadFailed, static_cast<unsigned>(i), r);
            return QVPKG_ERR;
        }
        if (matchFn(reinterpret_cast<const BinHeader *>(binHeader.data()), key) != 0) {
            copy_desc(fileInfo, entry);
            return QVPKG_OK;
        }
    }
    return QVPKG_ERR_NOT_FOUND;
}

std::int32_t find_by_name(const char *path, QVFileDesc &fileInfo, const char *fileName) noexcept {
    return find_by_bin_header(path, fileInfo, name_match_fn, fileName);
}

std::int32_t find_by_desc(const char *path, QVFileDesc &fileInfo, const char *descText) noexcept {
    return find_by_bin_header(path, fileInfo, desc_match_fn, descText);
}

bool name_matches(const std::uint8_t *binHeader, const char *fileName) noexcept {
    if (binHeader == nullptr || fileName == nullptr) {
        return false;
    }
    const FieldText<layout::bin::kNameSize> name(binHeader + layout::bin::kName);
    return std::strcmp(name.c_str(), fileName) == 0;
}

bool desc_contains(const std::uint8_t *binHeader, const char *descText) noexcept {
    if (binHeader == nullptr || descText == nullptr) {
        return false;
    }
    const FieldText<layout::bin::kDescSize> desc(binHeader + layout::bin::kDesc);
    return std::strstr(desc.c_str(), descText) != nullptr;
}

std::int32_t check_rpg(const char *path, HeldMapping *held) noexcept {
    if (path == nullptr) {  // no package to carry it
        log_info(kRpgAbsent);
        return QVPKG_ERR;
    }
    QVFileDesc rpg;
    memset_s(&rpg, sizeof rpg, 0, sizeof rpg);
    if (find_by_id(path, rpg, static_cast<std::int32_t>(layout::kRpgFileId), held) == QVPKG_OK) {
        return QVPKG_OK;
    }
    log_info(kRpgAbsent);
    return QVPKG_ERR;
}

}  // namespace rerazera

// The lookups refuse a null package path, out-record or matcher with
// QVPKG_ERR_NULL_ARG, logging nothing; the key goes to the matcher as given.
RERAZERA_EXPORT int32_t QVPKG_GetQVFileInfo(const char *path, QVFileDesc *fileInfo,
                                            int32_t fileId) {
    if (path == nullptr || fileInfo == nullptr) {
        return QVPKG_ERR_NULL_ARG;
    }
    return rerazera::find_by_id(path, *fileInfo, fileId);
}

RERAZERA_EXPORT void QVPKG_ConvertQVFileDesc(QVFileDesc *dst, const QVFileDesc *src) {
    if (dst != nullptr && src != nullptr) {
        rerazera::copy_desc(*dst, *src);
    }
}

RERAZERA_EXPORT int32_t QVPKG_GetQVFileInfoByBinHeader(const char *path, QVFileDesc *fileInfo,
                                                       BinHeaderMatchFn matchFn, const char *key) {
    if (path == nullptr || fileInfo == nullptr || matchFn == nullptr) {
        return QVPKG_ERR_NULL_ARG;
    }
    return rerazera::find_by_bin_header(path, *fileInfo, matchFn, key);
}

RERAZERA_EXPORT int32_t QVPKG_GetQVFileInfoByName(const char *path, QVFileDesc *fileInfo,
                                                  const char *fileName) {
    return QVPKG_GetQVFileInfoByBinHeader(path, fileInfo, rerazera::name_match_fn, fileName);
}

RERAZERA_EXPORT int32_t QVPKG_GetQVFileInfoByDesc(const char *path, QVFileDesc *fileInfo,
                                                  const char *descText) {
    return QVPKG_GetQVFileInfoByBinHeader(path, fileInfo, rerazera::desc_match_fn, descText);
}

RERAZERA_EXPORT int32_t QVPKG_IsNameMatch(const BinHeader *binHeader, const char *fileName) {
    return rerazera::name_matches(reinterpret_cast<const uint8_t *>(binHeader), fileName) ? 1 : 0;
}

RERAZERA_EXPORT int32_t QVPKG_IsDescMatch(const BinHeader *binHeader, const char *descText) {
    return rerazera::desc_contains(reinterpret_cast<const uint8_t *>(binHeader), descText) ? 1 : 0;
}

RERAZERA_EXPORT int32_t QVPKG_ChkqvTypeFromRpg(const char *path) {
    return rerazera::check_rpg(path);
}
