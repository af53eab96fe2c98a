// Mapped verification: the mapping step, the sub-file test, the walk and the
// extension check, with exact verdicts, results and log lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "format/crc.hpp"
#include "rerazera.h"
#include "support/log_capture.hpp"
#include "support/scratch.hpp"
#include "verify/mapping.hpp"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;
using Lines = std::vector<std::string>;

constexpr char kOk[] = "Info: System software CRC check OK!\n";
constexpr char kFailed[] = "Info: System software CRC check failed!\n";
constexpr char kOutOfFile[] = "File length is wrong, offset is out of file size.\n";
constexpr std::uint32_t kLength = 8;  // descriptor field offsets
constexpr std::uint32_t kOffset = 4;
constexpr std::uint32_t kCrc = 12;
constexpr std::uint32_t kDataLen = 340;  // bin header field offsets
constexpr std::uint32_t kBinFileId = 8;
constexpr std::uint32_t kBinFileNum = 16;

SubFile file(std::uint32_t id, std::size_t size, std::uint8_t fill = 0x5A) {
    return SubFile{id, "f" + std::to_string(id), "file", std::vector<std::uint8_t>(size, fill)};
}

// Six sub-files 0x10..0x15; the last one ends exactly at the end of the file.
Package six_files() {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 6; ++i) {
        b.add(file(0x10 + i, 100 + i * 37, static_cast<std::uint8_t>(i + 1)));
    }
    return b.build();
}

// 255 header entries, the dummy bin file, and `ext` extend sub-files 0x1000...
Package extended(std::uint32_t ext = 3) {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(file(i + 1, 16));
    }
    if (ext == 0) {
        b.with_empty_extension();
    }
    for (std::uint32_t i = 0; i < ext; ++i) {
        b.add_extend(file(0x1000 + i, 1000, static_cast<std::uint8_t>(i)));
    }
    return b.build();
}

void set_entry(Package &pkg, std::uint32_t i, std::uint32_t field, std::uint32_t value) {
    pkg.set_be32(Package::entry_field(i, field), value);
    pkg.reseal_header();
}

// Entries of /proc/self/maps that name path.
int mappings_of(const std::string &path) {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) {
        count += line.size() >= path.size() &&
                 line.compare(line.size() - path.size(), path.size(), path) == 0;
    }
    return count;
}

struct Verdict {
    std::int32_t result;
    std::string text;
};

Verdict walk(const Package &pkg) {
    char msg[512] = "stale";
    const std::int32_t r = QVPKG_ChkSubFileInfo(
        pkg.bytes.data(), static_cast<std::uint32_t>(pkg.bytes.size()), msg, sizeof msg);
    return {r, msg};
}

std::string failed(const std::string &first) {
    return first + kFailed;
}

class VerifyTest : public ::testing::Test {
  protected:
    std::string write(const Package &pkg, const std::string &name = "pkg.qv") {
        const std::string path = dir_.file(name);
        pkg.write(path);
        return path;
    }

    rztest::ScratchDir dir_;
    rztest::LogCapture log_;
    rztest::FdLeakCheck fds_;
};

