// Malformed and hostile inputs, one class per row, each tried through the
// one-call verification, the ID lookup, the name lookup and extraction by
// ID (and bin files through stripping): every one gets a result code, no
// descriptor stays open and no output appears for a refused extraction.
// docs/reliability.md lists these rows and their results in a table.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "rerazera.h"
#include "support/log_capture.hpp"
#include "support/scratch.hpp"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kIdA = 0x10;
constexpr std::uint32_t kExtId = 0x5001;

Package two_files() {
    return PackageBuilder()
        .add(SubFile{kIdA, "a.bin", "first", Bytes(100, 1)})
        .add(SubFile{0x20, "b.bin", "second", Bytes(50, 2)})
        .build();
}

Package with_extension() {
    PackageBuilder b;
    b.add(SubFile{kIdA, "a.bin", "first", Bytes(100, 1)});
    for (std::uint32_t i = 1; i < 255; ++i) {
        b.add_raw(RawDesc{0x100 + i, QVPKG_HEADER_SIZE, 452, 0, 0, 0});
    }
    b.add_extend(SubFile{kExtId, "e.bin", "extend", Bytes(20, 3)});
    Package p = b.build();
    // The raw entries repeat entry 0, checksum included.
    for (std::uint32_t i = 1; i < 255; ++i) {
        p.set_be32(Package::entry_field(i, 12), p.be32(Package::entry_field(0, 12)));
    }
    p.reseal_header();
    return p;
}

// After a change inside the second table: entry 255's payload checksum (the
// dummy bin file's payload is the table) and the header checksum again.
void reseal_dummy_entry(Package &p) {
    const std::uint32_t dummyLen = p.be32(Package::entry_field(255, 8));
    std::uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum(p.bytes.data() + p.tableOffset,
                          static_cast<std::int32_t>(dummyLen - BIN_HEADER_SIZE), &crc);
    p.set_be32(Package::entry_field(255, 12), crc);
    p.reseal_header();
}

// One sub-file whose bin header name (96 bytes) and description (128
// bytes) fill their fields with no NUL anywhere.
Package unterminated_texts() {
    Package p = PackageBuilder().add(SubFile{kIdA, "x", "y", Bytes(8, 1)}).build();
    const std::uint32_t at = p.be32(Package::entry_field(0, 4));
    std::fill_n(p.bytes.begin() + at + 116, 128, 'd');
    std::fill_n(p.bytes.begin() + at + 244, 96, 'n');
    p.reseal_bin_header(at);
    return p;
}

// Entry 0's field, then the header checksum again.
Package with_entry0(std::uint32_t field, std::uint32_t value) {
    Package p = two_files();
    p.set_be32(Package::entry_field(0, field), value);
    p.reseal_header();
    return p;
}

struct Row {
    const char *name;
    std::function<std::string(const rztest::ScratchDir &)> make;  // path of the input
    std::int32_t lookupId;
    // Expected results.
    std::int32_t verify;
    std::int32_t byId;
    std::int32_t byName;
    std::int32_t extract;
};

std::function<std::string(const rztest::ScratchDir &)> file(std::function<Bytes()> bytes) {
    return [bytes](const rztest::ScratchDir &dir) {
        const std::string path = dir.file("input.qv");
        rztest::write_file(path, bytes());
        return path;
    };
}

std::function<std::string(const rztest::ScratchDir &)> existing(const char *path) {
    return [path](const rztest::ScratchDir &) { return std::string(path); };
}

