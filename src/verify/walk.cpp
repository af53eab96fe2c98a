// SPDX-License-Identifier: MIT
#include "verify/walk.hpp"

#include "base/c_boundary.hpp"
#include "base/safe_memory.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "reader/header.hpp"
#include "verify/extension_check.hpp"
#include "verify/subfile_check.hpp"

namespace rerazera {
namespace {

// Verdicts, exactly one per walk.
constexpr char kVerdictOk[] = "Info: System software CRC check OK!\n";
constexpr char kVerdictFailed[] = "%sInfo: System software CRC check failed!\n";
constexpr char kVerdictOutOfFile[] = "File length is wrong, offset is out of file size.\n";
constexpr char kVerdictHeaderRefused[] = "Check QV header fail! \n";

// A package opens an extension when its table is full and entry 255 is the
// dummy bin file; a full table of ordinary entries has none.
bool has_extension(const HeaderView &header) noexcept {
    return header.file_num() == layout::header::kMaxFileNum &&
           header.desc_file_id(layout::header::kExtEntryIndex) == layout::kDummyDescFileId;
}

}  // namespace

std::int32_t print_walk_verdict(WalkVerdict verdict, const char *inner, char *msg,
                                std::uint32_t msgSize) noexcept {
    switch (verdict) {
        case WalkVerdict::kOk:
            bounded_print(msg, msgSize, kVerdictOk);
            return QVPKG_OK;
        case WalkVerdict::kHeaderRefused:
            bounded_print(msg, msgSize, kVerdictHeaderRefused);
            return QVPKG_ERR_HEADER;
        case WalkVerdict::kOutOfFile:
            bounded_print(msg, msgSize, kVerdictOutOfFile);
            return QVPKG_ERR_LENGTH;
        case WalkVerdict::kFailed:
            break;
    }
    bounded_print(msg, msgSize, kVerdictFailed, inner);
    return QVPKG_ERR;
}

std::int32_t check_package(const std::uint8_t *base, std::uint32_t fileLen, char *msg,
                           std::uint32_t msgSize, const PageFeeder *feeder, CrcMode mode,
                           const SummedRange *summed) noexcept {
    // The failing test's own text; it becomes the first line of the verdict.
    char inner[layout::kMsgBufLen];
    memset_s(inner, sizeof inner, 0, sizeof inner);

    if (check_header(base) != QVPKG_OK) {  // logs its own reason
        bounded_print(msg, msgSize, kVerdictHeaderRefused);
        return QVPKG_ERR_HEADER;
    }
    const HeaderView header(base);
    const std::uint32_t n = header.file_num();  // at most 256 once the header passed
    RangeCrc ranges(base, fileLen, feeder, mode);
    if (summed != nullptr && summed->p != nullptr) {
        ranges.seed(summed->p, summed->n, summed->crc);
    }
    const bool extended = has_extension(header);
    std::uint64_t claimed = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        claimed += header.desc(i).length;
    }
    ranges.expect(claimed, fileLen);
    PassedEntry passed;

    // Each entry is bounds-tested just before its own test, so the failure
    // reported is the first in table order, whatever its kind.
    for (std::uint32_t i = 0; i < n; ++i) {
        const QVFileDesc desc = header.desc(i);
        if (!lies_within(desc.offset, desc.length, fileLen)) {
            bounded_print(msg, msgSize, kVerdictOutOfFile);
            return QVPKG_ERR_LENGTH;
        }
        if (ranges.tabled() && passed.same(desc)) {
            continue;  // the same test on the same bytes, passed just before
        }
        if (extended && i == layout::header::kExtEntryIndex) {
            anchor_second_table(base, desc, fileLen, ranges);
        }
        if (check_subfile(base + desc.offset, desc, inner, sizeof inner, ranges) != QVPKG_OK) {
            bounded_print(msg, msgSize, kVerdictFailed, inner);
            return QVPKG_ERR;
        }
        passed.remember(desc);
    }

    // The extension lies inside entry 255 and behind it, so it is checked
    // after the header's own entries: the dummy bin file and the second
    // table, then every extend subfile, each bounded by the mapping. Without
    // this, a package whose extend subfiles are corrupt would pass.
    if (extended) {
        const std::int32_t r = check_extension(base, header.desc(layout::header::kExtEntryIndex),
                                               fileLen, inner, sizeof inner, ranges);
        if (r == QVPKG_ERR_LENGTH) {
            bounded_print(msg, msgSize, kVerdictOutOfFile);
            return QVPKG_ERR_LENGTH;
        }
        if (r != QVPKG_OK) {
            bounded_print(msg, msgSize, kVerdictFailed, inner);
            return QVPKG_ERR;
        }
    }

    bounded_print(msg, msgSize, kVerdictOk);
    return QVPKG_OK;
}

}  // namespace rerazera

RERAZERA_EXPORT int32_t QVPKG_ChkSubFileInfo(const uint8_t *base, uint32_t fileLen, char *msg,
                                             uint32_t msgSize) {
    return rerazera::check_package(base, fileLen, msg, msgSize);
}
