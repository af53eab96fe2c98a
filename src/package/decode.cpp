// SPDX-License-Identifier: MIT
// What a handle decodes once, when it is opened: the header fields and its
// check, the state of the extension, and whether the rpg file is listed.
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
        info.extension_result = QVPKG_ERR_LENGTH;
        return;
    }
    const std::uint8_t *dummy = pkg.data + ext.offset;
    const std::uint32_t n = BinHeaderView(dummy).file_num();
    info.extension_count = n;
    char msg[layout::kMsgBufLen] = {};
    if (const std::int32_t r = check_dummy_bin(ext, dummy, msg, sizeof msg); r != QVPKG_OK) {
        info.extension_result = r;
        return;
    }
    // n is at most EXT_MAX_FILE_NUM once the dummy bin check passed.
    if (!lies_within(ext.offset, layout::bin::kSize + layout::table::size(n), pkg.size)) {
        info.extension_result = QVPKG_ERR_LENGTH;
        return;
    }
    const std::uint8_t *table = dummy + layout::bin::kSize;
    if (const std::int32_t r = check_second_table(dummy, table, msg, sizeof msg); r != QVPKG_OK) {
        info.extension_result = r;
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
    // The lookup of the rpg file that the name rule makes: a valid header,
    // then its table, then a valid extension's table.
    pkg.rpg = info.header_result == QVPKG_OK &&
              (lists_rpg(header.raw_desc(0), pkg.header_entries) ||
               (extValid && lists_rpg(pkg.ext_descs, info.extension_count)));
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