const std::vector<Row> &rows() {
    static const std::vector<Row> table = {
        {"valid package", file([] { return two_files().bytes; }), kIdA, 0, 0, 0, 0},
        {"empty file", file([] { return Bytes{}; }), kIdA, -1, 11, 11, 11},
        {"header cut at 6179 bytes", file([] {
             Bytes b = two_files().bytes;
             b.resize(QVPKG_HEADER_SIZE - 1);
             return b;
         }),
         kIdA, -1, 11, 11, 11},
        {"fileNum 257, checksum right", file([] {
             Package p = two_files();
             p.set_file_num(257);
             p.reseal_header();
             return p.bytes;
         }),
         kIdA, 11, 11, 11, 11},
        {"fileNum 0xFFFFFFFF, checksum right", file([] {
             Package p = two_files();
             p.set_file_num(0xFFFFFFFFu);
             p.reseal_header();
             return p.bytes;
         }),
         kIdA, 11, 11, 11, 11},
        {"offset past the end of the file", file([] {
             return with_entry0(4, static_cast<std::uint32_t>(two_files().bytes.size()) + 100)
                 .bytes;
         }),
         kIdA, 6, 0, -1, 2},
        {"offset 2^31", file([] { return with_entry0(4, 0x80000000u).bytes; }), kIdA, 6, 0, -1, 2},
        {"offset 0xFFFFFFFF", file([] { return with_entry0(4, 0xFFFFFFFFu).bytes; }), kIdA, 6, 0,
         -1, 2},
        {"offset + length wraps past 2^32", file([] {
             Package p = with_entry0(4, 0xFFFFFF00u);
             p.set_be32(Package::entry_field(0, 8), 0x200);
             p.reseal_header();
             return p.bytes;
         }),
         kIdA, 6, 0, -1, 2},
        {"length 2^32 - 1", file([] { return with_entry0(8, 0xFFFFFFFFu).bytes; }), kIdA, 6, 0, 0,
         2},
        {"dataLen larger than its sub-file", file([] {
             Package p = two_files();
             const std::uint32_t at = p.be32(Package::entry_field(0, 4));
             p.set_be32(at + 340, 10000);
             p.reseal_bin_header(at);
             return p.bytes;
         }),
         kIdA, -1, 0, 0, 0},
        {"dataLen 2^32 - 1", file([] {
             Package p = two_files();
             const std::uint32_t at = p.be32(Package::entry_field(0, 4));
             p.set_be32(at + 340, 0xFFFFFFFFu);
             p.reseal_bin_header(at);
             return p.bytes;
         }),
         kIdA, -1, 0, 0, 0},
        {"extension N = 0x100000 (over the limit)", file([] {
             Package p = with_extension();
             p.set_be32(p.dummyOffset + 16, 0x100000);
             p.reseal_bin_header(p.dummyOffset);
             return p.bytes;
         }),
         static_cast<std::int32_t>(kExtId), -1, 9, 0, 9},
        {"extension N = 0xFFFFF, table past the end of the file", file([] {
             Package p = with_extension();
             p.set_be32(p.dummyOffset + 16, 0xFFFFF);
             p.set_be32(p.tableOffset + 4, 0xFFFFF);
             p.reseal_bin_header(p.dummyOffset);
             reseal_dummy_entry(p);
             return p.bytes;
         }),
         static_cast<std::int32_t>(kExtId), 6, 1, 0, 1},
        {"extension table cut short by the end of the file", file([] {
             Package p = with_extension();
             p.bytes.resize(p.tableOffset + 20);
             return p.bytes;
         }),
         static_cast<std::int32_t>(kExtId), 6, 1, 0, 1},
        {"extend sub-file past the end of the file", file([] {
             Package p = with_extension();
             p.set_be32(p.ext_entry_field(0, 4), 0x7FFFFF00u);
             p.reseal_table();
             reseal_dummy_entry(p);
             return p.bytes;
         }),
         static_cast<std::int32_t>(kExtId), 6, 0, 0, 2},
        {"name and description without terminators",
         file([] { return unterminated_texts().bytes; }), kIdA, 0, 0, 14, 0},
        {"a directory", [](const rztest::ScratchDir &dir) { return dir.path(); }, kIdA, -1, 11, 11,
         11},
        {"/dev/null", existing("/dev/null"), kIdA, -1, 11, 11, 11},
        {"/dev/zero (reads as an empty header, has no length)", existing("/dev/zero"), kIdA, -1, 8,
         14, 8},
    };
    return table;
}

class Malformed : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Malformed, EveryEntryPointAnswersWithACode) {
    const Row &row = rows()[GetParam()];
    SCOPED_TRACE(row.name);
    rztest::ScratchDir dir;
    rztest::LogCapture log;
    const std::string path = row.make(dir);
    const std::string out = dir.file("out.bin");
    rztest::FdLeakCheck fds;

