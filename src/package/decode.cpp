// SPDX-License-Identifier: MIT
// What a handle decodes once, when it is opened: the header fields and its
// check, the state of the extension, and whether the rpg file is listed.
#include <algorithm>
#include <cstring>

#include "base/c_boundary.hpp"
#include "format/crc.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "package/handle.hpp"
#include "package/log_sink.hpp"
#include "reader/extension_checks.hpp"
#include "reader/header.hpp"
#include "verify/subfile_check.hpp"

namespace rerazera::package {
namespace {

constexpr char kDummyPastEnd[] = "the dummy bin file lies past the end of the package";
constexpr char kTooManyExtend[] = "the extension lists more sub-files than allowed";
constexpr char kTablePastEnd[] = "the second descriptor table runs past the end of the package";

// Keeps why the extension failed: the check's verdict without its trailing
// newlines, or fallback when the check left no text.
void extension_failed(rerazera_package &pkg, std::int32_t result, const char *verdict,
                      const char *fallback) noexcept {
    const char *text = verdict[0] != '\0' ? verdict : fallback;
    std::size_t n = std::min(std::strlen(text), sizeof pkg.ext_message - 1);
    while (n > 0 && text[n - 1] == '\n') {
        --n;
    }
    std::memcpy(pkg.ext_message, text, n);
    pkg.ext_message[n] = '\0';
    pkg.info.extension_result = result;
}

bool lists_rpg(const std::uint8_t *descs, std::uint32_t n) noexcept {
    for (std::uint32_t i = 0; i < n; ++i) {
        if (load_be32(descs + std::size_t{i} * layout::desc::kSize + layout::desc::kFileId) ==
            layout::kRpgFileId) {
            return true;
        }
    }
    return false;
}

// The extension opened by header entry 255: the dummy bin file and the
// second table, each tested against the snapshot's real size first.
void decode_extension(rerazera_package &pkg, const HeaderView &header) noexcept {
    rerazera_header_info &info = pkg.info;
    const QVFileDesc ext = header.desc(layout::header::kExtEntryIndex);
    info.extension_state = RERAZERA_EXT_INVALID;
    if (!lies_within(ext.offset, layout::bin::kSize, pkg.size)) {
        extension_failed(pkg, QVPKG_ERR_LENGTH, "", kDummyPastEnd);
        return;
    }
    const std::uint8_t *dummy = pkg.data + ext.offset;
    const std::uint32_t n = BinHeaderView(dummy).file_num();
    info.extension_count = n;
    char msg[layout::kMsgBufLen] = {};
    if (const std::int32_t r = check_dummy_bin(ext, dummy, msg, sizeof msg); r != QVPKG_OK) {
        extension_failed(pkg, r, msg, kTooManyExtend);
        return;
    }
    // n is at most EXT_MAX_FILE_NUM once the dummy bin check passed.
    if (!lies_within(ext.offset, layout::bin::kSize + layout::table::size(n), pkg.size)) {
        extension_failed(pkg, QVPKG_ERR_LENGTH, "", kTablePastEnd);
        return;
    }
    const std::uint8_t *table = dummy + layout::bin::kSize;
    // Up to 24 MiB of a mapped file: mapped in with one call rather than a
    // fault every few pages.
    if (pkg.storage == Storage::Mapped) {
        PageFeeder(pkg.mapping).feed(table, layout::table::size(n));
    }
    if (const std::int32_t r = check_second_table(dummy, table, msg, sizeof msg, &pkg.table_sum);
        r != QVPKG_OK) {
        extension_failed(pkg, r, msg, "");
        return;
    }
    info.extension_state = RERAZERA_EXT_VALID;
    pkg.ext_descs = table + layout::table::kFileDesc;
}

}  // namespace

void decode(rerazera_package &pkg) noexcept {
    const ScopedLogSink sink(pkg.log, pkg.log_ctx);
    const HeaderView header(pkg.data);
    rerazera_header_info &info = pkg.info;
    info.size = pkg.size;
    info.file_num = header.file_num();
    info.product_type = header.product_type();
    info.header_crc_stored = header.header_crc();
    info.header_crc_computed = crc16(pkg.data, layout::header::kCrcLen);
    info.header_result = check_header(pkg.data);
    info.extension_state = RERAZERA_EXT_NONE;
    pkg.header_entries =
        info.file_num < layout::header::kMaxFileNum ? info.file_num : layout::header::kMaxFileNum;
    // As the walk decides it: a full table whose entry 255 is the dummy.
    pkg.dummy = info.file_num == layout::header::kMaxFileNum &&
                header.desc_file_id(layout::header::kExtEntryIndex) == layout::kDummyDescFileId;
    if (pkg.dummy) {
        decode_extension(pkg, header);
    }
    const bool extValid = info.extension_state == RERAZERA_EXT_VALID;
    info.entry_count = pkg.header_entries + (extValid ? std::uint64_t{info.extension_count} : 0);
}

bool lists_rpg_file(const rerazera_package &pkg) noexcept {
    const rerazera_header_info &info = pkg.info;
    return info.header_result == QVPKG_OK &&
           (lists_rpg(HeaderView(pkg.data).raw_desc(0), pkg.header_entries) ||
            (info.extension_state == RERAZERA_EXT_VALID &&
             lists_rpg(pkg.ext_descs, info.extension_count)));
}

}  // namespace rerazera::package

RERAZERA_EXPORT int32_t rerazera_package_header(const rerazera_package *pkg,
                                                rerazera_header_info *out) {
    if (pkg == nullptr || out == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    *out = pkg->info;
    return RERAZERA_OK;
}

RERAZERA_EXPORT int32_t rerazera_package_extension_message(const rerazera_package *pkg, char *msg,
                                                           size_t msg_size) {
    if (pkg == nullptr || msg == nullptr || msg_size == 0) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    const std::size_t n = std::min(std::strlen(pkg->ext_message), msg_size - 1);
    std::memcpy(msg, pkg->ext_message, n);
    msg[n] = '\0';
    return RERAZERA_OK;
}