TEST_F(VerifyTest, MapHandsOutWholeFileAndUnmapReleasesIt) {
    const Package pkg = six_files();
    const std::string path = write(pkg);
    char msg[64] = "kept";
    std::uint32_t len = 0;
    std::uint8_t *base = QVPKG_MapQVFile(path.c_str(), &len, msg, sizeof msg);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(len, pkg.bytes.size());
    EXPECT_EQ(std::vector<std::uint8_t>(base, base + len), pkg.bytes);
    EXPECT_STREQ(msg, "kept");
    EXPECT_EQ(mappings_of(path), 1);
    EXPECT_EQ(QVPKG_ChkSubFileInfo(base, len, msg, sizeof msg), QVPKG_OK);
    EXPECT_STREQ(msg, kOk);
    EXPECT_EQ(QVPKG_UnmapQVFile(base, len), 0);
    EXPECT_EQ(mappings_of(path), 0);
    EXPECT_EQ(QVPKG_UnmapQVFile(base + 1, len), -1);  // not page-aligned: refused
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(VerifyTest, MapRefusals) {
    char msg[64] = "kept";
    std::uint32_t len = 777;
    const std::string missing = dir_.file("missing.qv");
    EXPECT_EQ(QVPKG_MapQVFile(missing.c_str(), &len, msg, sizeof msg), nullptr);
    EXPECT_STREQ(msg, "kept");

    for (std::size_t size : {std::size_t{6179}, std::size_t{0}}) {
        rztest::write_file(dir_.file("short.qv"), std::vector<std::uint8_t>(size, 0));
        EXPECT_EQ(QVPKG_MapQVFile(dir_.file("short.qv").c_str(), &len, msg, sizeof msg), nullptr);
        EXPECT_STREQ(msg, "File length is wrong, less than header.\n");
    }

    // A sparse file of 2 GiB: its length does not fit a signed 32-bit position.
    const std::string big = dir_.file("big.qv");
    const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 31), 0);
    ::close(fd);
    EXPECT_EQ(QVPKG_MapQVFile(big.c_str(), &len, msg, sizeof msg), nullptr);
    EXPECT_STREQ(msg, "move qv file offset fail! \n");
    EXPECT_EQ(len, 777u);
    EXPECT_EQ(mappings_of(big), 0);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(VerifyTest, BareHeaderPackageMapsAndPasses) {
    const std::string path = dir_.file("empty.qv");
    rztest::write_file(path, std::vector<std::uint8_t>(6180, 0));  // fileNum 0, CRC 0
    char msg[64] = "";
    std::uint32_t len = 0;
    std::uint8_t *base = QVPKG_MapQVFile(path.c_str(), &len, msg, sizeof msg);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(len, 6180u);
    EXPECT_EQ(QVPKG_ChkSubFileInfo(base, len, msg, sizeof msg), QVPKG_OK);
    EXPECT_STREQ(msg, kOk);
    EXPECT_EQ(QVPKG_UnmapQVFile(base, len), 0);
}

// One defect per case; the walk's verdict and result, and the log lines.
struct Defect {
    const char *name;
    std::function<void(Package &)> apply;
    std::int32_t result;
    std::string verdict;
    Lines log;
};

