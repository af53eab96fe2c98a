// SPDX-License-Identifier: MIT
#include "verify/subfile_check.hpp"

#include <cstdint>

#include "base/c_boundary.hpp"
#include "base/safe_memory.hpp"
#include "format/crc.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"

namespace rerazera {
namespace {

constexpr char kShorterThanHead[] = "File length is less than head size, %d\n";
constexpr char kHeadCrcBad[] = "head crc is not correct. fileID =0x%x\n";
// A bin header whose dataLen claims more bytes than its sub-file holds would
// have the payload checksum read whatever follows the sub-file, up to the
// end of the mapping and beyond; it is refused before any payload byte is
// read.
constexpr char kPayloadPastEnd[] = "data length is over file length. fileID =0x%x\n";
constexpr char kFileCrcBad[] = "file crc is not correct. fileID =0x%x\n";

// The checksum's count is a signed 32-bit value: a count of 2 GiB or more
// sums nothing and yields 0, as QVPKG_MakeCrcCheckSum does.
std::uint16_t payload_crc(const std::uint8_t *payload, std::uint32_t dataLen,
                          RangeCrc &ranges) noexcept {
    if (dataLen > static_cast<std::uint32_t>(INT32_MAX)) {
        return 0;
    }
    return ranges.crc(payload, dataLen);
}

}  // namespace

std::int32_t check_subfile(const std::uint8_t *subFile, const QVFileDesc &desc, char *msg,
                           std::uint32_t msgSize, const PageFeeder *feeder) noexcept {
    // One sub-file: every range is summed once at most, directly.
    RangeCrc ranges(subFile, desc.length, feeder, CrcMode::Direct);
    return check_subfile(subFile, desc, msg, msgSize, ranges);
}

std::int32_t check_subfile(const std::uint8_t *subFile, const QVFileDesc &desc, char *msg,
                           std::uint32_t msgSize, RangeCrc &ranges) noexcept {
    if (desc.length == 0) {
        return QVPKG_OK;  // an empty entry: nothing to read
    }
    if (desc.length < layout::bin::kSize) {
        bounded_print(msg, msgSize, kShorterThanHead, static_cast<int>(desc.length));
        return QVPKG_ERR;
    }
    const BinHeaderView bin(subFile);
    const std::uint16_t headCrc =
        ranges.crc(subFile + layout::bin::kCrcStart, layout::bin::kCrcLen);
    if (!crc_word_matches(bin.head_crc(), headCrc)) {
        bounded_print(msg, msgSize, kHeadCrcBad, desc.fileId);
        return QVPKG_ERR;
    }
    const std::uint32_t dataLen = bin.data_len();
    if (std::uint64_t{layout::bin::kSize} + dataLen > desc.length) {
        bounded_print(msg, msgSize, kPayloadPastEnd, desc.fileId);
        return QVPKG_ERR;
    }
    if (!crc_word_matches(desc.crc, payload_crc(subFile + layout::bin::kSize, dataLen, ranges))) {
        bounded_print(msg, msgSize, kFileCrcBad, desc.fileId);
        return QVPKG_ERR;
    }
    return QVPKG_OK;
}

}  // namespace rerazera

RERAZERA_EXPORT int32_t QVPKG_ChkSubfile(const uint8_t *subFile, const QVFileDesc *subDesc,
                                         char *msg, uint32_t msgSize) {
    return rerazera::check_subfile(subFile, *subDesc, msg, msgSize);
}
