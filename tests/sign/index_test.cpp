// SPDX-License-Identifier: MIT
// Signed indexes: the index text, its signature under a policy, and the
// strict stream that lets no unproven byte through.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "rerazera/sign.h"
#include "run_program.hpp"
#include "support/scratch.hpp"

namespace {

using rerazera::writer::Package;
using rztest::Str;
using IndexPtr = std::unique_ptr<rerazera_index, decltype(&rerazera_index_free)>;
using StreamPtr = std::unique_ptr<rerazera_signed_stream, decltype(&rerazera_signed_stream_free)>;
constexpr std::uint32_t kBlock = 4096;

std::string index_text(Str path, std::uint32_t digest = RERAZERA_INDEX_BLAKE2B_256) {
    char *text = nullptr;
    std::size_t len = 0;
    EXPECT_EQ(rerazera_index_build(path.c_str(), digest, kBlock, &text, &len), RERAZERA_SIGN_OK);
    std::string s(text != nullptr ? text : "", len);
    std::free(text);
    return s;
}

IndexPtr parse(Str text, std::int32_t expected = RERAZERA_SIGN_OK) {
    rerazera_index *raw = nullptr;
    EXPECT_EQ(rerazera_index_parse(text.data(), text.size(), &raw), expected)
        << text.substr(0, 200);
    return IndexPtr(raw, &rerazera_index_free);
}

struct Outcome {
    std::int32_t fed = RERAZERA_SIGN_OK, finished = RERAZERA_SIGN_OK;
    std::string sunk;  // what reached the sink
    rerazera_stream_failure failure{};
    int entries = 0;
    std::string msg;
};

// The bytes through a strict stream in pieces of chunk; stopAt > 0 makes the
// entry callback ask to stop at that entry.
Outcome strict(const rerazera_index *index, Str bytes, std::size_t chunk, int stopAt = 0,
               bool sinkFails = false) {
    Outcome o;
    struct Ctx {
        Outcome *o;
        int stopAt;
        bool sinkFails;
    } ctx{&o, stopAt, sinkFails};
    rerazera_stream_options opts{};
    opts.ctx = &ctx;
    opts.on_entry = [](void *c, const rerazera_entry_report *) {
        auto *x = static_cast<Ctx *>(c);
        return ++x->o->entries == x->stopAt ? 1 : 0;
    };
    auto sink = [](void *c, const void *data, std::size_t len) {
        auto *x = static_cast<Ctx *>(c);
        if (x->sinkFails)
            return 1;
        x->o->sunk.append(static_cast<const char *>(data), len);
        return 0;
    };
    rerazera_signed_stream *raw = nullptr;
    EXPECT_EQ(rerazera_signed_stream_new(index, sink, &ctx, &opts, &raw), RERAZERA_SIGN_OK);
    const StreamPtr s(raw, &rerazera_signed_stream_free);
    for (std::size_t at = 0; at < bytes.size() && o.fed == RERAZERA_SIGN_OK; at += chunk) {
        o.fed = rerazera_signed_stream_feed(s.get(), bytes.data() + at,
                                            std::min(chunk, bytes.size() - at));
    }
    char msg[256] = "";
    o.finished = rerazera_signed_stream_finish(s.get(), msg, sizeof msg, nullptr);
    o.msg = msg;
    EXPECT_EQ(rerazera_signed_stream_failure(s.get(), &o.failure), RERAZERA_SIGN_OK);
    EXPECT_EQ(rerazera_signed_stream_proven(s.get()), o.sunk.size());
    return o;
}

class IndexTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pkg_ = rztest::make_package();
        pkg_.write(dir_.file("p.qv"));
        bytes_.assign(pkg_.bytes.begin(), pkg_.bytes.end());
        text_ = index_text(dir_.file("p.qv"));
        index_ = parse(text_);
    }
    [[nodiscard]] std::size_t blocks() const { return (bytes_.size() + kBlock - 1) / kBlock; }
    rztest::ScratchDir dir_;
    Package pkg_;
    std::string bytes_, text_;
    IndexPtr index_{nullptr, &rerazera_index_free};
};

