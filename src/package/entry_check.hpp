// SPDX-License-Identifier: MIT
// The check of one entry against the snapshot, shared by the per-entry
// report and by extraction: the one place an entry's checksums are computed.
#pragma once

#include "package/handle.hpp"
#include "verify/range_crc.hpp"

namespace rerazera::package {

// Fills out for the handle's own entry e: bounds, then the sub-file's tests
// in the order the whole-package walk makes them, the first failure giving
// the reason; the checksums computed on the way are recorded. Logs nothing.
// Payload checksums come from ranges, over the handle's mapping, so that a
// pass over every entry costs what the file holds, not what entries claim.
void check_entry_bytes(const rerazera_package &pkg, const rerazera_entry &e,
                       rerazera_entry_report &out, RangeCrc &ranges) noexcept;

// Only the bin header's tests (bounds, size, bin header CRC, payload fit):
// REASON_OK when the payload's checksum is all that is left to test.
// With ranges, the bin header's checksum is taken from them too: entries
// that share a bin header then cost one sum between them.
std::uint32_t check_entry_head(const rerazera_package &pkg, const rerazera_entry &e,
                               rerazera_entry_report &out, RangeCrc *ranges = nullptr) noexcept;

}  // namespace rerazera::package
