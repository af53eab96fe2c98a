// SPDX-License-Identifier: MIT
// The check of one entry against the snapshot, shared by the per-entry
// report and by extraction: the one place an entry's checksums are computed.
#pragma once

#include "package/handle.hpp"

namespace rerazera::package {

// Fills out for the handle's own entry e: bounds, then the sub-file's tests
// in the order the whole-package walk makes them, the first failure giving
// the reason; the checksums computed on the way are recorded. Logs nothing.
void check_entry_bytes(const rerazera_package &pkg, const rerazera_entry &e,
                       rerazera_entry_report &out) noexcept;

// Only the bin header's tests (bounds, size, bin header CRC, payload fit):
// REASON_OK when the payload's checksum is all that is left to test.
std::uint32_t check_entry_head(const rerazera_package &pkg, const rerazera_entry &e,
                               rerazera_entry_report &out) noexcept;

}  // namespace rerazera::package
