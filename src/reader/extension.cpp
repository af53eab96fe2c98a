// SPDX-License-Identifier: MIT
#include "reader/extension.hpp"

#include <algorithm>

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "base/safe_memory.hpp"
#include "format/big_endian.hpp"
#include "format/crc.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "reader/extension_checks.hpp"
#include "reader/header.hpp"
#include "reader/positioned_read.hpp"

namespace rerazera {
namespace {

constexpr char kHeaderLoadFailed[] = "[RERAZERA]Get QV header from %s unsuccess.\n\n";
constexpr char kNoExtension[] = "[RERAZERA]file number less than %d, no extend subfiles!\n\n";
constexpr char kDummyReadFailed[] = "[RERAZERA]Read extend file not success %d\n\n";
constexpr char kNotExtension[] = "[RERAZERA]This is not extend file: %u, %s\n\n";
constexpr char kTableMallocFailed[] = "[RERAZERA]Malloc buffer not success! \n\n";
constexpr char kTableReadFailed[] = "[RERAZERA]Get subfile from %s not success! \n\n";
constexpr char kTableRefused[] = "[RERAZERA]2nd file desc is not ok: %u %s\n\n";
// A host may hand the table reader a dummy header the dummy bin check would
// refuse; the count is refused with the header count test's text.
constexpr char kFileNumOverLimit[] = "[RERAZERA]File is wrong, file num is over upper limit\n\n";

// Descriptors per piece when the lookup streams the table: the reused buffer
// (about 192 KiB) stays in cache between the read and the CRC and scan.
constexpr std::uint32_t kStreamDescs = 8192;
constexpr std::uint32_t kStreamBody = kStreamDescs * layout::desc::kSize;
constexpr std::uint32_t kStreamBuffer = layout::table::kFileDesc + kStreamBody;

// The table sits right behind the dummy bin header. The sum is formed in 64
// bits: an offset within 352 bytes of 2^32 would otherwise wrap to the start
// of the file. A position that needs more than 32 bits is refused; one of
// 2^31 or more is handed to the read, whose seek refuses it.
bool table_position(const QVFileDesc &extDesc, std::int32_t &position) noexcept {
    const std::uint64_t pos = std::uint64_t{extDesc.offset} + layout::bin::kSize;
    if (pos > UINT32_MAX) {
        return false;
    }
    position = static_cast<std::int32_t>(static_cast<std::uint32_t>(pos));
    return true;
}

// The running state of one pass over a streamed table: the CRC of the bytes
// it covers, the count and stored CRC words, and the first descriptor with
// the wanted ID.
class TableScan {
  public:
    TableScan(std::uint32_t n, std::uint32_t fileId) noexcept
        : crcLen_(static_cast<std::uint32_t>(layout::table::crc_len(n))), fileId_(fileId) {}

    // Takes the table bytes [pos, pos + size). Pieces arrive in order and
    // start at 0 or on a descriptor boundary, so no record is split.
    void take(std::uint32_t pos, const std::uint8_t *data, std::uint32_t size) noexcept {
        const std::uint32_t end = pos + size;
        if (pos == 0 && size >= layout::table::kFileDesc) {
            count_ = load_be32(data + layout::table::kFileNum);
        }
        if (pos < crcLen_) {
            crc_ = crc16_update(crc_, data, std::min(end, crcLen_) - pos);
        }
        if (pos <= crcLen_ && crcLen_ + 4 <= end) {
            storedCrc_ = load_be32(data + (crcLen_ - pos));
        }
        if (!found_) {
            scan(pos, data, std::min(end, crcLen_));
        }
    }

    [[nodiscard]] std::uint32_t count() const noexcept { return count_; }
    [[nodiscard]] std::uint16_t crc() const noexcept { return crc_; }
    [[nodiscard]] std::uint32_t stored_crc() const noexcept { return storedCrc_; }
    [[nodiscard]] bool found() const noexcept { return found_; }
    [[nodiscard]] const QVFileDesc &match() const noexcept { return match_; }

