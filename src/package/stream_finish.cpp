// SPDX-License-Identifier: MIT
// The end of a stream: the second pass over a seekable descriptor for the
// entries that one pass could not settle, the reports of the entries that
// never ended, and the whole-package verdict.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/heap_buffer.hpp"
#include "format/crc.hpp"
#include "format/crc_combine.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "package/log_sink.hpp"
#include "package/stream.hpp"
#include "reader/extension_checks.hpp"
#include "reader/header.hpp"
#include "verify/extension_check.hpp"
#include "verify/mapping.hpp"
#include "verify/subfile_check.hpp"
#include "verify/walk.hpp"

namespace rerazera::stream {
namespace {

constexpr std::uint32_t kBin = layout::bin::kSize;
constexpr std::size_t kSweepBuffer = std::size_t{1} << 20;

bool read_at(int fd, std::uint64_t at, std::uint8_t *out, std::size_t n) noexcept {
    while (n > 0) {
        const ssize_t got = ::pread(fd, out, n, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        out += got;
        at += static_cast<std::uint64_t>(got);
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

SubfileFault fault_of(std::uint8_t reason) noexcept {
    switch (reason) {
        case RERAZERA_REASON_TOO_SHORT:
            return SubfileFault::kTooShort;
        case RERAZERA_REASON_HEADER_CRC:
            return SubfileFault::kHeadCrc;
        case RERAZERA_REASON_PAYLOAD_OVERRUN:
            return SubfileFault::kPayloadPastEnd;
        case RERAZERA_REASON_PAYLOAD_CRC:
            return SubfileFault::kPayloadCrc;
        default:
            return SubfileFault::kNone;
    }
}

// A point of the sweep: (position << 23) | (id << 1) | end-of-payload.
constexpr std::uint64_t point(std::uint64_t pos, std::uint32_t id, bool end) noexcept {
    return (pos << 23) | (std::uint64_t{id} << 1) | (end ? 1u : 0u);
}

}  // namespace

// Pending entries are read again: each bin header with pread(), and the
// running CRC at every payload's two ends in one sweep over the bytes from
// the start, whatever the entries overlap.
std::int32_t Verifier::second_pass(int fd) noexcept {
    // No more bytes come: the events and captures make room for the sweep.
    heap_.release();
    capturing_.release();
    Array<std::uint64_t> points;
    if (!points.reserve(2 * static_cast<std::size_t>(pendingCount_))) {
        return RERAZERA_ERR_NO_MEMORY;
    }
    std::uint8_t bin[kBin];
    for (std::uint32_t id = 0; id < entry_count(); ++id) {
        EntryState &e = entries_[id];
        if (e.phase != kPending) {
            continue;
        }
        const QVFileDesc d = desc(id);
        if (std::uint64_t{d.offset} + d.length > pos_) {
            e.phase = kWaitEnd;  // out of bounds: settled below
            continue;
        }
        if (!read_at(fd, d.offset, bin, kBin)) {
            return RERAZERA_ERR_IO;
        }
        const BinHeaderView view(bin);
        e.computed |= RERAZERA_REPORT_HEAD_CRC;
        e.headOk = crc_word_matches(view.head_crc(),
                                    crc16(bin + layout::bin::kCrcStart, layout::bin::kCrcLen));
        if (e.headOk == 0) {
            e.reason = RERAZERA_REASON_HEADER_CRC;
        } else if (std::uint64_t{kBin} + view.data_len() > d.length) {
            e.reason = RERAZERA_REASON_PAYLOAD_OVERRUN;
        } else {
            const std::uint64_t start = std::uint64_t{d.offset} + kBin;
            if (!points.push(point(start, id, false)) ||
                !points.push(point(start + view.data_len(), id, true))) {
                return RERAZERA_ERR_NO_MEMORY;
            }
            e.computed |= RERAZERA_REPORT_CRC;
        }
    }
    std::sort(points.data(), points.data() + points.size());
    if (points.size() > 0) {
        HeapBuffer buffer = HeapBuffer::allocate(kSweepBuffer);
        if (!buffer) {
            return RERAZERA_ERR_NO_MEMORY;
        }
        std::uint64_t at = 0;
        std::uint16_t crc = 0;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const std::uint64_t target = points[i] >> 23;
            while (at < target) {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(target - at, kSweepBuffer));
                if (!read_at(fd, at, buffer.data(), n)) {
                    return RERAZERA_ERR_IO;
                }
                crc = crc16_update(crc, buffer.data(), n);
                at += n;
            }
            const auto id = static_cast<std::uint32_t>((points[i] >> 1) & ((1u << 22) - 1));
            if ((points[i] & 1u) != 0) {
                entries_[id].payloadCrc = crc;
            } else {
                entries_[id].payloadStart = crc;
            }
        }
    }
    for (std::uint32_t id = 0; id < entry_count(); ++id) {
        EntryState &e = entries_[id];
        if (e.phase != kPending) {
            continue;
        }
        const QVFileDesc d = desc(id);
        if (!read_at(fd, d.offset, bin, kBin)) {
            return RERAZERA_ERR_IO;
        }
        if ((e.computed & RERAZERA_REPORT_CRC) != 0) {
            const std::uint32_t dataLen = BinHeaderView(bin).data_len();
            e.payloadCrc = crc16_between(e.payloadStart, e.payloadCrc, dataLen);
            e.reason = crc_word_matches(d.crc, e.payloadCrc) ? RERAZERA_REASON_OK
                                                             : RERAZERA_REASON_PAYLOAD_CRC;
        }
        --pendingCount_;
        rerazera_entry_report report;
        e.phase = kSettled;
        fill_report(id, bin, &report);
        emit(report);
    }
    return RERAZERA_OK;
}

std::int32_t Verifier::verdict(char *msg, std::size_t msgSize) noexcept {
    const ScopedLogSink sink(options_.log, options_.log_ctx);
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(msgSize, UINT32_MAX));
    if (tooLarge_ || refuse_length(pos_, msg, size)) {
        if (tooLarge_) {
            (void)refuse_length(std::uint64_t{kMaxStream} + 1, msg, size);
        }
        return QVPKG_ERR;
    }
    char inner[layout::kMsgBufLen];
    std::memset(inner, 0, sizeof inner);
    if (!headerOk_) {
        (void)check_header(header_);  // logs its reason
        return print_walk_verdict(WalkVerdict::kHeaderRefused, inner, msg, size);
    }
    const auto judge = [&](std::uint32_t id) -> int {
        const QVFileDesc d = desc(id);
        if (std::uint64_t{d.offset} + d.length > pos_) {
            return print_walk_verdict(WalkVerdict::kOutOfFile, inner, msg, size);
        }
        if (report_subfile_fault(fault_of(entries_[id].reason), d, inner, sizeof inner) !=
            QVPKG_OK) {
            return print_walk_verdict(WalkVerdict::kFailed, inner, msg, size);
        }
        return 1;
    };
    const std::uint32_t n = HeaderView(header_).file_num();
    for (std::uint32_t i = 0; i < n; ++i) {
        if (const int r = judge(i); r != 1) {
            return r;
        }
    }
    if (has_extension()) {
        const QVFileDesc ext = HeaderView(header_).desc(255);
        if (std::uint64_t{ext.offset} + kBin > pos_) {
            return print_walk_verdict(WalkVerdict::kOutOfFile, inner, msg, size);
        }
        if (const std::int32_t r = check_dummy_bin(ext, dummy_, inner, sizeof inner);
            r != QVPKG_OK) {
            log_extension_refusal(false, r, inner);
            return print_walk_verdict(WalkVerdict::kFailed, inner, msg, size);
        }
        const std::uint32_t count = BinHeaderView(dummy_).file_num();
        if (std::uint64_t{ext.offset} + kBin + layout::table::size(count) > pos_) {
            return print_walk_verdict(WalkVerdict::kOutOfFile, inner, msg, size);
        }
        const auto crcLen = static_cast<std::size_t>(layout::table::crc_len(count));
        if (const std::int32_t r = judge_second_table(
                count, load_be32(table_.data() + layout::table::kFileNum), tableCrc_,
                load_be32(table_.data() + crcLen), inner, sizeof inner);
            r != QVPKG_OK) {
            log_extension_refusal(true, r, inner);
            return print_walk_verdict(WalkVerdict::kFailed, inner, msg, size);
        }
        for (std::uint32_t j = 0; j < count; ++j) {
            if (const int r = judge(kHeaderEntries + j); r != 1) {
                return r;
            }
        }
    }
    return print_walk_verdict(WalkVerdict::kOk, inner, msg, size);
}

std::int32_t Verifier::finish(int seekFd, char *msg, std::size_t msgSize,
                              std::int32_t *qvpkgResult) noexcept {
    // Pending entries that end inside the stream need their bytes again.
    bool needed = false;
    for (std::uint32_t id = 0; id < entry_count() && pendingCount_ > 0; ++id) {
        const QVFileDesc d = desc(id);
        needed = needed ||
                 (entries_[id].phase == kPending && std::uint64_t{d.offset} + d.length <= pos_);
    }
    if (needed && !tooLarge_) {
        if (seekFd < 0) {
            return RERAZERA_ERR_NEEDS_SECOND_PASS;
        }
        if (const std::int32_t r = second_pass(seekFd); r != RERAZERA_OK) {
            finished_ = true;  // the sweep gave up what feeding needs
            return r;
        }
    }
    finished_ = true;
    // Entries that never ended lie past the end of the stream.
    for (std::uint32_t id = 0; id < entry_count(); ++id) {
        EntryState &e = entries_[id];
        if (e.phase < kSettled || e.phase == kPending) {
            e.reason = RERAZERA_REASON_OUT_OF_BOUNDS;
            e.computed = 0;
            const bool held = e.slot != UINT32_MAX && e.phase >= kWaitPayload;
            rerazera_entry_report report;
            fill_report(id, held ? slot_bytes(e.slot) : nullptr, &report);
            e.phase = kSettled;
            emit(report);
        }
    }
    const std::int32_t code = verdict(msg, msgSize);
    if (qvpkgResult != nullptr) {
        *qvpkgResult = code;
    }
    return code == QVPKG_OK ? RERAZERA_OK : RERAZERA_ERR_CORRUPT;
}

}  // namespace rerazera::stream
