// SPDX-License-Identifier: MIT
// Extraction of an entry to a sink, straight from the snapshot.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "format/crc.hpp"
#include "format/layout.hpp"
#include "package/entry_check.hpp"
#include "package/handle.hpp"
#include "package/log_sink.hpp"

namespace rerazera::package {
namespace {

// The largest piece handed to a sink at once.
constexpr std::size_t kPiece = std::size_t{1} << 20;

constexpr char kExtractRefused[] = "[RERAZERA]extract entry %u of table %u (file ID 0x%x): %s\n";

struct FdSink {
    int fd;
};

int write_fd(void *ctx, const void *data, std::size_t len) {
    const int fd = static_cast<FdSink *>(ctx)->fd;
    const auto *p = static_cast<const std::uint8_t *>(data);
    while (len > 0) {
        const ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return -1;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

int32_t refuse(const rerazera_entry &e, std::uint32_t reason) noexcept {
    log_info(kExtractRefused, e.index, e.table, e.file_id, rerazera_reason_name(reason));
    return RERAZERA_ERR_CORRUPT;
}

int32_t extract(const rerazera_package &pkg, const rerazera_entry &e, std::uint32_t flags,
                rerazera_write_fn write, void *ctx) noexcept {
    const bool check = (flags & RERAZERA_EXTRACT_NO_CHECK) == 0;
    const bool strip = (flags & RERAZERA_EXTRACT_STRIP) != 0;
    rerazera_entry_report rep;
    const std::uint32_t head = check_entry_head(pkg, e, rep);
    if (head == RERAZERA_REASON_OUT_OF_BOUNDS || head == RERAZERA_REASON_EMPTY ||
        (strip && head == RERAZERA_REASON_TOO_SHORT)) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    if (check && head != RERAZERA_REASON_OK) {
        return refuse(e, head);
    }
    // Unchecked, a payload must still fit its entry to be stripped.
    if (strip && std::uint64_t{layout::bin::kSize} + e.data_len > e.length) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    if (check && (flags & RERAZERA_EXTRACT_VERIFY_FIRST) != 0) {
        const PageFeeder feeder(pkg.mapping);
        RangeCrc ranges(pkg.data, pkg.size, pkg.feeder_or_null(feeder));
        check_entry_bytes(pkg, e, rep, ranges);
        if (rep.ok == 0) {
            return refuse(e, rep.reason);
        }
    }
    const bool crcWhileCopying = check && (flags & RERAZERA_EXTRACT_VERIFY_FIRST) == 0;

    const std::uint8_t *sub = pkg.data + e.offset;
    const std::uint8_t *payload = sub + layout::bin::kSize;
    // Unchecked, a bin header whose checksum fails still says where its
    // payload ends, as long as that payload fits the entry.
    const bool fits = e.length >= layout::bin::kSize &&
                      std::uint64_t{layout::bin::kSize} + e.data_len <= e.length;
    const std::uint8_t *payloadEnd = payload + (fits ? e.data_len : 0);
    const std::uint8_t *p = strip ? payload : sub;
    const std::uint8_t *end = strip ? payloadEnd : sub + e.length;
    std::uint16_t crc = 0;
    // A mapped file's pages are mapped in a piece at a time, one system
    // call instead of a fault every few pages.
    const PageFeeder pieceFeeder(pkg.mapping);
    const PageFeeder *feeder = pkg.feeder_or_null(pieceFeeder);
    // Payload bytes before the copied range (none: it starts at or before
    // the payload) are summed as the copy reaches them.
    while (p < end) {
        const std::size_t n = std::min<std::size_t>(kPiece, static_cast<std::size_t>(end - p));
        if (feeder != nullptr) {
            feeder->feed(p, n);
        }
        if (crcWhileCopying) {
            const std::uint8_t *a = std::max(p, payload);
            const std::uint8_t *b = std::min(p + n, payloadEnd);
            if (a < b) {
                crc = crc16_update(crc, a, static_cast<std::size_t>(b - a));
            }
        }
        if (write(ctx, p, n) != 0) {
            return RERAZERA_ERR_SINK;
        }
        release_pages(pkg, p, n);
        p += n;
    }
    if (crcWhileCopying && !crc_word_matches(e.crc, crc)) {
        return refuse(e, RERAZERA_REASON_PAYLOAD_CRC);
    }
    return RERAZERA_OK;
}

}  // namespace
}  // namespace rerazera::package

using namespace rerazera;
using namespace rerazera::package;

RERAZERA_EXPORT int32_t rerazera_package_extract(const rerazera_package *pkg,
                                                 const rerazera_entry *entry, uint32_t flags,
                                                 rerazera_write_fn write, void *ctx) {
    rerazera_entry own;
    if (pkg == nullptr || entry == nullptr || write == nullptr || !own_entry(*pkg, *entry, own)) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    const ScopedLogSink sink(pkg->log, pkg->log_ctx);
    return extract(*pkg, own, flags, write, ctx);
}

RERAZERA_EXPORT int32_t rerazera_package_extract_fd(const rerazera_package *pkg,
                                                    const rerazera_entry *entry, uint32_t flags,
                                                    int fd) {
    if (fd < 0) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    FdSink sink{fd};
    return rerazera_package_extract(pkg, entry, flags, write_fd, &sink);
}
