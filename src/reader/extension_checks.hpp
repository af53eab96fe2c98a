// SPDX-License-Identifier: MIT
// The extension's two in-memory checks: the dummy bin file's header judged
// against header entry 255, and a second descriptor table judged against the
// dummy bin header. They read only the images they are given and write their
// verdict into the caller's message buffer; the lookup applies them to bytes
// read from disk, the verification to a mapped package.
#pragma once

#include <cstdint>

#include "reader/held_mapping.hpp"
#include "rerazera.h"

namespace rerazera {

// The four tests of the dummy bin header, in this order, the first failure
// deciding: entry 255's fileId is DUMMY_DESC_FILE_ID (-1), the dummy header's
// fileId is DUMMY_BIN_FILE_ID (9), its headCrc matches (7), and its count N
// is at most EXT_MAX_FILE_NUM (9, logged only; msg keeps its text). 0 leaves
// msg as it was. dummyHeader holds layout::bin::kSize bytes.
std::int32_t check_dummy_bin(const QVFileDesc &extDesc, const std::uint8_t *dummyHeader, char *msg,
                             std::uint32_t msgSize) noexcept;

// Count and CRC of a second table against the dummy bin header: the table's
// fileNum equals N (9), then tableCrc matches (7). table holds
// layout::table::size(N) bytes, N from dummyHeader. An N above
// EXT_MAX_FILE_NUM, which check_dummy_bin refuses before any caller of ours
// gets here, is refused with 9 before a byte of the table is read, so a host
// passing one can neither make the size wrap nor make us read past a table.
// When it sums the table, the sum is left in *summed if given.
std::int32_t check_second_table(const std::uint8_t *dummyHeader, const std::uint8_t *table,
                                char *msg, std::uint32_t msgSize,
                                SummedRange *summed = nullptr) noexcept;

// The decision of check_second_table from the values it compares, for a
// caller that streams a table instead of holding it: tableCount is the
// table's fileNum, computedCrc the CRC-16 of its first crc_len(n) bytes and
// storedCrc the word behind them. Same order, codes and verdicts; n must not
// exceed EXT_MAX_FILE_NUM.
std::int32_t judge_second_table(std::uint32_t n, std::uint32_t tableCount,
                                std::uint16_t computedCrc, std::uint32_t storedCrc, char *msg,
                                std::uint32_t msgSize) noexcept;

}  // namespace rerazera
