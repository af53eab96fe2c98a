// SPDX-License-Identifier: MIT
// A package handle's verdict and the streaming verifier's, against the
// whole-file check. A handle over the path or over the bytes must give
// QVPKG_ChkQVFileInfo's code and text. The stream cuts the package at points
// drawn from the input's prefix and feeds it piece by piece, with a
// checkpoint taken and resumed at one of the cuts; its final code and text
// must be the same, and each entry must be reported once, with the verdict
// the per-entry report of a handle over the same bytes gives it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "harness.hpp"
#include "rerazera/package.h"

namespace {

using Key = std::pair<std::uint32_t, std::uint32_t>;  // table, index
using Reports = std::map<Key, rerazera_entry_report>;

struct Events {
    Reports seen;
    bool twice = false;
};

int collect(void *ctx, const rerazera_entry_report *r) {
    auto *events = static_cast<Events *>(ctx);
    events->twice =
        events->twice || !events->seen.emplace(Key{r->entry.table, r->entry.index}, *r).second;
    return 0;
}

int collect_report(void *ctx, const rerazera_entry_report *r) {
    static_cast<Reports *>(ctx)->emplace(Key{r->entry.table, r->entry.index}, *r);
    return 0;
}

// The verdict fields of two reports of one entry.
bool same_verdict(const rerazera_entry_report &s, const rerazera_entry_report &w) {
    const rerazera_entry &a = s.entry;
    const rerazera_entry &b = w.entry;
    bool same = s.reason == w.reason && s.ok == w.ok && s.computed == w.computed &&
                s.crc_stored == w.crc_stored && a.file_id == b.file_id && a.offset == b.offset &&
                a.length == b.length && a.crc == b.crc && a.aux0 == b.aux0 && a.aux1 == b.aux1 &&
                (a.flags & RERAZERA_ENTRY_DUMMY) == (b.flags & RERAZERA_ENTRY_DUMMY);
    if ((s.computed & RERAZERA_REPORT_HEAD_CRC) != 0) {
        same = same && s.head_crc_stored == w.head_crc_stored &&
               s.head_crc_computed == w.head_crc_computed;
    }
    if ((s.computed & RERAZERA_REPORT_CRC) != 0) {
        same = same && s.crc_computed == w.crc_computed;
    }
    if ((a.flags & RERAZERA_ENTRY_BIN_HEADER) != 0) {
        same = same && (b.flags & RERAZERA_ENTRY_BIN_HEADER) != 0 && a.data_len == b.data_len &&
               a.bin_file_id == b.bin_file_id && std::strcmp(a.name, b.name) == 0 &&
               std::strcmp(a.description, b.description) == 0;
    }
    return same;
}

// Deterministic cut points from the prefix's key.
struct Cuts {
    explicit Cuts(std::uint32_t seed, unsigned bits) : state(seed | 1u), mask((1u << bits) - 1) {}
    std::size_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return 1 + (state & mask);
    }
    std::uint32_t state;
    std::uint32_t mask;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    rzfuzz::Prefix prefix;
    std::vector<std::uint8_t> pkg;
    if (!rzfuzz::take_package(data, size, prefix, pkg)) {
        return 0;
    }
    const std::string path = rzfuzz::put_file("stream.qv", pkg);
    char whole[QVPKG_MSG_BUF_LEN] = {};
    const std::int32_t expected = QVPKG_ChkQVFileInfo(path.c_str(), whole, sizeof whole);

    // A handle's verdict is the one-call check's: from the path with the
    // name rule, from memory without it.
    Reports report;
    rerazera_package *handle = nullptr;
    char text[QVPKG_MSG_BUF_LEN] = {};
    std::int32_t code = 99;
    if (rerazera_package_open_path(path.c_str(), nullptr, &handle) == RERAZERA_OK) {
        (void)rerazera_package_verify(handle, text, sizeof text, &code);
        rzfuzz::expect(code == expected && std::strcmp(text, whole) == 0,
                       "a path handle's verdict differs from the whole-file check");
        rerazera_package_free(handle);
    }
    if (rerazera_package_open_memory(pkg.data(), pkg.size(), nullptr, &handle) == RERAZERA_OK) {
        if (expected != QVPKG_ERR_NAME) {
            code = 99;
            (void)rerazera_package_verify(handle, text, sizeof text, &code);
            rzfuzz::expect(code == expected && std::strcmp(text, whole) == 0,
                           "a memory handle's verdict differs from the whole-file check");
        }
        (void)rerazera_package_report(handle, collect_report, &report);
        rerazera_package_free(handle);
    }

    // Pieces of 1 to 2^bits bytes; all at once when small is 0.
    Events events;
    const rerazera_stream_options options{collect, &events, nullptr, nullptr};
    rerazera_stream *stream = nullptr;
    rzfuzz::expect(rerazera_stream_new(&options, &stream) == RERAZERA_OK, "no stream");
    Cuts cuts(prefix.key, prefix.small % 21);
    const std::size_t resumeAfter = prefix.pick;  // pieces before the checkpoint
    std::size_t pieces = 0;
    for (std::size_t at = 0; at < pkg.size(); ++pieces) {
        if (pieces == resumeAfter) {
            void *state = nullptr;
            std::size_t stateLen = 0;
            rzfuzz::expect(rerazera_stream_checkpoint(stream, &state, &stateLen) == RERAZERA_OK,
                           "no checkpoint");
            rerazera_stream_free(stream);
            stream = nullptr;
            rzfuzz::expect(
                rerazera_stream_resume(state, stateLen, &options, &stream) == RERAZERA_OK,
                "own checkpoint refused");
            std::free(state);
            rzfuzz::expect(rerazera_stream_offset(stream) == at, "resumed at another offset");
        }
        const std::size_t n =
            prefix.small == 0 ? pkg.size() : std::min(cuts.next(), pkg.size() - at);
        rzfuzz::expect(rerazera_stream_feed(stream, pkg.data() + at, n) == RERAZERA_OK,
                       "feed failed");
        at += n;
    }
    rzfuzz::expect(rerazera_stream_offset(stream) == pkg.size(), "bytes went missing");

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    rzfuzz::expect(fd >= 0, "cannot reopen the package");
    char msg[QVPKG_MSG_BUF_LEN] = {};
    code = 99;
    const std::int32_t r = rerazera_stream_finish(stream, fd, msg, sizeof msg, &code);
    ::close(fd);
    rerazera_stream_free(stream);

    rzfuzz::expect(r == (expected == QVPKG_OK ? RERAZERA_OK : RERAZERA_ERR_CORRUPT),
                   "stream result differs from the verdict");
    rzfuzz::expect(code == expected, "stream code differs from the whole-file check");
    rzfuzz::expect(std::strcmp(msg, whole) == 0, "stream text differs from the whole-file check");
    rzfuzz::expect(!events.twice, "an entry was reported twice");
    rzfuzz::expect(events.seen.size() == report.size(), "stream and report list other entries");
    for (const auto &[key, rep] : report) {
        const auto it = events.seen.find(key);
        rzfuzz::expect(it != events.seen.end(), "an entry was never reported");
        rzfuzz::expect(same_verdict(it->second, rep), "an entry's verdict differs");
    }
    return 0;
}
