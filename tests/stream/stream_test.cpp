// SPDX-License-Identifier: MIT
// The streaming verifier: every chunking, checkpoint and layout gives the
// verdict QVPKG_ChkQVFileInfo gives for the same bytes, and the same events.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>

#include "rerazera/package.h"
#include "support/fixture.hpp"
#include "support/scratch.hpp"

namespace {

using namespace rztest;

struct Outcome {
    int32_t rc = -99;
    int32_t code = -99;
    std::string msg;
    std::vector<std::string> events;
    uint64_t pending = 0;
    bool operator==(const Outcome &o) const {
        return rc == o.rc && code == o.code && msg == o.msg && events == o.events;
    }
};

int record(void *ctx, const rerazera_entry_report *r) {
    auto *events = static_cast<std::vector<std::string> *>(ctx);
    char line[160];
    std::snprintf(line, sizeof line, "%u/%u %s %d/%u h%x/%x c%x/%x", r->entry.table, r->entry.index,
                  rerazera_reason_name(r->reason), r->ok, r->computed, r->head_crc_stored,
                  r->head_crc_computed, r->crc_stored, r->crc_computed);
    events->push_back(line);
    return 0;
}

// Feeds bytes in pieces of `piece` (0: all at once); with resumeAt, takes a
// checkpoint at the first piece boundary at or after it and goes on in a
// verifier resumed from it.
Outcome stream(const Bytes &bytes, std::size_t piece, int fd = -1,
               std::size_t resumeAt = SIZE_MAX) {
    Outcome out;
    rerazera_stream_options opts{record, &out.events, nullptr, nullptr};
    rerazera_stream *s = nullptr;
    EXPECT_EQ(rerazera_stream_new(&opts, &s), RERAZERA_OK);
    const std::size_t step = piece == 0 ? std::max<std::size_t>(bytes.size(), 1) : piece;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        if (at >= resumeAt) {
            void *blob = nullptr;
            std::size_t len = 0;
            EXPECT_EQ(rerazera_stream_checkpoint(s, &blob, &len), RERAZERA_OK);
            rerazera_stream_free(s);
            EXPECT_EQ(rerazera_stream_resume(blob, len, &opts, &s), RERAZERA_OK);
            std::free(blob);
            EXPECT_EQ(rerazera_stream_offset(s), at);
            resumeAt = SIZE_MAX;
        }
        EXPECT_EQ(rerazera_stream_feed(s, bytes.data() + at, std::min(step, bytes.size() - at)),
                  RERAZERA_OK);
    }
    out.pending = rerazera_stream_pending(s);
    char msg[256] = "untouched";
    out.rc = rerazera_stream_finish(s, fd, msg, sizeof msg, &out.code);
    out.msg = msg;
    rerazera_stream_free(s);
    return out;
}

std::pair<int32_t, std::string> whole(const std::string &path) {
    char msg[256] = {};
    const int32_t code = QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg);
    return {code, msg};
}

Package reseal255(Package p) {  // entry 255's payload CRC, over the second table
    const std::uint32_t len = p.be32(Package::entry_field(255, 8)) - 352;
    return ent(p, 255, 12, rerazera::writer::crc16(p.bytes.data() + p.tableOffset, len));
}
// Extend entry i set to {field: value}, the table and entry 255 resealed.
Package ext_ent(Package p, std::uint32_t i, std::uint32_t field, std::uint32_t v) {
    p.set_be32(p.ext_entry_field(i, field), v);
    p.reseal_table();
    return reseal255(p);
}
Package copy_entry(Package p, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t f = 0; f < 24; f += 4) {
        p.set_be32(Package::entry_field(to, f), p.be32(Package::entry_field(from, f)));
    }
    p.reseal_header();
    return p;
}
Bytes cut(const Package &p, std::size_t n) {
    return Bytes(p.bytes.begin(), p.bytes.begin() + static_cast<std::ptrdiff_t>(n));
}
Bytes grow(const Package &p, std::size_t n) {
    Bytes b = p.bytes, tail = pattern(n, 7);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

Package empty_ext() {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add_raw(RawDesc{0x100 + i, 0, 0, 0, 0, 0});
    }
    return b.with_empty_extension().build();
}

struct Row {
    const char *name;
    Bytes bytes;
    const char *event = nullptr;  // an event the stream must report
    bool secondPass = false;      // needs the descriptor at finish
};