TEST_F(VerifyTest, WalkVerdicts) {
    const std::uint32_t fileLen = static_cast<std::uint32_t>(six_files().bytes.size());
    const std::vector<Defect> defects = {
        {"intact", [](Package &) {}, QVPKG_OK, kOk, {}},
        {"header crc",
         [](Package &p) { p.set_be32(6176, p.be32(6176) ^ 1); },
         QVPKG_ERR_HEADER,
         "Check QV header fail! \n",
         {"[RERAZERA]Boot file CRC check not ok.\n\n"}},
        {"file num 257",
         [](Package &p) {
             p.set_file_num(257);
             p.reseal_header();
         },
         QVPKG_ERR_HEADER,
         "Check QV header fail! \n",
         {"[RERAZERA]File is wrong, file num is over upper limit\n\n"}},
        {"length 100",
         [](Package &p) { set_entry(p, 1, kLength, 100); },
         QVPKG_ERR,
         failed("File length is less than head size, 100\n"),
         {}},
        {"length 351",
         [](Package &p) { set_entry(p, 1, kLength, 351); },
         QVPKG_ERR,
         failed("File length is less than head size, 351\n"),
         {}},
        {"head crc",
         [](Package &p) { p.bytes[p.entryOffsets[1] + 200] ^= 1; },
         QVPKG_ERR,
         failed("head crc is not correct. fileID =0x11\n"),
         {}},
        {"head crc upper bit",
         [](Package &p) {
             const std::size_t at = p.entryOffsets[1] + 4;
             p.set_be32(at, p.be32(at) | 0x00010000u);
         },
         QVPKG_ERR,
         failed("head crc is not correct. fileID =0x11\n"),
         {}},
        {"payload byte",
         [](Package &p) { p.bytes[p.entryOffsets[1] + 352 + 50] ^= 0x80; },
         QVPKG_ERR,
         failed("file crc is not correct. fileID =0x11\n"),
         {}},
        {"crc upper bit",
         [](Package &p) {
             set_entry(p, 1, kCrc, p.be32(Package::entry_field(1, kCrc)) | 0x10000u);
         },
         QVPKG_ERR,
         failed("file crc is not correct. fileID =0x11\n"),
         {}},
        {"data past sub-file",  // one byte more than the sub-file holds
         [](Package &p) {
             const std::size_t at = p.entryOffsets[1];
             p.set_be32(at + kDataLen, p.be32(Package::entry_field(1, kLength)) - 352 + 1);
             p.reseal_bin_header(at);
         },
         QVPKG_ERR,
         failed("data length is over file length. fileID =0x11\n"),
         {}},
        {"last ends one past the file",
         [](Package &p) { set_entry(p, 5, kLength, p.be32(Package::entry_field(5, kLength)) + 1); },
         QVPKG_ERR_LENGTH,
         kOutOfFile,
         {}},
        {"offset + length wraps 2^32",
         [](Package &p) {
             set_entry(p, 2, kOffset, 0xFFFFFF00u);
             set_entry(p, 2, kLength, 512);
         },
         QVPKG_ERR_LENGTH,
         kOutOfFile,
         {}},
        {"empty entry at the very end",
         [fileLen](Package &p) {
             set_entry(p, 3, kLength, 0);
             set_entry(p, 3, kOffset, fileLen);
         },
         QVPKG_OK,
         kOk,
         {}},
        {"empty entry one past the end",
         [fileLen](Package &p) {
             set_entry(p, 3, kLength, 0);
             set_entry(p, 3, kOffset, fileLen + 1);
         },
         QVPKG_ERR_LENGTH,
         kOutOfFile,
         {}},
        {"entry 2 head crc before entry 5 out of file",
         [](Package &p) {
             p.bytes[p.entryOffsets[2] + 100] ^= 1;
             set_entry(p, 5, kOffset, 0x7FFFFFFFu);
         },
         QVPKG_ERR,
         failed("head crc is not correct. fileID =0x12\n"),
         {}},
        {"entry 1 out of file before entry 3 too short",
         [](Package &p) {
             set_entry(p, 1, kOffset, 0x7FFFFFFFu);
             set_entry(p, 3, kLength, 10);
         },
         QVPKG_ERR_LENGTH,
         kOutOfFile,
         {}},
    };
    for (const Defect &d : defects) {
        SCOPED_TRACE(d.name);
        Package pkg = six_files();
        d.apply(pkg);
        log_.clear();
        const Verdict v = walk(pkg);
        EXPECT_EQ(v.result, d.result);
        EXPECT_EQ(v.text, d.verdict);
        EXPECT_EQ(log_.lines(), d.log);
    }
}

TEST_F(VerifyTest, SubFileOfBareBinHeader) {
    // Length 352, dataLen 0: the payload checksum is that of no bytes, 0.
    Package pkg = PackageBuilder().add(file(0x42, 0)).build();
    EXPECT_EQ(walk(pkg).result, QVPKG_OK);
    set_entry(pkg, 0, kCrc, 1);
    EXPECT_EQ(walk(pkg).text, failed("file crc is not correct. fileID =0x42\n"));

    // A dataLen of 2^31 or more is a count the checksum does not take: it sums
    // nothing. Only a descriptor claiming 4 GiB lets it fit the sub-file.
    const std::vector<std::uint8_t> bin =
        rerazera::writer::make_bin_header(file(7, 0), 0x80000000u, 7);
    char msg[64] = "";
    const QVFileDesc huge{7, 0, 0xFFFFFFFFu, 0, 0, 0};
    EXPECT_EQ(QVPKG_ChkSubfile(bin.data(), &huge, msg, sizeof msg), QVPKG_OK);
    const QVFileDesc fits{7, 0, 0x80000000u + 351, 0, 0, 0};
    EXPECT_EQ(QVPKG_ChkSubfile(bin.data(), &fits, msg, sizeof msg), QVPKG_ERR);
    EXPECT_STREQ(msg, "data length is over file length. fileID =0x7\n");
}