    char msg[QVPKG_MSG_BUF_LEN] = "";
    EXPECT_EQ(QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg), row.verify) << msg;
    QVFileDesc d{};
    EXPECT_EQ(QVPKG_GetQVFileInfo(path.c_str(), &d, row.lookupId), row.byId);
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(path.c_str(), &d, "a.bin"), row.byName);
    EXPECT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), out.c_str(), row.lookupId), row.extract);
    EXPECT_EQ(rztest::file_exists(out), row.extract == QVPKG_OK);
    EXPECT_FALSE(log.lines().empty() && row.verify != 0) << "a refusal without a log line";
}

INSTANTIATE_TEST_SUITE_P(Inputs, Malformed, ::testing::Range<std::size_t>(0, rows().size()));

// A text filling its field is read as its full width and never past it:
// the matcher sees exactly 96 (or 128) bytes.
TEST(MalformedText, UnterminatedFieldsMatchAtFullWidthOnly) {
    rztest::ScratchDir dir;
    rztest::LogCapture log;
    const std::string path = dir.file("texts.qv");
    unterminated_texts().write(path);
    QVFileDesc d{};
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(path.c_str(), &d, std::string(96, 'n').c_str()), QVPKG_OK);
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(path.c_str(), &d, std::string(95, 'n').c_str()),
              QVPKG_ERR_NOT_FOUND);
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(path.c_str(), &d, std::string(97, 'n').c_str()),
              QVPKG_ERR_NOT_FOUND);
    EXPECT_EQ(QVPKG_GetQVFileInfoByDesc(path.c_str(), &d, std::string(128, 'd').c_str()), QVPKG_OK);
    EXPECT_EQ(QVPKG_GetQVFileInfoByDesc(path.c_str(), &d, std::string(129, 'd').c_str()),
              QVPKG_ERR_NOT_FOUND);
    // The matchers on an image of exactly 352 heap bytes.
    const Package pkg = unterminated_texts();
    auto *bin = static_cast<BinHeader *>(std::malloc(sizeof(BinHeader)));
    std::memcpy(bin, pkg.bytes.data() + QVPKG_HEADER_SIZE, sizeof(BinHeader));
    EXPECT_EQ(QVPKG_IsNameMatch(bin, std::string(96, 'n').c_str()), 1);
    EXPECT_EQ(QVPKG_IsDescMatch(bin, "ddd"), 1);
    std::free(bin);
}

// Standalone bin files handed to stripping.
TEST(MalformedBinFile, StripAnswersWithACode) {
    rztest::ScratchDir dir;
    rztest::LogCapture log;
    rztest::FdLeakCheck fds;
    const auto bin = [](std::uint32_t dataLen, std::size_t payload) {
        Bytes b = rerazera::writer::make_bin_file(SubFile{1, "b", "", Bytes(payload, 1)});
        b[340] = static_cast<std::uint8_t>(dataLen >> 24);
        b[341] = static_cast<std::uint8_t>(dataLen >> 16);
        b[342] = static_cast<std::uint8_t>(dataLen >> 8);
        b[343] = static_cast<std::uint8_t>(dataLen);
        return b;
    };
    const struct {
        const char *name;
        Bytes bytes;
        std::int32_t result;
    } cases[] = {
        {"empty file", {}, QVPKG_ERR_IO},
        {"351 bytes", Bytes(351, 0), QVPKG_ERR_IO},
        {"dataLen one past the end", bin(11, 10), QVPKG_ERR_LENGTH},
        {"dataLen 2^32 - 1", bin(0xFFFFFFFFu, 10), QVPKG_ERR_LENGTH},
        {"dataLen 2^32 - 352 (wraps if 352 were added)", bin(0xFFFFFEA0u, 10), QVPKG_ERR_LENGTH},
    };
    const std::string out = dir.file("out.bin");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = dir.file("in.bin");
        rztest::write_file(in, c.bytes);
        EXPECT_EQ(QVPKG_StripBinHeader(in.c_str(), out.c_str()), c.result);
        EXPECT_FALSE(rztest::file_exists(out));
    }
    for (const char *special : {"/dev/null", "/dev/zero"}) {
        SCOPED_TRACE(special);
        EXPECT_EQ(QVPKG_StripBinHeader(special, out.c_str()), QVPKG_ERR_IO);
    }
    EXPECT_EQ(QVPKG_StripBinHeader(dir.path().c_str(), out.c_str()), QVPKG_ERR_IO);
    EXPECT_FALSE(rztest::file_exists(out));
}

}  // namespace
