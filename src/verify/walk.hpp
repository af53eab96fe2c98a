// SPDX-License-Identifier: MIT
// The whole-package walk over a mapped package.
#pragma once

#include <cstdint>

#include "reader/held_mapping.hpp"
#include "verify/mapping.hpp"
#include "verify/range_crc.hpp"

namespace rerazera {

// The four verdicts of a walk. print_walk_verdict writes one into msg (a
// failure's text follows the failing test's own, inner) and returns its code.
enum class WalkVerdict { kOk, kHeaderRefused, kOutOfFile, kFailed };
std::int32_t print_walk_verdict(WalkVerdict verdict, const char *inner, char *msg,
                                std::uint32_t msgSize) noexcept;

// Verifies the package mapped at base (fileLen >= 6180 readable bytes): the
// header, then each header entry in table order (bounds, then the sub-file
// test), then the extension when entry 255 opens one. Writes exactly one
// verdict into msg and returns 0, -1, QVPKG_ERR_LENGTH or QVPKG_ERR_HEADER.
// A feeder over the same mapping brings long payloads in ahead of their
// checksums; it changes nothing but the time taken.
//
// The work is bounded by fileLen whatever the entries claim: see RangeCrc.
// mode chooses how ranges are summed (Direct: the straightforward walk, for
// comparisons); every mode gives the same result, text and log lines.
// summed, when set, is a range of this mapping whose CRC a lookup formed
// just before (the second table): it is not summed again.
std::int32_t check_package(const std::uint8_t *base, std::uint32_t fileLen, char *msg,
                           std::uint32_t msgSize, const PageFeeder *feeder = nullptr,
                           CrcMode mode = CrcMode::Auto,
                           const SummedRange *summed = nullptr) noexcept;

}  // namespace rerazera