TEST_F(IndexTest, IntactPackagePassesInAnyChunking) {
    rerazera_index_info info{};
    ASSERT_EQ(rerazera_index_get_info(index_.get(), &info), RERAZERA_SIGN_OK);
    EXPECT_EQ(info.size, bytes_.size());
    EXPECT_EQ(info.block_count, blocks());
    EXPECT_EQ(info.entry_count, 3u);
    EXPECT_EQ(info.product_type, 0x1234u);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{kBlock - 1}, std::size_t{kBlock},
                                    std::size_t{kBlock + 1}, bytes_.size()}) {
        const Outcome o = strict(index_.get(), bytes_, chunk);
        EXPECT_EQ(o.fed, RERAZERA_SIGN_OK) << chunk;
        EXPECT_EQ(o.finished, RERAZERA_SIGN_OK) << chunk;
        EXPECT_EQ(o.sunk, bytes_) << chunk;
        EXPECT_EQ(o.entries, 3) << chunk;
        EXPECT_EQ(o.msg, "Info: System software CRC check OK!\n");
    }
}

// A byte changed at the start, middle and end of every block: refused at
// that block, and the sink holds exactly the blocks before it, unchanged.
TEST_F(IndexTest, ChangedByteStopsAtItsBlock) {
    for (std::size_t b = 0; b < blocks(); ++b) {
        const std::size_t end = std::min<std::size_t>((b + 1) * kBlock, bytes_.size());
        for (const std::size_t at : {b * kBlock, b * kBlock + (end - b * kBlock) / 2, end - 1}) {
            std::string bad = bytes_;
            bad[at] ^= 0x01;
            const Outcome o = strict(index_.get(), bad, 1000);
            EXPECT_EQ(o.fed, RERAZERA_SIGN_BLOCK_MISMATCH) << at;
            EXPECT_EQ(o.finished, RERAZERA_SIGN_BLOCK_MISMATCH) << at;
            EXPECT_EQ(o.sunk, bytes_.substr(0, b * kBlock)) << at;
            EXPECT_EQ(o.failure.block, b);
            EXPECT_EQ(o.failure.offset, b * kBlock);
            // Block 0 is header only; entry k starts at entryOffsets[k].
            int want = -1;
            for (int k = 0; k < 3; ++k) {
                if (pkg_.entryOffsets[k] < end && want < 0 &&
                    pkg_.entryOffsets[k] + pkg_.be32(Package::entry_field(k, 8)) > b * kBlock)
                    want = k;
            }
            EXPECT_EQ(o.failure.has_entry != 0, want >= 0) << b;
            if (want >= 0) {
                EXPECT_EQ(o.failure.index, static_cast<std::uint32_t>(want)) << b;
            }
        }
    }
}

struct StreamCase {
    const char *name;
    void (*change)(std::string &bytes, Package &other);
    std::int32_t fed, finished;
    int sunkBlocks;  // the leading blocks the sink holds; -1 all, -2 all but the last
    int stopAt = 0;
    bool sinkFails = false;
};

const StreamCase kStreamCases[] = {
    {"truncated by a byte", [](std::string &b, Package &) { b.pop_back(); }, RERAZERA_SIGN_OK,
     RERAZERA_SIGN_LENGTH_MISMATCH, -2},
    {"a byte appended", [](std::string &b, Package &) { b += 'x'; }, RERAZERA_SIGN_LENGTH_MISMATCH,
     RERAZERA_SIGN_LENGTH_MISMATCH, -1},
    // CRCs made right again: the plain stream passes it, the index does not.
    {"resealed sub-file",
     [](std::string &b, Package &p) {
         p.bytes[p.entryOffsets[0] + 244] = 'X';
         p.reseal_bin_header(p.entryOffsets[0]);
         b.assign(p.bytes.begin(), p.bytes.end());
     },
     RERAZERA_SIGN_BLOCK_MISMATCH, RERAZERA_SIGN_BLOCK_MISMATCH, 1},
    // Entry 0 ends in block 1: that block reaches the callback, not the sink.
    {"entry callback stops", [](std::string &, Package &) {}, RERAZERA_SIGN_STOPPED,
     RERAZERA_SIGN_STOPPED, 1, 1},
    {"sink fails", [](std::string &, Package &) {}, RERAZERA_SIGN_SINK_FAILED,
     RERAZERA_SIGN_SINK_FAILED, 0, 0, true},
};

