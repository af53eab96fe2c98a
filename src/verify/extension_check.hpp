// SPDX-License-Identifier: MIT
// The extension check on a mapped package: the dummy bin file, the second
// descriptor table and every extend subfile that the table lists.
#pragma once

#include <cstdint>

#include "rerazera.h"
#include "verify/mapping.hpp"
#include "verify/range_crc.hpp"

namespace rerazera {

// A limit that every range passes: for callers that vouch for the bounds
// themselves (the exported check, which is given no mapping length).
inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

// Logs a refusal of the dummy bin file (tableStage false) or of the second
// table (true) with the check's result and text, as check_extension does.
void log_extension_refusal(bool tableStage, std::int32_t result, const char *inner) noexcept;

// Checks the extension that extDesc (header entry 255) opens in the package
// mapped at base. Before reading the dummy bin header, the table and each
// extend subfile, tests that it lies within the first `limit` bytes of the
// mapping, and returns QVPKG_ERR_LENGTH (writing and logging nothing) for
// one that does not. Otherwise: 0; -1, 7 or 9 from the dummy bin check and
// 9 or 7 from the table check, each logged with the text left in msg; or -1
// for a failing extend subfile, whose test's text is left in msg. A feeder
// is handed to each extend subfile's test.
std::int32_t check_extension(const std::uint8_t *base, const QVFileDesc &extDesc,
                             std::uint64_t limit, char *msg, std::uint32_t msgSize,
                             const PageFeeder *feeder = nullptr) noexcept;

// The same check with every extend subfile's checksums taken through
// ranges, which holds the mapping at base.
std::int32_t check_extension(const std::uint8_t *base, const QVFileDesc &extDesc,
                             std::uint64_t limit, char *msg, std::uint32_t msgSize,
                             RangeCrc &ranges) noexcept;

// When the extension's second table lies within limit with a count that
// matches, sums it in ranges as the anchor, so that the dummy bin file's
// payload, which holds the table, and the table check after it do not sum
// the same bytes again. Writes and logs nothing.
void anchor_second_table(const std::uint8_t *base, const QVFileDesc &extDesc, std::uint64_t limit,
                         RangeCrc &ranges) noexcept;

}  // namespace rerazera
