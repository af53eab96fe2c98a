// SPDX-License-Identifier: MIT
#include "package/entry_check.hpp"

#include <cstring>

#include "format/crc.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "verify/mapping.hpp"
#include "verify/subfile_check.hpp"

namespace rerazera::package {

std::uint32_t check_entry_head(const rerazera_package &pkg, const rerazera_entry &e,
                               rerazera_entry_report &out, RangeCrc *ranges) noexcept {
    std::memset(&out, 0, sizeof out);
    out.entry = e;
    out.crc_stored = e.crc;
    if (!lies_within(e.offset, e.length, pkg.size)) {
        return out.reason = RERAZERA_REASON_OUT_OF_BOUNDS;
    }
    if (e.length == 0) {
        out.ok = 1;
        return out.reason = RERAZERA_REASON_EMPTY;
    }
    if (e.length < layout::bin::kSize) {
        return out.reason = RERAZERA_REASON_TOO_SHORT;
    }
    const std::uint8_t *sub = pkg.data + e.offset;
    const BinHeaderView bin(sub);
    out.computed |= RERAZERA_REPORT_HEAD_CRC;
    out.head_crc_stored = bin.head_crc();
    const std::uint8_t *head = sub + layout::bin::kCrcStart;
    out.head_crc_computed = ranges != nullptr ? ranges->crc(head, layout::bin::kCrcLen)
                                              : crc16(head, layout::bin::kCrcLen);
    if (!crc_word_matches(out.head_crc_stored, static_cast<std::uint16_t>(out.head_crc_computed))) {
        return out.reason = RERAZERA_REASON_HEADER_CRC;
    }
    if (std::uint64_t{layout::bin::kSize} + bin.data_len() > e.length) {
        return out.reason = RERAZERA_REASON_PAYLOAD_OVERRUN;
    }
    return out.reason = RERAZERA_REASON_OK;
}

void check_entry_bytes(const rerazera_package &pkg, const rerazera_entry &e,
                       rerazera_entry_report &out, RangeCrc &ranges) noexcept {
    if (check_entry_head(pkg, e, out, &ranges) != RERAZERA_REASON_OK) {
        return;
    }
    const std::uint8_t *sub = pkg.data + e.offset;
    out.computed |= RERAZERA_REPORT_CRC;
    out.crc_computed = ranges.crc(sub + layout::bin::kSize, BinHeaderView(sub).data_len());
    if (!crc_word_matches(out.crc_stored, static_cast<std::uint16_t>(out.crc_computed))) {
        out.reason = RERAZERA_REASON_PAYLOAD_CRC;
        return;
    }
    out.ok = 1;
}

}  // namespace rerazera::package