TEST_F(IndexTest, StreamRefusals) {
    for (const StreamCase &c : kStreamCases) {
        SCOPED_TRACE(c.name);
        std::string bytes = bytes_;
        Package other = pkg_;
        c.change(bytes, other);
        const Outcome o = strict(index_.get(), bytes, 5000, c.stopAt, c.sinkFails);
        EXPECT_EQ(o.fed, c.fed);
        EXPECT_EQ(o.finished, c.finished);
        EXPECT_EQ(o.failure.result, c.finished);
        const std::size_t n = c.sunkBlocks == -1   ? bytes_.size()
                              : c.sunkBlocks == -2 ? (blocks() - 1) * kBlock
                                                   : c.sunkBlocks * std::size_t{kBlock};
        EXPECT_EQ(o.sunk, bytes_.substr(0, n));
        if (c.finished == RERAZERA_SIGN_LENGTH_MISMATCH) {  // where the lengths part
            const bool extra = c.fed != RERAZERA_SIGN_OK;
            EXPECT_EQ(o.failure.offset, extra ? bytes_.size() : (blocks() - 1) * kBlock);
            EXPECT_EQ(o.failure.length, extra ? 0 : bytes_.size() - (blocks() - 1) * kBlock);
        }
    }
}

// The index of another package refuses the first block that differs.
TEST_F(IndexTest, AnotherPackagesIndex) {
    Package other = rztest::make_package();
    other.bytes[other.entryOffsets[1] + 352 + 50000] ^= 1;
    other.write(dir_.file("o.qv"));
    const IndexPtr foreign = parse(index_text(dir_.file("o.qv")));
    const Outcome o = strict(foreign.get(), bytes_, kBlock);
    EXPECT_EQ(o.fed, RERAZERA_SIGN_BLOCK_MISMATCH);
    EXPECT_EQ(o.failure.block, (other.entryOffsets[1] + 352 + 50000) / kBlock);
    EXPECT_EQ(o.failure.index, 1u);
    // Its own bytes are proven; the CRC verdict is the verifier's.
    const std::string otherBytes(other.bytes.begin(), other.bytes.end());
    const Outcome own = strict(foreign.get(), otherBytes, kBlock);
    EXPECT_EQ(own.finished, RERAZERA_SIGN_PACKAGE_FAILED);
    EXPECT_EQ(own.sunk, otherBytes);
    EXPECT_NE(own.msg.find("crc"), std::string::npos) << own.msg;
}

// Past 4096 entries (read in batches of that many) every one is named.
TEST(IndexEntries, ExtensionOfManyEntries) {
    std::vector<rerazera::writer::SubFile> files(5000);
    for (std::uint32_t i = 0; i < files.size(); ++i) {
        files[i].fileId = 0x1000 + i;
        files[i].name = "f" + std::to_string(i);
        files[i].payload.assign(1, static_cast<std::uint8_t>(i));
    }
    const rztest::ScratchDir dir;
    rerazera::writer::PackageBuilder::from_files(std::move(files), 7)
        .build()
        .write(dir.file("x.qv"));
    rerazera_index_info info{};
    rerazera_index_get_info(parse(index_text(dir.file("x.qv"))).get(), &info);
    EXPECT_EQ(info.entry_count, 5001u);  // the dummy's range too
}

// The digests are the standard ones: b2sum -l 256 and sha256sum agree.
TEST_F(IndexTest, DigestsMatchCoreutils) {
    const std::string sha = index_text(dir_.file("p.qv"), RERAZERA_INDEX_SHA256);
    EXPECT_NE(sha.find("\ndigest sha-256\n"), std::string::npos);
    EXPECT_EQ(strict(parse(sha).get(), bytes_, 777).finished, RERAZERA_SIGN_OK);
    const std::string last = bytes_.substr((blocks() - 1) * kBlock);
    for (const auto &[text, tool] : {std::pair{text_, "b2sum"}, std::pair{sha, "sha256sum"}}) {
        std::vector<std::string> argv = {tool};
        if (std::string(tool) == "b2sum")
            argv.insert(argv.end(), {"-l", "256"});
        const auto r = rztest::run_program(argv, dir_.path(), last);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string lastLine = text.substr(text.size() - 65, 64);
        EXPECT_EQ(r.out.substr(0, 64), lastLine) << tool;
    }
}

