// SPDX-License-Identifier: MIT
// Verification through a handle: the whole-package verdict of the one-call
// check, and the per-entry report.
#include <algorithm>
#include <cstring>

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "format/layout.hpp"
#include "package/entry_check.hpp"
#include "package/handle.hpp"
#include "package/log_sink.hpp"
#include "verify/check_entry.hpp"
#include "verify/mapping.hpp"
#include "verify/range_crc.hpp"
#include "verify/walk.hpp"

namespace rerazera::package {
namespace {

constexpr char kNameHasAt[] = "Info: V5 packet name can't contain character '@'!\n";
constexpr char kMemoryName[] = "(memory)";
constexpr char kEntryFailed[] = "[RERAZERA]entry %u of table %u (file ID 0x%x): %s\n";

void copy_msg(char *msg, std::size_t msgSize, const char *text) noexcept {
    if (msg == nullptr || msgSize == 0) {
        return;
    }
    const std::size_t n = std::min(std::strlen(text), msgSize - 1);
    std::memcpy(msg, text, n);
    msg[n] = '\0';
}

std::int32_t walk(const rerazera_package &pkg, char *verdict) noexcept {
    // The name rule first, as the one-call check makes it: only a package
    // that does not list the rpg file is bound by it.
    if (pkg.path != nullptr && std::strchr(pkg.path, '@') != nullptr && !lists_rpg_file(pkg)) {
        copy_msg(verdict, layout::kMsgBufLen, kNameHasAt);
        log_info(kInvalidName, pkg.path);
        return QVPKG_ERR_NAME;
    }
    const PageFeeder feeder(pkg.mapping);
    const std::int32_t r =
        check_package(pkg.data, pkg.size, verdict, static_cast<std::uint32_t>(layout::kMsgBufLen),
                      pkg.feeder_or_null(feeder), CrcMode::Auto, &pkg.table_sum);
    if (r != QVPKG_OK) {
        // One line for the log: the verdict's lines joined.
        char line[layout::kMsgBufLen];
        copy_msg(line, sizeof line, verdict);
        for (char *c = line; *c != '\0'; ++c) {
            if (*c == '\n' && c[1] != '\0') {
                *c = ' ';
            }
        }
        log_info(kWalkFailed, pkg.path != nullptr ? pkg.path : kMemoryName, line);
    }
    return r;
}

void log_entry(const rerazera_entry_report &rep) noexcept {
    if (rep.ok == 0) {
        log_info(kEntryFailed, rep.entry.index, rep.entry.table, rep.entry.file_id,
                 rerazera_reason_name(rep.reason));
    }
}

}  // namespace
}  // namespace rerazera::package

using namespace rerazera;
using namespace rerazera::package;

RERAZERA_EXPORT int32_t rerazera_package_verify(const rerazera_package *pkg, char *msg,
                                                size_t msg_size, int32_t *qvpkg_result) {
    if (pkg == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    const ScopedLogSink sink(pkg->log, pkg->log_ctx);
    char verdict[layout::kMsgBufLen] = {};
    const std::int32_t r = walk(*pkg, verdict);
    copy_msg(msg, msg_size, verdict);
    if (qvpkg_result != nullptr) {
        *qvpkg_result = r;
    }
    if (r == QVPKG_OK) {
        return RERAZERA_OK;
    }
    return r == QVPKG_ERR_NAME ? RERAZERA_ERR_NAME_RULE : RERAZERA_ERR_CORRUPT;
}

RERAZERA_EXPORT int32_t rerazera_package_report(const rerazera_package *pkg, rerazera_report_fn fn,
                                                void *ctx) {
    if (pkg == nullptr || fn == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    const ScopedLogSink sink(pkg->log, pkg->log_ctx);
    const PageFeeder feeder(pkg->mapping);
    RangeCrc ranges(pkg->data, pkg->size, pkg->feeder_or_null(feeder));
    if (pkg->table_sum.p != nullptr) {
        ranges.seed(pkg->table_sum.p, pkg->table_sum.n, pkg->table_sum.crc);
    }
    bool allOk = true;
    rerazera_entry_report rep;
    for (std::uint64_t k = 0; k < pkg->info.entry_count; ++k) {
        // Entries that repeat their predecessor's descriptor (many extension
        // entries over one sub-file) get its report under their own index.
        if (repeats_previous(*pkg, k)) {
            ++rep.entry.index;
        } else {
            rerazera_entry e;
            fill_entry(*pkg, k, e);
            check_entry_bytes(*pkg, e, rep, ranges);
        }
        log_entry(rep);
        allOk = allOk && rep.ok != 0;
        if (fn(ctx, &rep) != 0) {
            return RERAZERA_ERR_STOPPED;
        }
    }
    return allOk ? RERAZERA_OK : RERAZERA_ERR_CORRUPT;
}

RERAZERA_EXPORT int32_t rerazera_package_check_entry(const rerazera_package *pkg,
                                                     const rerazera_entry *entry,
                                                     rerazera_entry_report *out) {
    rerazera_entry own;
    if (pkg == nullptr || entry == nullptr || out == nullptr || !own_entry(*pkg, *entry, own)) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    const ScopedLogSink sink(pkg->log, pkg->log_ctx);
    const PageFeeder feeder(pkg->mapping);
    RangeCrc ranges(pkg->data, pkg->size, pkg->feeder_or_null(feeder));
    check_entry_bytes(*pkg, own, *out, ranges);
    log_entry(*out);
    return out->ok != 0 ? RERAZERA_OK : RERAZERA_ERR_CORRUPT;
}
