// SPDX-License-Identifier: MIT
// Byte layout of the package records: every size and field offset as a
// named constant, checked against the public record types.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rerazera.h"

namespace rerazera::layout {

// Package header (QVHeader), at file offset 0.
namespace header {
inline constexpr std::uint32_t kSize = QVPKG_HEADER_SIZE;
inline constexpr std::uint32_t kFileNum = 4;
inline constexpr std::uint32_t kProductType = 30;
inline constexpr std::uint32_t kFileDesc = 32;
inline constexpr std::uint32_t kCrcLen = QVPKG_HEADER_CRC_LEN;  // bytes covered by headerCrc
inline constexpr std::uint32_t kHeaderCrc = 6176;
inline constexpr std::uint32_t kMaxFileNum = QVPKG_MAX_FILE_NUM;
inline constexpr std::uint32_t kExtEntryIndex = 255;  // entry that may be the dummy bin file
}  // namespace header

// One raw file descriptor: six big-endian words.
namespace desc {
inline constexpr std::uint32_t kSize = 24;
inline constexpr std::uint32_t kFileId = 0;
inline constexpr std::uint32_t kOffset = 4;
inline constexpr std::uint32_t kLength = 8;
inline constexpr std::uint32_t kCrc = 12;
inline constexpr std::uint32_t kAux0 = 16;
inline constexpr std::uint32_t kAux1 = 20;
}  // namespace desc

// Bin header (BinHeader), at the start of every sub-file.
namespace bin {
inline constexpr std::uint32_t kSize = BIN_HEADER_SIZE;
inline constexpr std::uint32_t kHeadCrc = 4;
inline constexpr std::uint32_t kCrcStart = 8;  // headCrc covers bytes 8..351
inline constexpr std::uint32_t kCrcLen = BIN_HEADER_CRC_LEN;
inline constexpr std::uint32_t kFileId = 8;
inline constexpr std::uint32_t kFileNum = 16;
inline constexpr std::uint32_t kDesc = 116;
inline constexpr std::uint32_t kDescSize = 128;
inline constexpr std::uint32_t kName = 244;
inline constexpr std::uint32_t kNameSize = 96;
inline constexpr std::uint32_t kDataLen = 340;
}  // namespace bin

// Second descriptor table (SecondFileDescTable), the dummy bin file's payload.
namespace table {
inline constexpr std::uint32_t kFileNum = 4;
inline constexpr std::uint32_t kFileDesc = 32;
inline constexpr std::uint32_t kMaxFileNum = EXT_MAX_FILE_NUM;
// Bytes covered by tableCrc; tableCrc itself follows them.
constexpr std::uint64_t crc_len(std::uint64_t n) noexcept {
    return kFileDesc + n * desc::kSize;
}
constexpr std::uint64_t size(std::uint64_t n) noexcept {
    return crc_len(n) + 4;
}
}  // namespace table

inline constexpr std::uint32_t kDummyDescFileId = DUMMY_DESC_FILE_ID;
inline constexpr std::uint32_t kDummyBinFileId = DUMMY_BIN_FILE_ID;
inline constexpr std::uint32_t kRpgFileId = 0xFF005638u;
inline constexpr std::size_t kMsgBufLen = QVPKG_MSG_BUF_LEN;

static_assert(offsetof(QVHeader, fileNum) == header::kFileNum);
static_assert(offsetof(QVHeader, productType) == header::kProductType);
static_assert(offsetof(QVHeader, fileDesc) == header::kFileDesc);
static_assert(offsetof(QVHeader, headerCrc) == header::kHeaderCrc);
static_assert(header::kFileDesc + header::kMaxFileNum * desc::kSize == header::kHeaderCrc);
static_assert(offsetof(BinHeader, headCrc) == bin::kHeadCrc);
static_assert(offsetof(BinHeader, fileId) == bin::kFileId);
static_assert(offsetof(BinHeader, fileNum) == bin::kFileNum);
static_assert(offsetof(BinHeader, desc) == bin::kDesc);
static_assert(offsetof(BinHeader, name) == bin::kName);
static_assert(offsetof(BinHeader, dataLen) == bin::kDataLen);
static_assert(bin::kDesc + bin::kDescSize == bin::kName);
static_assert(bin::kName + bin::kNameSize == bin::kDataLen);
static_assert(bin::kCrcStart + bin::kCrcLen == bin::kSize);
static_assert(offsetof(SecondFileDescTable, fileNum) == table::kFileNum);
static_assert(offsetof(SecondFileDescTable, fileDesc) == table::kFileDesc);
static_assert(table::size(EXT_MAX_FILE_NUM) == 25'165'836);
static_assert(static_cast<std::uint32_t>(RPG_FILE_ID) == kRpgFileId);

}  // namespace rerazera::layout