TEST_F(IndexTest, BuildArguments) {
    char *text = nullptr;
    std::size_t len = 0;
    const std::string p = dir_.file("p.qv");
    EXPECT_EQ(rerazera_index_build(p.c_str(), 3, 0, &text, &len), RERAZERA_SIGN_INVALID_ARGUMENT);
    for (const std::uint32_t block : {1000u, 2048u, 128u << 20})
        EXPECT_EQ(rerazera_index_build(p.c_str(), 1, block, &text, &len),
                  RERAZERA_SIGN_INVALID_ARGUMENT);
    for (const std::uint32_t block : {4096u, 64u << 20}) {  // both ends allowed
        ASSERT_EQ(rerazera_index_build(p.c_str(), 1, block, &text, &len), RERAZERA_SIGN_OK);
        rerazera_index_info info{};
        rerazera_index_get_info(parse(std::string(text, len)).get(), &info);
        EXPECT_EQ(info.block_size, block);
        std::free(text);
        text = nullptr;
    }
    rztest::write_text(dir_.file("short"), "tiny");
    EXPECT_EQ(rerazera_index_build(dir_.file("short").c_str(), 1, 0, &text, &len),
              RERAZERA_SIGN_IO_ERROR);
    EXPECT_EQ(text, nullptr);
}

// Each row edits the good index text; every one must be refused.
struct MalformedCase {
    const char *name, *find, *replace;
};
const MalformedCase kMalformed[] = {
    {"other magic", "rerazera-index 1", "rerazera-index 2"},
    {"unknown digest", "blake2b-256", "blake2b-512"},
    {"size line split", "\nsize ", "\nsize 6179\nx "},
    {"leading zero", "\nblock 4096", "\nblock 04096"},
    {"block not a power of two", "\nblock 4096", "\nblock 4095"},
    {"block too small", "\nblock 4096", "\nblock 2048"},
    {"two spaces", "\nblock 4096", "\nblock  4096"},
    {"entries claim more", "\nentries 3", "\nentries 999999"},
    {"entries claim fewer", "\nentries 3", "\nentries 2"},
    {"entry table 2", "\nentry 0 0 ", "\nentry 2 0 "},
    {"entry beyond the package", "\nentry 0 0 6180 ", "\nentry 0 0 6180 99999999"},
    {"entry of length 0", "\nentry 0 0 6180 1352", "\nentry 0 0 6180 0"},
    {"upper-case hex", "\nblocks 20\n", "\nblocks 20\nA"},
    {"CRLF", "rerazera-index 1\n", "rerazera-index 1\r\n"},
    {"blocks one short", "\nblocks 20\n", "\nblocks 19\n"},
};

TEST_F(IndexTest, MalformedIndexRefused) {
    ASSERT_NE(text_.find("\nblocks 20\n"), std::string::npos) << text_.substr(0, 300);
    ASSERT_NE(text_.find("\nentry 0 0 6180 1352\n"), std::string::npos) << text_.substr(0, 300);
    for (const MalformedCase &c : kMalformed) {
        SCOPED_TRACE(c.name);
        std::string t = text_;
        const std::size_t at = t.find(c.find);
        ASSERT_NE(at, std::string::npos);
        t.replace(at, std::strlen(c.find), c.replace);
        if (std::string(c.name) == "upper-case hex")
            t.erase(at + std::strlen(c.replace), 1);  // same length, one digit upper-case
        parse(t, RERAZERA_SIGN_INDEX_MALFORMED);
    }
    parse(text_ + "\n", RERAZERA_SIGN_INDEX_MALFORMED);                             // text after
    parse(text_.substr(0, text_.size() - 1), RERAZERA_SIGN_INDEX_MALFORMED);        // no last LF
    parse(text_.substr(0, text_.size() - 65), RERAZERA_SIGN_INDEX_MALFORMED);       // a line short
    parse(text_ + text_.substr(text_.size() - 65), RERAZERA_SIGN_INDEX_MALFORMED);  // one extra
    parse("", RERAZERA_SIGN_INDEX_MALFORMED);
}