  private:
    void scan(std::uint32_t pos, const std::uint8_t *data, std::uint32_t end) noexcept {
        std::uint32_t at = std::max(pos, layout::table::kFileDesc);
        for (; at + layout::desc::kSize <= end; at += layout::desc::kSize) {
            const std::uint8_t *raw = data + (at - pos);
            if (load_be32(raw + layout::desc::kFileId) == fileId_) {
                match_ = decode_desc(raw);
                found_ = true;
                return;
            }
        }
    }

    std::uint32_t crcLen_;
    std::uint32_t fileId_;
    std::uint32_t count_ = 0;
    std::uint16_t crc_ = 0;
    std::uint32_t storedCrc_ = 0;
    bool found_ = false;
    QVFileDesc match_{};
};

// Passes over the table bytes [0, size) held in memory at table, in the
// pieces a streamed read would take, so that each stays in cache between
// its CRC and its scan.
void scan_held_table(const std::uint8_t *table, std::uint32_t size, TableScan &scan) noexcept {
    std::uint32_t want = kStreamBuffer;
    for (std::uint32_t pos = 0; pos < size;) {
        const std::uint32_t got = std::min(want, size - pos);
        scan.take(pos, table + pos, got);
        pos += got;
        want = kStreamBody;
    }
}

// Steps 5 to 8 of the lookup over a streamed table: what reading the whole
// table with read_second_table, checking it with check_second_table and
// scanning it would do, with the same lines and codes, holding one piece at
// a time. N has passed the dummy bin check. With a held mapping that covers
// the table, the table's bytes come from it and nothing is read again.
std::int32_t stream_second_table(const char *path, const QVFileDesc &extDesc,
                                 const std::uint8_t *dummyHeader, char *msg, std::uint32_t msgSize,
                                 QVFileDesc &fileInfo, std::int32_t fileId,
                                 HeldMapping *held) noexcept {
    const std::uint32_t n = BinHeaderView(dummyHeader).file_num();
    const auto size = static_cast<std::uint32_t>(layout::table::size(n));
    TableScan scan(n, static_cast<std::uint32_t>(fileId));
    std::int32_t position = 0;
    const bool placed = table_position(extDesc, position);
    if (held != nullptr && placed && position >= 0 &&
        std::uint64_t{static_cast<std::uint32_t>(position)} + size <= held->size) {
        const std::uint8_t *table = held->base + position;
        scan_held_table(table, size, scan);
        held->table =
            SummedRange{table, static_cast<std::size_t>(layout::table::crc_len(n)), scan.crc()};
    } else {
        const HeapBuffer piece = HeapBuffer::allocate_zeroed(std::min(size, kStreamBuffer));
        if (!piece) {
            log_info(kTableMallocFailed);
            log_info(kTableReadFailed, path);
            return QVPKG_ERR_EXT_TABLE;
        }
        if (!placed) {
            log_info(kTableReadFailed, path);
            log_info(kTableReadFailed, path);
            return QVPKG_ERR_EXT_TABLE;
        }
        ChunkedRead reader(path, position, size);
        // The first piece carries the 32-byte preamble, later ones whole
        // descriptors only, so every piece after the first starts on a record.
        std::uint32_t want = kStreamBuffer;
        while (reader.status() == QVPKG_OK && reader.remaining() > 0) {
            const std::uint32_t pos = size - reader.remaining();
            const std::uint32_t got = reader.next(piece.data(), want);
            scan.take(pos, piece.data(), got);
            if (got < std::min(want, size - pos)) {
                break;
            }
            want = kStreamBody;
        }
        if (reader.finish() != QVPKG_OK) {
            log_info(kTableReadFailed, path);
            log_info(kTableReadFailed, path);
            return QVPKG_ERR_EXT_TABLE;
        }
    }
    if (const std::int32_t r =
            judge_second_table(n, scan.count(), scan.crc(), scan.stored_crc(), msg, msgSize);
        r != QVPKG_OK) {
        log_info(kTableRefused, static_cast<unsigned>(r), msg);
        return r;
    }
    if (!scan.found()) {
        return QVPKG_ERR;
    }
    memcpy_s(&fileInfo, sizeof fileInfo, &scan.match(), sizeof fileInfo);
    return QVPKG_OK;
}

}  // namespace

std::int32_t extension_entry(const char *path, QVFileDesc &extDesc) noexcept {
    const HeapBuffer header = load_header(path);
    if (!header) {
        log_info(kHeaderLoadFailed, path);
        return QVPKG_ERR_HEADER;
    }
    const HeaderView view(header.data());
    if (view.file_num() < layout::header::kMaxFileNum) {
        log_info(kNoExtension, static_cast<int>(layout::header::kMaxFileNum));
        return QVPKG_ERR_NO_EXTEND;
    }
    const QVFileDesc entry = view.desc(layout::header::kExtEntryIndex);
    memcpy_s(&extDesc, sizeof extDesc, &entry, sizeof entry);
    return QVPKG_OK;
}

HeapBuffer read_second_table(const char *path, const QVFileDesc &extDesc,
                             const std::uint8_t *dummyHeader) noexcept {
    const std::uint32_t n = BinHeaderView(dummyHeader).file_num();
    if (n > layout::table::kMaxFileNum) {
        log_info(kFileNumOverLimit);
        return {};
    }
    const auto size = static_cast<std::uint32_t>(layout::table::size(n));
    HeapBuffer table = HeapBuffer::allocate_zeroed(size);
    if (!table) {
        log_info(kTableMallocFailed);
        return {};
    }
    std::int32_t position = 0;
    if (!table_position(extDesc, position) ||
        read_file_by_offset(path, position, table.data(), size) != QVPKG_OK) {
        log_info(kTableReadFailed, path);
        return {};
    }
    return table;
}

std::int32_t find_extend_file(const char *path, QVFileDesc &fileInfo, std::int32_t fileId,
                              HeldMapping *held) noexcept {
    std::uint8_t dummy[layout::bin::kSize];
    char msg[layout::kMsgBufLen];
    memset_s(dummy, sizeof dummy, 0, sizeof dummy);
    memset_s(msg, sizeof msg, 0, sizeof msg);

    QVFileDesc extDesc{};
    if (const std::int32_t r = extension_entry(path, extDesc); r != QVPKG_OK) {
        return r;
    }
    if (const std::int32_t r = read_file_by_offset(path, static_cast<std::int32_t>(extDesc.offset),
                                                   dummy, sizeof dummy);
        r != QVPKG_OK) {
        log_info(kDummyReadFailed, r);
        return r;
    }
    if (const std::int32_t r = check_dummy_bin(extDesc, dummy, msg, sizeof msg); r != QVPKG_OK) {
        log_info(kNotExtension, static_cast<unsigned>(r), msg);
        return r;
    }
    return stream_second_table(path, extDesc, dummy, msg, sizeof msg, fileInfo, fileId, held);
}

}  // namespace rerazera

RERAZERA_EXPORT int32_t QVPKG_isExtendFileExist(const char *path, QVFileDesc *extDesc) {
    return rerazera::extension_entry(path, *extDesc);
}

RERAZERA_EXPORT SecondFileDescTable *QVPKG_Get2ndFileDescContent(const char *path,
                                                                 const QVFileDesc *extDesc,
                                                                 const BinHeader *dummyHeader) {
    return reinterpret_cast<SecondFileDescTable *>(
        rerazera::read_second_table(path, *extDesc, reinterpret_cast<const uint8_t *>(dummyHeader))
            .release());
}

RERAZERA_EXPORT int32_t QVPKG_GetQVExtFileInfo(const char *path, QVFileDesc *fileInfo,
                                               int32_t fileId) {
    return rerazera::find_extend_file(path, *fileInfo, fileId);
}