std::vector<Row> rows() {
    const Package three = three_files(), ext = ext_package(3);
    const std::size_t a1 = three.entryOffsets[1], e1 = ext.extOffsets[1];
    Package before = ext;  // extend entry 0 is header entry 0's sub-file, before the table
    for (std::uint32_t f : {4u, 8u, 12u}) {
        before = ext_ent(before, 0, f, before.be32(Package::entry_field(0, f)));
    }
    Package containing = three;  // entry 0 runs to the end, over entries 1 and 2
    containing = ent(containing, 0, 8, std::uint32_t(three.bytes.size() - three.entryOffsets[0]));
    return {
        {"good", three.bytes, "0/1 ok"},
        {"good_extension", ext.bytes, "1/2 ok"},
        {"empty_extension", empty_ext().bytes},
        {"header_crc", flip(three, 6000).bytes},
        {"file_num", with(three, 4, 257).bytes},
        {"bin_crc", flip(three, a1 + 300).bytes, "0/1 header-crc-mismatch"},
        {"payload_crc", flip(three, a1 + 400).bytes, "0/1 payload-crc-mismatch"},
        {"overrun", bin(three, a1, 340, 6000).bytes, "0/1 payload-overrun"},
        {"too_short", ent(three, 1, 8, 100).bytes, "0/1 too-short"},
        {"out_of_bounds", ent(three, 2, 8, 1u << 30).bytes, "0/2 out-of-bounds"},
        {"empty_past_end", ent(ent(three, 2, 8, 0), 2, 4, 1u << 30).bytes, "0/2 out-of-bounds"},
        {"dummy_id", bin(ext, ext.dummyOffset, 8, 7).bytes},
        {"dummy_crc", flip(ext, ext.dummyOffset + 200).bytes},
        {"table_count", reseal255(with(ext, ext.tableOffset + 4, 2, false)).bytes},
        {"table_crc", flip(ext, ext.tableOffset + 40).bytes},
        {"ext_payload", flip(ext, e1 + 353).bytes, "1/1 payload-crc-mismatch"},
        {"ext_bounds", ext_ent(ext, 2, 8, 1u << 30).bytes, "1/2 out-of-bounds"},
        {"ext_before_table", before.bytes, "1/0 ok", true},
        {"ext_in_header", long_ext(300).bytes, "1/299 too-short"},
        {"overlaps_header", ent(ent(three, 0, 4, 10), 0, 8, 7000).bytes},
        {"same_range", copy_entry(three, 1, 2).bytes, "0/2 ok"},
        {"containing", containing.bytes, "0/0 ok"},
        {"cut_header", cut(three, 100)},
        {"cut_bin_header", cut(three, a1 + 100), "0/1 out-of-bounds"},
        {"cut_payload", cut(three, a1 + 400)},
        {"cut_table", cut(ext, ext.tableOffset + 50)},
        {"cut_ext_payload", cut(ext, e1 + 353), "1/1 out-of-bounds"},
        {"trailing", grow(three, 7), "0/2 ok"},
        {"longer", grow(ext, 3u << 20), "1/2 ok"},
    };
}

TEST(Stream, SameVerdictAsTheWholeFileCheck) {
    const ScratchDir dir;
    std::mt19937 rng(24);
    for (const Row &row : rows()) {
        SCOPED_TRACE(row.name);
        const std::string path = dir.file(row.name);
        write_file(path, row.bytes);
        const auto [code, msg] = whole(path);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const Outcome all = stream(row.bytes, 0, fd);
        EXPECT_EQ(all.code, code);
        EXPECT_EQ(all.msg, msg);
        EXPECT_EQ(all.rc, code == 0 ? RERAZERA_OK : RERAZERA_ERR_CORRUPT);
        EXPECT_EQ(all.pending > 0, row.secondPass);
        if (row.event != nullptr) {
            bool seen = false;
            for (const std::string &e : all.events) {
                seen = seen || e.rfind(row.event, 0) == 0;
            }
            EXPECT_TRUE(seen) << row.event;
        }
        // Each entry once; every chunking and checkpoint gives the same.
        std::vector<std::string> ids;
        for (const std::string &e : all.events) {
            ids.push_back(e.substr(0, e.find(' ')));
        }
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
        // ... with the verdict the per-entry report gives it.
        std::vector<std::string> reported, streamed = all.events;
        rerazera_package *pkg = nullptr;
        if (rerazera_package_open_memory(row.bytes.data(), row.bytes.size(), nullptr, &pkg) == 0) {
            (void)rerazera_package_report(pkg, record, &reported);
            rerazera_package_free(pkg);
        }
        std::sort(reported.begin(), reported.end());
        std::sort(streamed.begin(), streamed.end());
        EXPECT_EQ(streamed, reported);
        const std::size_t small = row.bytes.size() < 200'000 ? 1 : 4093;
        for (std::size_t piece :
             {small, std::size_t{4093}, std::size_t{353}, std::size_t{1} << 20}) {
            EXPECT_EQ(stream(row.bytes, piece, fd), all) << piece;
            const std::size_t at =
                std::uniform_int_distribution<std::size_t>(0, row.bytes.size())(rng);
            EXPECT_EQ(stream(row.bytes, piece, fd, at), all) << piece << " resumed at " << at;
        }
        if (row.secondPass) {
            EXPECT_EQ(stream(row.bytes, 0).rc, RERAZERA_ERR_NEEDS_SECOND_PASS);
        }
        ::close(fd);
    }
}