// The index's signature under a policy: minisign signs, the library checks.
struct OpenCase {
    const char *name;
    const char *comment;                // signed as the trusted comment
    void (*spoil)(Str index, Str sig);  // after signing
    const char *minVersion;
    std::int64_t productType;  // -1: none set
    std::int32_t expected;
};
const OpenCase kOpenCases[] = {
    {"valid", "version:2.1", rztest::Spoil::none, nullptr, -1, RERAZERA_SIGN_OK},
    {"index byte changed", "version:2.1", [](Str i, Str) { rztest::flip_byte(i, 100); }, nullptr,
     -1, RERAZERA_SIGN_MISMATCH},
    {"comment edited", "version:2.1", rztest::Spoil::comment, nullptr, -1,
     RERAZERA_SIGN_COMMENT_FORGED},
    {"no signature", "version:2.1", rztest::Spoil::no_sig, nullptr, -1, RERAZERA_SIGN_NO_SIGNATURE},
    {"below the floor", "version:2.1", rztest::Spoil::none, "2.2", -1,
     RERAZERA_SIGN_VERSION_TOO_OLD},
    {"at the floor", "version:2.1", rztest::Spoil::none, "2.1", -1, RERAZERA_SIGN_OK},
    {"no version, floor set", "x:1", rztest::Spoil::none, "1", -1, RERAZERA_SIGN_VERSION_MISSING},
    {"device of another type", "version:2.1", rztest::Spoil::none, nullptr, 7,
     RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH},
    {"comment names another type", "product-type:7", rztest::Spoil::none, nullptr, -1,
     RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH},
    {"signed, not an index", "version:2.1",
     [](Str i, Str) { rztest::write_text(i, "rerazera-index 1\n"); }, nullptr, -1,
     RERAZERA_SIGN_INDEX_MALFORMED},
    {"over the size limit", "version:2.1",
     [](Str i, Str) { std::filesystem::resize_file(i, RERAZERA_INDEX_MAX_FILE + 1); }, nullptr, -1,
     RERAZERA_SIGN_INDEX_MALFORMED},
};

TEST_F(IndexTest, OpenChecksSignatureAndPolicy) {
    ASSERT_EQ(rztest::minisign({"-G", "-W", "-p", "k.pub", "-s", "k.sec"}, dir_.path()).status, 0);
    rerazera_keyring *ring = nullptr;
    ASSERT_EQ(rerazera_keyring_new(&ring), RERAZERA_SIGN_OK);
    const std::unique_ptr<rerazera_keyring, decltype(&rerazera_keyring_free)> ringOwner(
        ring, &rerazera_keyring_free);
    ASSERT_EQ(rerazera_keyring_add_file(ring, dir_.file("k.pub").c_str()), RERAZERA_SIGN_OK);
    const std::string idx = dir_.file("p.qv.index");
    for (const OpenCase &c : kOpenCases) {
        SCOPED_TRACE(c.name);
        rztest::write_text(idx, text_);
        // Signed first for the "signed, not an index" row: its text changes before signing.
        if (std::string(c.name) == "signed, not an index")
            c.spoil(idx, idx + ".minisig");
        ASSERT_EQ(rztest::minisign({"-S", "-s", "k.sec", "-m", "p.qv.index", "-t", c.comment},
                                   dir_.path())
                      .status,
                  0);
        if (std::string(c.name) != "signed, not an index")
            c.spoil(idx, idx + ".minisig");
        rerazera_policy *policy = nullptr;
        ASSERT_EQ(rerazera_policy_new(&policy), RERAZERA_SIGN_OK);
        const std::unique_ptr<rerazera_policy, decltype(&rerazera_policy_free)> owner(
            policy, &rerazera_policy_free);
        rerazera_policy_set_keyring(policy, ring);
        if (c.minVersion != nullptr) {
            ASSERT_EQ(rerazera_policy_set_min_version(policy, c.minVersion), RERAZERA_SIGN_OK);
        }
        if (c.productType >= 0)
            rerazera_policy_set_product_type(policy, static_cast<std::uint32_t>(c.productType));
        rerazera_index *raw = nullptr;
        rerazera_signature_info *info = nullptr;
        EXPECT_EQ(rerazera_index_open(policy, idx.c_str(), nullptr, &raw, &info), c.expected);
        const IndexPtr opened(raw, &rerazera_index_free);
        EXPECT_EQ(raw != nullptr, c.expected == RERAZERA_SIGN_OK);
        if (c.expected == RERAZERA_SIGN_OK) {
            EXPECT_EQ(strict(raw, bytes_, 65536).finished, RERAZERA_SIGN_OK);
        }
        // A signed text that is no index was verified; one too large was never read.
        if (c.expected == RERAZERA_SIGN_INDEX_MALFORMED) {
            EXPECT_EQ(info != nullptr && info->comment_verified == 1,
                      std::string(c.name) == "signed, not an index");
        }
        rerazera_signature_info_free(info);
    }
}

}  // namespace