TEST_F(VerifyTest, VerdictsAreCutToTheBuffer) {
    Package pkg = six_files();
    pkg.bytes[pkg.entryOffsets[4] + 352] ^= 1;
    const std::string full = failed("file crc is not correct. fileID =0x14\n");
    char msg[32];
    std::memset(msg, 'x', sizeof msg);
    EXPECT_EQ(QVPKG_ChkSubFileInfo(pkg.bytes.data(), static_cast<std::uint32_t>(pkg.bytes.size()),
                                   msg, 20),
              QVPKG_ERR);
    EXPECT_EQ(std::string(msg), full.substr(0, 19));
    EXPECT_EQ(msg[20], 'x');
    EXPECT_EQ(QVPKG_ChkSubFileInfo(pkg.bytes.data(), static_cast<std::uint32_t>(pkg.bytes.size()),
                                   msg, 1),
              QVPKG_ERR);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(msg[1], full[1]);  // nothing past the one byte given
}

TEST_F(VerifyTest, WalkChecksTheExtension) {
    const Package good = extended();
    EXPECT_EQ(walk(good).result, QVPKG_OK);
    EXPECT_EQ(walk(extended(0)).result, QVPKG_OK);

    // A corrupt extend subfile: invisible to the header's own entries.
    Package pkg = good;
    pkg.bytes[pkg.extOffsets[2] + 352 + 999] ^= 1;
    EXPECT_EQ(walk(pkg).text, failed("file crc is not correct. fileID =0x1002\n"));
    EXPECT_EQ(walk(pkg).result, QVPKG_ERR);
    EXPECT_TRUE(log_.lines().empty());

    // The dummy bin file's own defects, logged by the extension check.
    pkg = good;
    pkg.set_be32(pkg.dummyOffset + kBinFileId, 0x12CD0000u);
    pkg.reseal_bin_header(pkg.dummyOffset);
    EXPECT_EQ(walk(pkg).text, failed("[ext]The dummy bin fileID is wrong!\n"));
    EXPECT_EQ(
        log_.lines(),
        (Lines{"[RERAZERA]This is not extend file: 9, [ext]The dummy bin fileID is wrong!\n\n\n"}));

    // A table CRC word with an upper bit set; entry 255's payload checksum
    // re-made so that only the table check can see it.
    pkg = good;
    const std::size_t tableCrc = pkg.ext_entry_field(3, 0);
    pkg.set_be32(tableCrc, pkg.be32(tableCrc) | 0x00010000u);
    set_entry(pkg, 255, kCrc,
              rerazera::writer::crc16(pkg.bytes.data() + pkg.tableOffset, QVPKG_2ND_TABLE_SIZE(3)));
    log_.clear();
    EXPECT_EQ(walk(pkg).text, failed("[ext]The sub header file CRC is wrong\n"));
    EXPECT_EQ(
        log_.lines(),
        (Lines{
            "[RERAZERA]2nd file desc is not ok: 7 [ext]The sub header file CRC is wrong\n\n\n"}));
}

TEST_F(VerifyTest, WalkBoundsTheExtensionByTheMapping) {
    const Package good = extended();
    const auto fileLen = static_cast<std::uint32_t>(good.bytes.size());

    Package pkg = good;  // the last extend subfile, one byte past the end
    pkg.set_be32(pkg.ext_entry_field(2, kLength), fileLen - pkg.extOffsets[2] + 1);
    pkg.reseal_table();
    set_entry(pkg, 255, kCrc,
              rerazera::writer::crc16(pkg.bytes.data() + pkg.tableOffset, QVPKG_2ND_TABLE_SIZE(3)));
    EXPECT_EQ(walk(pkg).result, QVPKG_ERR_LENGTH);
    EXPECT_EQ(walk(pkg).text, kOutOfFile);
    ASSERT_EQ(good.extOffsets[2] + 352 + 1000, fileLen);  // it ended exactly there, and passed

    pkg = good;  // a count whose table would run far past the file
    pkg.set_be32(pkg.dummyOffset + kBinFileNum, 0xFFFFF);
    pkg.reseal_bin_header(pkg.dummyOffset);
    EXPECT_EQ(walk(pkg).text, kOutOfFile);

    // An empty entry 255 naming a dummy whose header would cross the end.
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(file(i + 1, 4));
    }
    Package tail = b.add_raw(RawDesc{DUMMY_DESC_FILE_ID, 0, 0, 0, 0, 0}).build();
    set_entry(tail, 255, kOffset, static_cast<std::uint32_t>(tail.bytes.size()) - 351);
    EXPECT_EQ(walk(tail).text, kOutOfFile);
    EXPECT_TRUE(log_.lines().empty());

    // 256 ordinary entries open no extension and verify as before.
    PackageBuilder full;
    for (std::uint32_t i = 0; i < 256; ++i) {
        full.add(file(i + 1, 4));
    }
    EXPECT_EQ(walk(full.build()).result, QVPKG_OK);
}

