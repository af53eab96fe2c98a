// Sub-file lookup: by ID (header table, then extension), the bin-header scan
// with its matchers, and the rpg question: results, exact log sequences and
// out-records left untouched on failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
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
using Lines = std::vector<std::string>;

constexpr char kNotFound[] = "[RERAZERA]File not found in package!\n\n";
constexpr char kNoExtension[] = "[RERAZERA]file number less than 256, no extend subfiles!\n\n";
constexpr char kRpgAbsent[] = "[RERAZERA]Get rpg file info from QV header unsuccess! \n\n";
constexpr QVFileDesc kUntouched{0xA5A5A5A5u, 1, 2, 3, 4, 5};
constexpr auto kRpg = static_cast<std::uint32_t>(RPG_FILE_ID);

QVFileDesc header_entry(const Package &pkg, std::uint32_t i) {
    return QVFileDesc{pkg.be32(Package::entry_field(i, 0)),  pkg.be32(Package::entry_field(i, 4)),
                      pkg.be32(Package::entry_field(i, 8)),  pkg.be32(Package::entry_field(i, 12)),
                      pkg.be32(Package::entry_field(i, 16)), pkg.be32(Package::entry_field(i, 20))};
}

QVFileDesc ext_entry(const Package &pkg, std::uint32_t i) {
    return QVFileDesc{pkg.be32(pkg.ext_entry_field(i, 0)),  pkg.be32(pkg.ext_entry_field(i, 4)),
                      pkg.be32(pkg.ext_entry_field(i, 8)),  pkg.be32(pkg.ext_entry_field(i, 12)),
                      pkg.be32(pkg.ext_entry_field(i, 16)), pkg.be32(pkg.ext_entry_field(i, 20))};
}

bool same(const QVFileDesc &a, const QVFileDesc &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Three real sub-files with names and descriptions.
Package small_package() {
    return PackageBuilder()
        .add(SubFile{0x10, "boot.bin", "first stage bootloader", {1, 2, 3}, 11, 12})
        .add(SubFile{0x20, "kernel.bin", "linux kernel image", {4, 5}, 21, 22})
        .add(SubFile{0x10, "", "second with id 0x10", {6}, 31, 32})
        .build();
}

// 255 header entries (real sub-files), the dummy, and extend sub-files.
PackageBuilder full_header(std::uint32_t firstId = 0x1000) {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(SubFile{firstId + i, "h" + std::to_string(i), "header file", {}, 0, 0});
    }
    return b;
}

class LookupTest : public ::testing::Test {
  protected:
    const std::string &write(const Package &pkg) {
        path_ = dir_.file("pkg.qv");
        pkg.write(path_);
        char resolved[4096];
        if (::realpath(path_.c_str(), resolved) != nullptr) {
            resolved_ = resolved;
        }
        log_.clear();
        info_ = kUntouched;
        return path_;
    }
    std::int32_t by_id(std::uint32_t id) {
        return QVPKG_GetQVFileInfo(path_.c_str(), &info_, static_cast<std::int32_t>(id));
    }
    std::int32_t by_name(const char *name) {
        return QVPKG_GetQVFileInfoByName(path_.c_str(), &info_, name);
    }
    std::int32_t by_desc(const char *desc) {
        return QVPKG_GetQVFileInfoByDesc(path_.c_str(), &info_, desc);
    }

    rztest::ScratchDir dir_;
    rztest::LogCapture log_;
    rztest::FdLeakCheck fds_;
    std::string path_;
    std::string resolved_;
    QVFileDesc info_{};
};

