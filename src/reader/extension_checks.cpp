// SPDX-License-Identifier: MIT
#include "reader/extension_checks.hpp"

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "base/safe_memory.hpp"
#include "format/big_endian.hpp"
#include "format/crc.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"

namespace rerazera {
namespace {

// Verdicts for the person operating the device; each ends in one newline.
constexpr char kNotDummyEntry[] = "[ext]The 256th file is not dummy file!\n";
constexpr char kDummyBinIdBad[] = "[ext]The dummy bin fileID is wrong!\n";
constexpr char kDummyBinCrcBad[] = "[ext]The dummy bin head CRC is wrong!\n";
constexpr char kTableCountBad[] = "[ext]The last file number is wrong\n";
constexpr char kTableCrcBad[] = "[ext]The sub header file CRC is wrong\n";
// Only reachable from a host that skips the dummy bin check: a count no table
// can have. Refused before the table is touched.
constexpr char kTableCountOverLimit[] = "[ext]The last file number is over upper limit\n";

// The over-limit count goes to the log only, with the header check's text.
constexpr char kFileNumOverLimit[] = "[RERAZERA]File is wrong, file num is over upper limit\n\n";

}  // namespace

std::int32_t check_dummy_bin(const QVFileDesc &extDesc, const std::uint8_t *dummyHeader, char *msg,
                             std::uint32_t msgSize) noexcept {
    const BinHeaderView dummy(dummyHeader);
    if (extDesc.fileId != layout::kDummyDescFileId) {
        bounded_print(msg, msgSize, kNotDummyEntry);
        return QVPKG_ERR;
    }
    if (dummy.file_id() != layout::kDummyBinFileId) {
        bounded_print(msg, msgSize, kDummyBinIdBad);
        return QVPKG_ERR_EXTEND;
    }
    const std::uint16_t crc = crc16(dummyHeader + layout::bin::kCrcStart, layout::bin::kCrcLen);
    if (!crc_word_matches(dummy.head_crc(), crc)) {
        bounded_print(msg, msgSize, kDummyBinCrcBad);
        return QVPKG_ERR_CRC;
    }
    if (dummy.file_num() > layout::table::kMaxFileNum) {
        log_info(kFileNumOverLimit);
        return QVPKG_ERR_EXTEND;
    }
    return QVPKG_OK;
}

std::int32_t judge_second_table(std::uint32_t n, std::uint32_t tableCount,
                                std::uint16_t computedCrc, std::uint32_t storedCrc, char *msg,
                                std::uint32_t msgSize) noexcept {
    if (tableCount != n) {
        bounded_print(msg, msgSize, kTableCountBad);
        return QVPKG_ERR_EXTEND;
    }
    if (!crc_word_matches(storedCrc, computedCrc)) {
        bounded_print(msg, msgSize, kTableCrcBad);
        return QVPKG_ERR_CRC;
    }
    return QVPKG_OK;
}

std::int32_t check_second_table(const std::uint8_t *dummyHeader, const std::uint8_t *table,
                                char *msg, std::uint32_t msgSize, SummedRange *summed) noexcept {
    const std::uint32_t n = BinHeaderView(dummyHeader).file_num();
    if (n > layout::table::kMaxFileNum) {
        bounded_print(msg, msgSize, kTableCountOverLimit);
        return QVPKG_ERR_EXTEND;
    }
    const std::uint32_t count = load_be32(table + layout::table::kFileNum);
    if (count != n) {
        return judge_second_table(n, count, 0, 0, msg, msgSize);
    }
    // n <= 0xFFFFF: the covered length is at most 25,165,832 bytes.
    const auto crcLen = static_cast<std::size_t>(layout::table::crc_len(n));
    const std::uint16_t crc = crc16(table, crcLen);
    if (summed != nullptr) {
        *summed = SummedRange{table, crcLen, crc};
    }
    return judge_second_table(n, count, crc, load_be32(table + crcLen), msg, msgSize);
}

}  // namespace rerazera

RERAZERA_EXPORT int32_t QVPKG_isValidExtQV(const QVFileDesc *extDesc, const BinHeader *dummyHeader,
                                           char *msg, uint32_t msgSize) {
    return rerazera::check_dummy_bin(*extDesc, reinterpret_cast<const uint8_t *>(dummyHeader), msg,
                                     msgSize);
}

RERAZERA_EXPORT int32_t QVPKG_Chk2ndFileDesc(const BinHeader *dummyHeader,
                                             const SecondFileDescTable *table, char *msg,
                                             uint32_t msgSize) {
    return rerazera::check_second_table(reinterpret_cast<const uint8_t *>(dummyHeader),
                                        reinterpret_cast<const uint8_t *>(table), msg, msgSize);
}