TEST_F(VerifyTest, ExportedExtensionCheck) {
    char msg[128] = "kept";
    Package empty = extended(0);
    QVFileDesc ext{DUMMY_DESC_FILE_ID, empty.dummyOffset, 0, 0, 0, 0};
    EXPECT_EQ(QVPKG_ChkQVExtFileInfo(empty.bytes.data(), &ext, msg, sizeof msg), QVPKG_OK);
    EXPECT_STREQ(msg, "kept");

    Package pkg = extended();
    ext.offset = pkg.dummyOffset;
    pkg.bytes[pkg.extOffsets[0] + 400] ^= 1;
    EXPECT_EQ(QVPKG_ChkQVExtFileInfo(pkg.bytes.data(), &ext, msg, sizeof msg), QVPKG_ERR);
    EXPECT_STREQ(msg, "file crc is not correct. fileID =0x1000\n");
    EXPECT_TRUE(log_.lines().empty());

    ext.fileId = 0xABEF0000u;
    EXPECT_EQ(QVPKG_ChkQVExtFileInfo(pkg.bytes.data(), &ext, msg, sizeof msg), QVPKG_ERR);
    EXPECT_STREQ(msg, "[ext]The 256th file is not dummy file!\n");
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]This is not extend file: 4294967295, "
                                   "[ext]The 256th file is not dummy file!\n\n\n"}));

    // N over the limit: logged only, so the line carries the caller's text.
    log_.clear();
    ext.fileId = DUMMY_DESC_FILE_ID;
    pkg.set_be32(pkg.dummyOffset + kBinFileNum, 0x100000);
    pkg.reseal_bin_header(pkg.dummyOffset);
    std::strcpy(msg, "before");
    EXPECT_EQ(QVPKG_ChkQVExtFileInfo(pkg.bytes.data(), &ext, msg, sizeof msg), QVPKG_ERR_EXTEND);
    EXPECT_STREQ(msg, "before");
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]File is wrong, file num is over upper limit\n\n",
                                   "[RERAZERA]This is not extend file: 9, before\n\n"}));
}

// Long payloads are brought in and summed in chunks by the check entry; the
// CRC runs on across chunk edges, so verdicts are those of one long run.
TEST_F(VerifyTest, ChunkedChecksumsOfLongPayloads) {
    const std::size_t big = rerazera::PageFeeder::kChunk + 12345;
    std::vector<std::uint8_t> payload(big);
    for (std::size_t i = 0; i < big; ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 131 + (i >> 13));
    }
    Package pkg = PackageBuilder().add(file(1, 100)).add(SubFile{2, "big", "big", payload}).build();
    const std::string path = write(pkg);

    char msg[128] = "";
    const rerazera::Mapping mapping = rerazera::map_package(path.c_str(), msg, sizeof msg);
    ASSERT_TRUE(mapping);
    const rerazera::PageFeeder feeder(mapping);
    const std::uint8_t *p = mapping.data() + pkg.entryOffsets[1] + 352;
    EXPECT_EQ(rerazera::crc16_mapped(p, big, &feeder), rerazera::crc16(payload.data(), big));
    feeder.feed(mapping.data() + mapping.size() - 10, 1u << 30);  // clipped to the mapping
    feeder.feed(mapping.data() - 4096, 100);                      // before it: ignored

    // A byte flipped in the second chunk, through the whole check entry.
    pkg.bytes[pkg.entryOffsets[1] + 352 + big - 7] ^= 0x10;
    write(pkg, "flipped.qv");
    EXPECT_EQ(QVPKG_ChkQVFileInfo(dir_.file("flipped.qv").c_str(), msg, sizeof msg), QVPKG_ERR);
    EXPECT_EQ(std::string(msg), failed("file crc is not correct. fileID =0x2\n"));
    EXPECT_EQ(QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg), QVPKG_OK);
}

}  // namespace