TEST_F(LookupTest, IdInHeaderTableLowestIndexWins) {
    const Package pkg = small_package();
    write(pkg);
    EXPECT_EQ(by_id(0x20), QVPKG_OK);
    EXPECT_TRUE(same(info_, header_entry(pkg, 1)));
    EXPECT_EQ(info_.aux0, 21u);
    EXPECT_EQ(by_id(0x10), QVPKG_OK);  // entries 0 and 2 share the ID
    EXPECT_TRUE(same(info_, header_entry(pkg, 0)));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(LookupTest, IdBeyondFileNumIsNotLooked) {
    Package pkg = small_package();
    pkg.set_file_num(2);  // entry 2 stays in the table but out of use
    pkg.set_be32(Package::entry_field(2, 0), 0x30);
    pkg.reseal_header();
    write(pkg);
    EXPECT_EQ(by_id(0x30), QVPKG_ERR_NO_EXTEND);
    EXPECT_EQ(by_id(0x10 | 0x00010000u), QVPKG_ERR_NO_EXTEND);  // all 32 bits compared
    EXPECT_EQ(log_.lines(), (Lines{kNoExtension, kNotFound, kNoExtension, kNotFound}));
    EXPECT_TRUE(same(info_, kUntouched));

    pkg.set_file_num(0);
    pkg.reseal_header();
    write(pkg);
    EXPECT_EQ(by_id(0x10), QVPKG_ERR_NO_EXTEND);
    EXPECT_EQ(log_.lines(), (Lines{kNoExtension, kNotFound}));
}

TEST_F(LookupTest, HeaderTableWinsOverExtension) {
    const Package pkg = full_header()
                            .add_extend(SubFile{0x1005, "dup", "", {9}, 0, 0})
                            .add_extend(SubFile{0x7000, "ext.bin", "extend only", {8, 8}, 71, 72})
                            .add_extend(SubFile{kRpg, "rpg", "", {}, 0, 0})
                            .build();
    write(pkg);
    EXPECT_EQ(by_id(0x1005), QVPKG_OK);
    EXPECT_TRUE(same(info_, header_entry(pkg, 5)));
    EXPECT_EQ(by_id(0x1000 + 254), QVPKG_OK);  // entry fileNum - 2, the last real one
    EXPECT_TRUE(same(info_, header_entry(pkg, 254)));
    EXPECT_EQ(by_id(0x7000), QVPKG_OK);
    EXPECT_TRUE(same(info_, ext_entry(pkg, 1)));
    EXPECT_EQ(info_.aux1, 72u);
    // The dummy is entry 255 of the header's own table.
    EXPECT_EQ(by_id(DUMMY_DESC_FILE_ID), QVPKG_OK);
    EXPECT_TRUE(same(info_, header_entry(pkg, 255)));
    EXPECT_EQ(QVPKG_ChkqvTypeFromRpg(path_.c_str()), QVPKG_OK);  // rpg only in the extension
    EXPECT_TRUE(log_.lines().empty());

    info_ = kUntouched;
    EXPECT_EQ(by_id(0x7001), QVPKG_ERR);
    EXPECT_EQ(log_.lines(), (Lines{kNotFound}));
    EXPECT_TRUE(same(info_, kUntouched));
}

TEST_F(LookupTest, DummyFoundWithoutConsultingExtension) {
    Package pkg = full_header().add_extend(SubFile{0x7000, "x", "", {}, 0, 0}).build();
    pkg.set_be32(pkg.dummyOffset + 8, 0);  // the extension is broken
    write(pkg);
    EXPECT_EQ(by_id(DUMMY_DESC_FILE_ID), QVPKG_OK);
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_EQ(by_id(0x7000), QVPKG_ERR_EXTEND);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]This is not extend file: 9, [ext]The dummy bin "
                                   "fileID is wrong!\n\n\n",
                                   kNotFound}));
}

TEST_F(LookupTest, FullHeaderWithoutDummy) {
    PackageBuilder b = full_header();
    b.add(SubFile{0x2000, "last", "", {}, 0, 0});
    write(b.build());
    EXPECT_EQ(by_id(0x3000), QVPKG_ERR);
    EXPECT_EQ(log_.lines(),
              (Lines{"[RERAZERA]This is not extend file: 4294967295, [ext]The 256th file is not "
                     "dummy file!\n\n\n",
                     kNotFound}));
    EXPECT_EQ(QVPKG_ChkqvTypeFromRpg(path_.c_str()), QVPKG_ERR);
    EXPECT_EQ(log_.lines().back(), kRpgAbsent);
}

TEST_F(LookupTest, UnusableHeaderGives11ToEveryLookup) {
    Package pkg = small_package();
    pkg.set_be32(6176, pkg.be32(6176) ^ 1);
    write(pkg);
    const Lines bad{"[RERAZERA]Boot file CRC check not ok.\n\n",
                    "[RERAZERA]Check QV header unsuccess 7.\n\n",
                    "[RERAZERA]Read QV header unsuccess.\n\n"};
    EXPECT_EQ(by_id(0x10), QVPKG_ERR_HEADER);
    EXPECT_EQ(log_.lines(), bad);
    log_.clear();
    EXPECT_EQ(by_name("boot.bin"), QVPKG_ERR_HEADER);
    EXPECT_EQ(log_.lines(), bad);
    log_.clear();
    EXPECT_EQ(QVPKG_ChkqvTypeFromRpg(path_.c_str()), QVPKG_ERR);
    Lines withRpg = bad;
    withRpg.push_back(kRpgAbsent);
    EXPECT_EQ(log_.lines(), withRpg);
    EXPECT_TRUE(same(info_, kUntouched));
}

