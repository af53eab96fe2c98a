// SPDX-License-Identifier: MIT
#include "verify/extension_check.hpp"

#include <cstring>

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "format/big_endian.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "reader/extension_checks.hpp"
#include "verify/subfile_check.hpp"

namespace rerazera {
namespace {

// Both print the check's result unsigned (-1 shows as 4294967295) and then
// the text the failing check left in the message buffer.
constexpr char kNotExtendFile[] = "[RERAZERA]This is not extend file: %u, %s\n\n";
constexpr char kTableNotOk[] = "[RERAZERA]2nd file desc is not ok: %u %s\n\n";

// Tells ranges what the extend subfiles claim, up to the first one that
// does not lie within limit (the walk stops there).
void announce(const std::uint8_t *descs, std::uint32_t n, std::uint64_t limit,
              RangeCrc &ranges) noexcept {
    std::uint64_t claimed = 0;
    std::uint64_t furthest = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        const QVFileDesc desc = decode_desc(descs + std::size_t{i} * layout::desc::kSize);
        if (!lies_within(desc.offset, desc.length, limit)) {
            break;
        }
        claimed += desc.length;
        const std::uint64_t end = std::uint64_t{desc.offset} + desc.length;
        furthest = end > furthest ? end : furthest;
        // A bomb is recognised within its first entries: once the table has
        // started, the rest of the pass would learn nothing.
        if (i % 64 == 63) {
            ranges.expect(claimed, furthest);
            if (ranges.tabled()) {
                return;
            }
        }
    }
    ranges.expect(claimed, furthest);
}

// check_second_table, with the table's CRC taken through ranges: the walk
// has usually summed those bytes already, as the dummy bin file's payload.
std::int32_t check_table(const std::uint8_t *dummy, const std::uint8_t *table, char *msg,
                         std::uint32_t msgSize, RangeCrc &ranges) noexcept {
    const std::uint32_t n = BinHeaderView(dummy).file_num();
    const std::uint32_t count = load_be32(table + layout::table::kFileNum);
    if (n > layout::table::kMaxFileNum || count != n) {
        return check_second_table(dummy, table, msg, msgSize);  // refused before any sum
    }
    const auto crcLen = static_cast<std::size_t>(layout::table::crc_len(n));
    return judge_second_table(n, count, ranges.crc(table, crcLen), load_be32(table + crcLen), msg,
                              msgSize);
}

}  // namespace

void anchor_second_table(const std::uint8_t *base, const QVFileDesc &extDesc, std::uint64_t limit,
                         RangeCrc &ranges) noexcept {
    if (!lies_within(extDesc.offset, layout::bin::kSize, limit)) {
        return;
    }
    const std::uint8_t *dummy = base + extDesc.offset;
    const std::uint32_t n = BinHeaderView(dummy).file_num();
    if (n > layout::table::kMaxFileNum ||
        !lies_within(extDesc.offset, layout::bin::kSize + layout::table::size(n), limit)) {
        return;
    }
    const std::uint8_t *table = dummy + layout::bin::kSize;
    if (load_be32(table + layout::table::kFileNum) == n) {
        (void)ranges.anchor(table, static_cast<std::size_t>(layout::table::crc_len(n)));
    }
}

void log_extension_refusal(bool tableStage, std::int32_t result, const char *inner) noexcept {
    log_info(tableStage ? kTableNotOk : kNotExtendFile, static_cast<unsigned>(result), inner);
}

std::int32_t check_extension(const std::uint8_t *base, const QVFileDesc &extDesc,
                             std::uint64_t limit, char *msg, std::uint32_t msgSize,
                             const PageFeeder *feeder) noexcept {
    RangeCrc ranges(base, limit, feeder);
    return check_extension(base, extDesc, limit, msg, msgSize, ranges);
}

std::int32_t check_extension(const std::uint8_t *base, const QVFileDesc &extDesc,
                             std::uint64_t limit, char *msg, std::uint32_t msgSize,
                             RangeCrc &ranges) noexcept {
    if (!lies_within(extDesc.offset, layout::bin::kSize, limit)) {
        return QVPKG_ERR_LENGTH;
    }
    const std::uint8_t *dummy = base + extDesc.offset;
    if (const std::int32_t r = check_dummy_bin(extDesc, dummy, msg, msgSize); r != QVPKG_OK) {
        log_extension_refusal(false, r, msg);
        return r;
    }

    // The dummy bin check has bounded N by EXT_MAX_FILE_NUM, so the table's
    // size is at most 25,165,836 bytes.
    const std::uint32_t n = BinHeaderView(dummy).file_num();
    if (!lies_within(extDesc.offset, layout::bin::kSize + layout::table::size(n), limit)) {
        return QVPKG_ERR_LENGTH;
    }
    const std::uint8_t *table = dummy + layout::bin::kSize;
    if (const std::int32_t r = check_table(dummy, table, msg, msgSize, ranges); r != QVPKG_OK) {
        log_extension_refusal(true, r, msg);
        return r;
    }

    const std::uint8_t *descs = table + layout::table::kFileDesc;
    announce(descs, n, limit, ranges);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t *raw = descs + std::size_t{i} * layout::desc::kSize;
        // An entry reached has a predecessor that passed; one that repeats
        // its offset, length and checksum is the same test on the same bytes.
        if (i != 0 && ranges.tabled() &&
            std::memcmp(raw + layout::desc::kOffset,
                        raw - layout::desc::kSize + layout::desc::kOffset,
                        layout::desc::kCrc + 4 - layout::desc::kOffset) == 0) {
            continue;
        }
        const QVFileDesc desc = decode_desc(raw);
        if (!lies_within(desc.offset, desc.length, limit)) {
            return QVPKG_ERR_LENGTH;
        }
        if (check_subfile(base + desc.offset, desc, msg, msgSize, ranges) != QVPKG_OK) {
            return QVPKG_ERR;
        }
    }
    return QVPKG_OK;
}

}  // namespace rerazera

// Callers of the exported form vouch that the dummy bin file, its table and
// every extend subfile lie within their mapping: it is given no length.
RERAZERA_EXPORT int32_t QVPKG_ChkQVExtFileInfo(const uint8_t *base, const QVFileDesc *extDesc,
                                               char *msg, uint32_t msgSize) {
    rerazera::RangeCrc ranges(base, rerazera::kNoLimit, nullptr);
    return rerazera::check_extension(base, *extDesc, rerazera::kNoLimit, msg, msgSize, ranges);
}