TEST(Stream, RefusesBadCheckpointsAndMisuse) {
    const Package ext = ext_package(3);
    rerazera_stream *s = nullptr;
    ASSERT_EQ(rerazera_stream_new(nullptr, &s), RERAZERA_OK);
    ASSERT_EQ(rerazera_stream_feed(s, ext.bytes.data(), ext.tableOffset + 30), RERAZERA_OK);
    void *blob = nullptr;
    std::size_t len = 0;
    ASSERT_EQ(rerazera_stream_checkpoint(s, &blob, &len), RERAZERA_OK);
    const Bytes good(static_cast<std::uint8_t *>(blob), static_cast<std::uint8_t *>(blob) + len);
    std::free(blob);
    const std::vector<std::function<void(Bytes &)>> damage = {
        [](Bytes &b) { b[0] ^= 1; },             // magic
        [](Bytes &b) { b[8] = 2; },              // version
        [](Bytes &b) { b[b.size() / 2] ^= 4; },  // body
        [](Bytes &b) { b.pop_back(); },          // truncated
        [](Bytes &b) { b.push_back(0); },        // longer
        [](Bytes &b) { b.resize(10); },
    };
    for (std::size_t i = 0; i < damage.size(); ++i) {
        Bytes b = good;
        damage[i](b);
        rerazera_stream *r = nullptr;
        EXPECT_EQ(rerazera_stream_resume(b.data(), b.size(), nullptr, &r), RERAZERA_ERR_BAD_STATE)
            << i;
        EXPECT_EQ(r, nullptr);
    }
    char msg[8];
    EXPECT_EQ(rerazera_stream_finish(s, -1, msg, sizeof msg, nullptr), RERAZERA_ERR_CORRUPT);
    EXPECT_STREQ(msg, "File le");  // cut to the buffer: the table is out of the file
    EXPECT_EQ(rerazera_stream_feed(s, "x", 1), RERAZERA_ERR_MISUSE);
    EXPECT_EQ(rerazera_stream_finish(s, -1, nullptr, 0, nullptr), RERAZERA_ERR_MISUSE);
    EXPECT_EQ(rerazera_stream_feed(nullptr, "x", 1), RERAZERA_ERR_INVALID_ARGUMENT);
    rerazera_stream_free(s);
}

int stop_at_first(void *ctx, const rerazera_entry_report *) {
    return ++*static_cast<int *>(ctx) == 1 ? 1 : 0;
}

TEST(Stream, CallbackStopsTheFeed) {
    const Package three = three_files();
    int calls = 0;
    rerazera_stream_options opts{stop_at_first, &calls, nullptr, nullptr};
    rerazera_stream *s = nullptr;
    ASSERT_EQ(rerazera_stream_new(&opts, &s), RERAZERA_OK);
    EXPECT_EQ(rerazera_stream_feed(s, three.bytes.data(), three.bytes.size()),
              RERAZERA_ERR_STOPPED);
    const uint64_t at = rerazera_stream_offset(s);
    EXPECT_EQ(at, three.entryOffsets[0] + 100 + 352);  // the first entry's end
    EXPECT_EQ(rerazera_stream_feed(s, three.bytes.data() + at, three.bytes.size() - at),
              RERAZERA_OK);
    int32_t code = 1;
    EXPECT_EQ(rerazera_stream_finish(s, -1, nullptr, 0, &code), RERAZERA_OK);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(calls, 3);
    rerazera_stream_free(s);
}

}  // namespace