TEST_F(LookupTest, RpgCheck) {
    write(PackageBuilder()
              .add(SubFile{0x1, "a", "", {}, 0, 0})
              .add(SubFile{kRpg, "rpg", "", {}, 0, 0})
              .build());
    EXPECT_EQ(QVPKG_ChkqvTypeFromRpg(path_.c_str()), QVPKG_OK);
    EXPECT_TRUE(log_.lines().empty());

    write(small_package());
    EXPECT_EQ(QVPKG_ChkqvTypeFromRpg(path_.c_str()), QVPKG_ERR);
    EXPECT_EQ(log_.lines(), (Lines{kNoExtension, kNotFound, kRpgAbsent}));

    log_.clear();
    const std::string missing = dir_.file("missing.qv");
    EXPECT_EQ(QVPKG_ChkqvTypeFromRpg(missing.c_str()), QVPKG_ERR);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Get " + missing + "'s realpath unsuccess.\n\n",
                                   "[RERAZERA]Read QV file header unsuccess 4.\n\n",
                                   "[RERAZERA]Read QV header unsuccess.\n\n", kRpgAbsent}));
}

TEST_F(LookupTest, NameMatchesExactly) {
    const Package pkg = small_package();
    write(pkg);
    EXPECT_EQ(by_name("kernel.bin"), QVPKG_OK);
    EXPECT_TRUE(same(info_, header_entry(pkg, 1)));
    EXPECT_EQ(by_name(""), QVPKG_OK);  // the first entry whose name is empty
    EXPECT_TRUE(same(info_, header_entry(pkg, 2)));
    info_ = kUntouched;
    for (const char *miss : {"kernel", "kernel.bin2", "Kernel.bin", "kernel.bin "}) {
        EXPECT_EQ(by_name(miss), QVPKG_ERR_NOT_FOUND) << miss;
    }
    EXPECT_TRUE(same(info_, kUntouched));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(LookupTest, DescMatchesSubstring) {
    const Package pkg = small_package();
    write(pkg);
    EXPECT_EQ(by_desc("kernel"), QVPKG_OK);
    EXPECT_TRUE(same(info_, header_entry(pkg, 1)));
    EXPECT_EQ(by_desc("stage boot"), QVPKG_OK);
    EXPECT_TRUE(same(info_, header_entry(pkg, 0)));
    EXPECT_EQ(by_desc("0x10"), QVPKG_OK);
    EXPECT_TRUE(same(info_, header_entry(pkg, 2)));
    EXPECT_EQ(by_desc(""), QVPKG_OK);
    EXPECT_TRUE(same(info_, header_entry(pkg, 0)));
    EXPECT_EQ(by_desc("Kernel"), QVPKG_ERR_NOT_FOUND);
    EXPECT_EQ(by_desc("boot.bin"), QVPKG_ERR_NOT_FOUND);  // a name, not a description
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(LookupTest, ScanSearchesHeaderTableOnly) {
    write(full_header().add_extend(SubFile{0x7000, "ext.bin", "extend desc", {1}, 0, 0}).build());
    EXPECT_EQ(by_name("ext.bin"), QVPKG_ERR_NOT_FOUND);
    EXPECT_EQ(by_desc("extend desc"), QVPKG_ERR_NOT_FOUND);
    EXPECT_EQ(by_name("dummy"), QVPKG_OK);  // the dummy bin file is entry 255
    EXPECT_EQ(info_.fileId, DUMMY_DESC_FILE_ID);
    EXPECT_TRUE(log_.lines().empty());

    write(PackageBuilder().build());  // fileNum 0: nothing read, nothing logged
    EXPECT_EQ(by_desc(""), QVPKG_ERR_NOT_FOUND);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(LookupTest, ScanStopsAtUnreadableEntry) {
    const auto build = [](std::uint32_t badOffset) {
        return PackageBuilder()
            .add(SubFile{0x1, "a", "", {}, 0, 0})
            .add_raw(RawDesc{0x2, badOffset, 352, 0, 0, 0})
            .add(SubFile{0x3, "target", "", {}, 0, 0})
            .build();
    };
    Package pkg = build(0);
    const auto size = static_cast<std::uint32_t>(pkg.bytes.size());
    const std::string stop = "[RERAZERA]Read file unsuccess 1 not ok 2.\n";

    write(build(size - 351));  // less than a bin header before the end
    EXPECT_EQ(by_name("target"), QVPKG_ERR);
    EXPECT_EQ(log_.lines(),
              (Lines{"[RERAZERA]Read file " + resolved_ + " unsuccess 351 352.\n\n", stop}));
    EXPECT_EQ(by_name("a"), QVPKG_OK);  // entries before it still match

    write(build(size + 10));  // beyond the end
    EXPECT_EQ(by_name("target"), QVPKG_ERR);
    EXPECT_EQ(log_.lines(),
              (Lines{"[RERAZERA]Read file " + resolved_ + " unsuccess 0 352.\n\n", stop}));

    write(build(0x80000000u));  // not a 32-bit signed position
    EXPECT_EQ(by_name("target"), QVPKG_ERR);
    EXPECT_EQ(
        log_.lines(),
        (Lines{"[RERAZERA]seek file " + resolved_ + " unsuccess 2147483648, errno(22)\n\n", stop}));
    EXPECT_TRUE(same(info_, kUntouched));
}

int32_t g_calls = 0;
int32_t count_and_match_second(const BinHeader *, const char *key) {
    ++g_calls;
    return g_calls == 2 ? static_cast<int32_t>(std::strlen(key)) * -1 : 0;
}

TEST_F(LookupTest, CustomMatcherAnyNonZeroStops) {
    const Package pkg = small_package();
    write(pkg);
    g_calls = 0;
    EXPECT_EQ(QVPKG_GetQVFileInfoByBinHeader(path_.c_str(), &info_, count_and_match_second, "xyz"),
              QVPKG_OK);
    EXPECT_EQ(g_calls, 2);
    EXPECT_TRUE(same(info_, header_entry(pkg, 1)));
}

TEST_F(LookupTest, NullArgumentsRefused) {
    write(small_package());
    EXPECT_EQ(QVPKG_GetQVFileInfo(nullptr, &info_, 0x10), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_GetQVFileInfo(path_.c_str(), nullptr, 0x10), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_GetQVFileInfoByBinHeader(path_.c_str(), &info_, nullptr, "a"),
              QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(nullptr, &info_, "a"), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(path_.c_str(), &info_, nullptr), QVPKG_ERR_NOT_FOUND);
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_EQ(QVPKG_ChkqvTypeFromRpg(nullptr), QVPKG_ERR);
    EXPECT_EQ(log_.lines(), (Lines{kRpgAbsent}));
}

// ---- Matchers on bin header images --------------------------------------------

std::vector<std::uint8_t> bin_header(const std::string &desc, const std::string &name) {
    std::vector<std::uint8_t> h(BIN_HEADER_SIZE, 0);
    std::memcpy(h.data() + 116, desc.data(), std::min<std::size_t>(desc.size(), 128));
    std::memcpy(h.data() + 244, name.data(), std::min<std::size_t>(name.size(), 96));
    return h;
}

const BinHeader *as_bin(const std::vector<std::uint8_t> &h) {
    return reinterpret_cast<const BinHeader *>(h.data());
}

TEST(MatcherTest, TextFieldsEndAtTheirWidth) {
    // A name filling all 96 bytes, followed by a non-zero dataLen.
    std::vector<std::uint8_t> h = bin_header(std::string(128, 'd'), std::string(96, 'n'));
    h[340] = 'n';
    h[341] = 'X';
    const std::string full(96, 'n');
    EXPECT_EQ(QVPKG_IsNameMatch(as_bin(h), full.c_str()), 1);
    EXPECT_EQ(QVPKG_IsNameMatch(as_bin(h), (full + "n").c_str()), 0);
    EXPECT_EQ(QVPKG_IsNameMatch(as_bin(h), (full + "nX").c_str()), 0);
    EXPECT_EQ(QVPKG_IsNameMatch(as_bin(h), full.substr(1).c_str()), 0);
    // A full desc does not run on into the name that follows it.
    EXPECT_EQ(QVPKG_IsDescMatch(as_bin(h), "dddd"), 1);
    EXPECT_EQ(QVPKG_IsDescMatch(as_bin(h), "dn"), 0);
    EXPECT_EQ(QVPKG_IsDescMatch(as_bin(h), std::string(129, 'd').c_str()), 0);
    EXPECT_EQ(QVPKG_IsDescMatch(as_bin(h), std::string(128, 'd').c_str()), 1);
}

// ---- Scale ----------------------------------------------------------------------

TEST_F(LookupTest, LargestExtension) {
    PackageBuilder ok = full_header();
    for (std::uint32_t i = 0; i < EXT_MAX_FILE_NUM - 1; ++i) {
        ok.add_extend_raw(RawDesc{0x100000u + i, i, 1, 0, 0, i});
    }
    ok.add_extend_raw(RawDesc{kRpg, 7, 8, 9, 10, 11});
    const Package pkg = ok.build();
    ASSERT_EQ(pkg.extCount, EXT_MAX_FILE_NUM);
    write(pkg);
    EXPECT_EQ(by_id(kRpg), QVPKG_OK);
    EXPECT_TRUE(same(info_, QVFileDesc{kRpg, 7, 8, 9, 10, 11}));
    EXPECT_EQ(by_id(0x100000u + 12345), QVPKG_OK);
    EXPECT_EQ(info_.aux1, 12345u);
    EXPECT_EQ(by_id(0x0FFFFF), QVPKG_ERR);
    EXPECT_EQ(log_.lines(), (Lines{kNotFound}));
}

}  // namespace
