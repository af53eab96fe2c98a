// The extension area: the two in-memory checks (dummy bin header, second
// table) and, over package files, the extension lookup with its exact log
// lines, codes and untouched out-records.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rerazera.h"
#include "support/log_capture.hpp"
#include "support/sanitizers.hpp"
#include "support/scratch.hpp"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;
using Lines = std::vector<std::string>;

constexpr char kOverLimit[] = "[RERAZERA]File is wrong, file num is over upper limit\n\n";
constexpr char kPrior[] = "caller text";

// 255 header entries, then the dummy bin file listing `ext` extend sub-files.
PackageBuilder with_header_entries(std::uint32_t first = 0x100) {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add_raw(RawDesc{first + i, 0, 0, 0, 0, 0});
    }
    return b;
}

Package ext_package() {
    return with_header_entries()
        .add_extend(SubFile{0x5001, "a.bin", "first extend", {1, 2, 3}, 7, 8})
        .add_extend(SubFile{0x5002, "b.bin", "second extend", {4, 5}, 9, 10})
        .add_extend_raw(RawDesc{0x5001, 1, 2, 3, 4, 5})  // duplicate ID, later index
        .build();
}

// The 24-byte entry 255 of a package, decoded.
QVFileDesc entry255(const Package &pkg) {
    QVFileDesc d{};
    d.fileId = pkg.be32(Package::entry_field(255, 0));
    d.offset = pkg.be32(Package::entry_field(255, 4));
    return d;
}

class ExtensionCheckTest : public ::testing::Test {
  protected:
    ExtensionCheckTest() : pkg_(ext_package()) { std::strcpy(msg_, kPrior); }

    std::int32_t check_dummy() {
        const QVFileDesc ext = entry255(pkg_);
        return QVPKG_isValidExtQV(&ext, dummy(), msg_, sizeof msg_);
    }
    std::int32_t check_table() {
        return QVPKG_Chk2ndFileDesc(
            dummy(),
            reinterpret_cast<const SecondFileDescTable *>(pkg_.bytes.data() + pkg_.tableOffset),
            msg_, sizeof msg_);
    }
    const BinHeader *dummy() const {
        return reinterpret_cast<const BinHeader *>(pkg_.bytes.data() + pkg_.dummyOffset);
    }
    void set_dummy(std::uint32_t field, std::uint32_t value, bool reseal = true) {
        pkg_.set_be32(pkg_.dummyOffset + field, value);
        if (reseal) {
            pkg_.reseal_bin_header(pkg_.dummyOffset);
        }
    }

    Package pkg_;
    char msg_[256];
    rztest::LogCapture log_;
};

TEST_F(ExtensionCheckTest, ValidExtensionPassesAndLeavesMessage) {
    EXPECT_EQ(check_dummy(), QVPKG_OK);
    EXPECT_EQ(check_table(), QVPKG_OK);
    EXPECT_STREQ(msg_, kPrior);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtensionCheckTest, DummyTestsInOrderFirstFailureDecides) {
    // Every test of the dummy header fails at once: entry 255 is reported.
    pkg_.set_be32(Package::entry_field(255, 0), 0xABEF0000u);
    set_dummy(8, 0x12CD0000u, false);
    pkg_.bytes[pkg_.dummyOffset + 300] ^= 0x40;  // CRC broken too
    EXPECT_EQ(check_dummy(), QVPKG_ERR);
    EXPECT_STREQ(msg_, "[ext]The 256th file is not dummy file!\n");

    pkg_.set_be32(Package::entry_field(255, 0), 0x0001ABEFu);
    EXPECT_EQ(check_dummy(), QVPKG_ERR);

    // Entry 255 right: the dummy's own fileId (whole word), before its CRC.
    pkg_.set_be32(Package::entry_field(255, 0), DUMMY_DESC_FILE_ID);
    EXPECT_EQ(check_dummy(), QVPKG_ERR_EXTEND);
    EXPECT_STREQ(msg_, "[ext]The dummy bin fileID is wrong!\n");

    // fileId right, CRC still broken.
    set_dummy(8, DUMMY_BIN_FILE_ID, false);
    EXPECT_EQ(check_dummy(), QVPKG_ERR_CRC);
    EXPECT_STREQ(msg_, "[ext]The dummy bin head CRC is wrong!\n");
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtensionCheckTest, DummyCrcComparedAsWholeWord) {
    const std::uint32_t good = pkg_.be32(pkg_.dummyOffset + 4);
    ASSERT_EQ(good >> 16, 0u);
    pkg_.set_be32(pkg_.dummyOffset + 4, good | 0x80000000u);
    EXPECT_EQ(check_dummy(), QVPKG_ERR_CRC);
    // A wrong CRC is reported before an impossible count.
    set_dummy(16, 0x100000u, false);
    EXPECT_EQ(check_dummy(), QVPKG_ERR_CRC);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtensionCheckTest, CountLimitIsInclusiveAndLoggedOnly) {
    set_dummy(16, 0xFFFFFu);
    EXPECT_EQ(check_dummy(), QVPKG_OK);
    set_dummy(16, 0x100000u);
    EXPECT_EQ(check_dummy(), QVPKG_ERR_EXTEND);
    EXPECT_STREQ(msg_, kPrior);
    set_dummy(16, 0xFFFFFFFFu);
    EXPECT_EQ(check_dummy(), QVPKG_ERR_EXTEND);
    EXPECT_STREQ(msg_, kPrior);
    EXPECT_EQ(log_.lines(), (Lines{kOverLimit, kOverLimit}));
}

TEST_F(ExtensionCheckTest, TableCountBeforeCrc) {
    // Count and CRC both wrong: the count is reported.
    pkg_.bytes[pkg_.ext_entry_field(0, 8)] ^= 0x10;
    pkg_.set_be32(pkg_.tableOffset + 4, 4);
    EXPECT_EQ(check_table(), QVPKG_ERR_EXTEND);
    EXPECT_STREQ(msg_, "[ext]The last file number is wrong\n");
    pkg_.set_be32(pkg_.tableOffset + 4, 0x00010003u);
    EXPECT_EQ(check_table(), QVPKG_ERR_EXTEND);

    pkg_.set_be32(pkg_.tableOffset + 4, 3);
    EXPECT_EQ(check_table(), QVPKG_ERR_CRC);
    EXPECT_STREQ(msg_, "[ext]The sub header file CRC is wrong\n");

    // Lower half right, an upper bit set: still wrong.
    pkg_.reseal_table();
    const std::size_t crcPos = pkg_.tableOffset + 32 + 3 * 24;
    pkg_.set_be32(crcPos, pkg_.be32(crcPos) | 0x00100000u);
    EXPECT_EQ(check_table(), QVPKG_ERR_CRC);
    // The CRC covers the descriptors too.
    pkg_.reseal_table();
    std::strcpy(msg_, kPrior);
    EXPECT_EQ(check_table(), QVPKG_OK);
    pkg_.bytes[pkg_.ext_entry_field(2, 20)] ^= 1;
    EXPECT_EQ(check_table(), QVPKG_ERR_CRC);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtensionCheckTest, EmptyTableOfZerosPasses) {
    std::vector<std::uint8_t> dummyBytes(BIN_HEADER_SIZE, 0);  // N = 0
    const std::vector<std::uint8_t> table(36, 0);
    EXPECT_EQ(QVPKG_Chk2ndFileDesc(reinterpret_cast<const BinHeader *>(dummyBytes.data()),
                                   reinterpret_cast<const SecondFileDescTable *>(table.data()),
                                   msg_, sizeof msg_),
              QVPKG_OK);
    EXPECT_STREQ(msg_, kPrior);
}

TEST_F(ExtensionCheckTest, TableCheckRefusesImpossibleCountWithoutReading) {
    // A host skipping the dummy check hands N = 0x100000 with a 36-byte
    // buffer: refused before the table is read (ASan would flag any read).
    std::vector<std::uint8_t> dummyBytes(BIN_HEADER_SIZE, 0);
    for (const std::uint32_t n : {0x100000u, 0xFFFFFFFFu, 0x0AAAAAABu}) {
        dummyBytes[16] = static_cast<std::uint8_t>(n >> 24);
        dummyBytes[17] = static_cast<std::uint8_t>(n >> 16);
        dummyBytes[18] = static_cast<std::uint8_t>(n >> 8);
        dummyBytes[19] = static_cast<std::uint8_t>(n);
        auto *table = static_cast<std::uint8_t *>(std::malloc(36));
        std::memset(table, 0, 36);
        EXPECT_EQ(QVPKG_Chk2ndFileDesc(reinterpret_cast<const BinHeader *>(dummyBytes.data()),
                                       reinterpret_cast<const SecondFileDescTable *>(table), msg_,
                                       sizeof msg_),
                  QVPKG_ERR_EXTEND);
        EXPECT_STREQ(msg_, "[ext]The last file number is over upper limit\n");
        std::free(table);
    }
}

// ---- Over package files ------------------------------------------------------

QVFileDesc table_entry(const Package &pkg, std::uint32_t i) {
    return QVFileDesc{pkg.be32(pkg.ext_entry_field(i, 0)),  pkg.be32(pkg.ext_entry_field(i, 4)),
                      pkg.be32(pkg.ext_entry_field(i, 8)),  pkg.be32(pkg.ext_entry_field(i, 12)),
                      pkg.be32(pkg.ext_entry_field(i, 16)), pkg.be32(pkg.ext_entry_field(i, 20))};
}

bool same(const QVFileDesc &a, const QVFileDesc &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

constexpr QVFileDesc kUntouched{0xA5A5A5A5u, 1, 2, 3, 4, 5};

class ExtensionLookupTest : public ::testing::Test {
  protected:
    std::string write(const Package &pkg, const std::string &name = "pkg.qv") {
        path_ = dir_.file(name);
        pkg.write(path_);
        char resolved[4096];
        if (::realpath(path_.c_str(), resolved) != nullptr) {
            resolved_ = resolved;
        }
        return path_;
    }
    // Writes pkg and looks fileId up in its extension; info starts untouched.
    std::int32_t lookup(const Package &pkg, std::uint32_t fileId) {
        write(pkg);
        log_.clear();
        info_ = kUntouched;
        return QVPKG_GetQVExtFileInfo(path_.c_str(), &info_, static_cast<std::int32_t>(fileId));
    }
    std::string not_extension(const std::string &code, const std::string &verdict) const {
        return "[RERAZERA]This is not extend file: " + code + ", " + verdict + "\n\n";
    }
    std::string table_refused(const std::string &code, const std::string &verdict) const {
        return "[RERAZERA]2nd file desc is not ok: " + code + " " + verdict + "\n\n";
    }
    std::string subfile_failed() const {
        return "[RERAZERA]Get subfile from " + path_ + " not success! \n\n";
    }

    rztest::ScratchDir dir_;
    rztest::LogCapture log_;
    rztest::FdLeakCheck fds_;
    std::string path_;
    std::string resolved_;
    QVFileDesc info_{};
};

TEST_F(ExtensionLookupTest, FindsFirstListingWithAllSixFields) {
    const Package pkg = ext_package();
    EXPECT_EQ(lookup(pkg, 0x5002), QVPKG_OK);
    EXPECT_TRUE(same(info_, table_entry(pkg, 1)));
    EXPECT_EQ(info_.offset, pkg.extOffsets[1]);
    EXPECT_EQ(info_.aux0, 9u);
    EXPECT_EQ(info_.aux1, 10u);
    // Listed twice: the lower index wins.
    EXPECT_EQ(lookup(pkg, 0x5001), QVPKG_OK);
    EXPECT_TRUE(same(info_, table_entry(pkg, 0)));
    // Absent: -1, nothing logged at this level, record untouched.
    EXPECT_EQ(lookup(pkg, 0x5003), QVPKG_ERR);
    EXPECT_EQ(lookup(pkg, 0x5001 | 0x80000000u), QVPKG_ERR);
    EXPECT_TRUE(same(info_, kUntouched));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtensionLookupTest, EmptyExtensionListsNothing) {
    const Package pkg = with_header_entries().with_empty_extension().build();
    EXPECT_EQ(lookup(pkg, 0), QVPKG_ERR);
    EXPECT_TRUE(same(info_, kUntouched));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtensionLookupTest, ExtensionExistsOnlyWithFullHeader) {
    Package pkg = ext_package();
    pkg.set_be32(Package::entry_field(255, 20), 0x77);  // handed out whatever it holds
    pkg.reseal_header();
    QVFileDesc ext = kUntouched;
    EXPECT_EQ(QVPKG_isExtendFileExist(write(pkg).c_str(), &ext), QVPKG_OK);
    EXPECT_EQ(ext.fileId, DUMMY_DESC_FILE_ID);
    EXPECT_EQ(ext.offset, pkg.dummyOffset);
    EXPECT_EQ(ext.aux1, 0x77u);

    pkg.set_file_num(255);
    pkg.reseal_header();
    ext = kUntouched;
    EXPECT_EQ(QVPKG_isExtendFileExist(write(pkg).c_str(), &ext), QVPKG_ERR_NO_EXTEND);
    EXPECT_TRUE(same(ext, kUntouched));
    EXPECT_EQ(lookup(pkg, 0x5002), QVPKG_ERR_NO_EXTEND);
    EXPECT_EQ(log_.lines(),
              (Lines{"[RERAZERA]file number less than 256, no extend subfiles!\n\n"}));
}

TEST_F(ExtensionLookupTest, UnusableHeader) {
    Package pkg = ext_package();
    pkg.set_be32(6176, pkg.be32(6176) ^ 0x10);
    EXPECT_EQ(lookup(pkg, 0x5002), QVPKG_ERR_HEADER);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Boot file CRC check not ok.\n\n",
                                   "[RERAZERA]Check QV header unsuccess 7.\n\n",
                                   "[RERAZERA]Get QV header from " + path_ + " unsuccess.\n\n"}));
    EXPECT_TRUE(same(info_, kUntouched));
}

TEST_F(ExtensionLookupTest, DummyHeaderUnreadable) {
    Package pkg = ext_package();
    pkg.set_be32(Package::entry_field(255, 4), static_cast<std::uint32_t>(pkg.bytes.size() - 100));
    pkg.reseal_header();
    EXPECT_EQ(lookup(pkg, 0x5002), QVPKG_ERR_IO);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Read file " + resolved_ + " unsuccess 100 352.\n\n",
                                   "[RERAZERA]Read extend file not success 2\n\n"}));
    EXPECT_TRUE(same(info_, kUntouched));
}

TEST_F(ExtensionLookupTest, EachAcceptanceStepLogsItsVerdict) {
    const Package good = ext_package();

    Package p = good;  // entry 255 not the dummy; its other tests fail too
    p.set_be32(Package::entry_field(255, 0), 0xABEF0000u);
    p.reseal_header();
    p.set_be32(p.dummyOffset + 8, 0x12CD0000u);
    EXPECT_EQ(lookup(p, 0x5002), QVPKG_ERR);
    EXPECT_EQ(log_.lines(),
              (Lines{not_extension("4294967295", "[ext]The 256th file is not dummy file!\n")}));

    p = good;
    p.set_be32(p.dummyOffset + 8, 0x12CD0000u);
    p.reseal_bin_header(p.dummyOffset);
    EXPECT_EQ(lookup(p, 0x5002), QVPKG_ERR_EXTEND);
    EXPECT_EQ(log_.lines(), (Lines{not_extension("9", "[ext]The dummy bin fileID is wrong!\n")}));

    p = good;
    p.set_be32(p.dummyOffset + 4, p.be32(p.dummyOffset + 4) | 0x00010000u);
    EXPECT_EQ(lookup(p, 0x5002), QVPKG_ERR_CRC);
    EXPECT_EQ(log_.lines(), (Lines{not_extension("7", "[ext]The dummy bin head CRC is wrong!\n")}));

    p = good;
    p.set_be32(p.dummyOffset + 16, 0x100000u);
    p.reseal_bin_header(p.dummyOffset);
    EXPECT_EQ(lookup(p, 0x5002), QVPKG_ERR_EXTEND);
    EXPECT_EQ(log_.lines(), (Lines{kOverLimit, not_extension("9", "")}));

    p = good;  // count and CRC both wrong: the count is reported
    p.set_be32(p.tableOffset + 4, 2);
    EXPECT_EQ(lookup(p, 0x5002), QVPKG_ERR_EXTEND);
    EXPECT_EQ(log_.lines(), (Lines{table_refused("9", "[ext]The last file number is wrong\n")}));

    p = good;
    const std::size_t crcPos = p.tableOffset + 32 + 3 * 24;
    p.set_be32(crcPos, p.be32(crcPos) | 0xFFFF0000u);
    EXPECT_EQ(lookup(p, 0x5002), QVPKG_ERR_CRC);
    EXPECT_EQ(log_.lines(), (Lines{table_refused("7", "[ext]The sub header file CRC is wrong\n")}));
    EXPECT_TRUE(same(info_, kUntouched));
}

// A table of several pieces, as the lookup streams it.
Package long_ext_package(std::uint32_t n) {
    PackageBuilder b = with_header_entries();
    for (std::uint32_t i = 0; i < n; ++i) {
        b.add_extend_raw(RawDesc{0x100000u + i, i, i + 1, i + 2, i + 3, i + 4});
    }
    return b.build();
}

TEST_F(ExtensionLookupTest, LongTableFoundAtEveryPieceEdge) {
    Package pkg = long_ext_package(20000);
    for (const std::uint32_t i : {0u, 8191u, 8192u, 8193u, 16384u, 19999u}) {
        EXPECT_EQ(lookup(pkg, 0x100000u + i), QVPKG_OK) << i;
        EXPECT_TRUE(same(info_, table_entry(pkg, i))) << i;
    }
    EXPECT_TRUE(log_.lines().empty());
    // The CRC covers every piece: damage in the last one is caught.
    pkg.bytes[pkg.ext_entry_field(19000, 12)] ^= 1;
    EXPECT_EQ(lookup(pkg, 0x100000u), QVPKG_ERR_CRC);
    // ... and so is a stored CRC with an upper bit set.
    pkg.reseal_table();
    const std::size_t crcPos = pkg.tableOffset + 32 + 20000 * 24;
    pkg.set_be32(crcPos, pkg.be32(crcPos) | 0x80000000u);
    EXPECT_EQ(lookup(pkg, 0x100000u), QVPKG_ERR_CRC);
}

TEST_F(ExtensionLookupTest, ShortTableReportsWhatOneReadWouldReturn) {
    const Package full = long_ext_package(20000);
    const std::uint32_t size = 36 + 20000 * 24;
    // Cut inside the first piece, at and after its end, in the descriptors
    // of a later piece, and in the stored CRC.
    for (const std::uint32_t kept :
         {0u, 30u, 196640u, 196641u, 393248u, 400000u, size - 4, size - 1}) {
        Package pkg = full;
        pkg.bytes.resize(pkg.tableOffset + kept);
        EXPECT_EQ(lookup(pkg, 0x100000u), QVPKG_ERR_EXT_TABLE) << kept;
        const std::string readLine = "[RERAZERA]Read file " + resolved_ + " unsuccess " +
                                     std::to_string(kept) + " " + std::to_string(size) + ".\n\n";
        EXPECT_EQ(log_.lines(), (Lines{readLine, subfile_failed(), subfile_failed()})) << kept;
        EXPECT_TRUE(same(info_, kUntouched));

        // The whole-table reader says the same, once.
        log_.clear();
        const QVFileDesc ext{DUMMY_DESC_FILE_ID, pkg.dummyOffset, 0, 0, 0, 0};
        EXPECT_EQ(QVPKG_Get2ndFileDescContent(
                      path_.c_str(), &ext,
                      reinterpret_cast<const BinHeader *>(pkg.bytes.data() + pkg.dummyOffset)),
                  nullptr);
        EXPECT_EQ(log_.lines(), (Lines{readLine, subfile_failed()}));
    }
}

TEST_F(ExtensionLookupTest, TableReaderReturnsWholeTable) {
    const Package pkg = ext_package();
    write(pkg);
    const QVFileDesc ext{DUMMY_DESC_FILE_ID, pkg.dummyOffset, 0, 0, 0, 0};
    const auto *dummyHeader =
        reinterpret_cast<const BinHeader *>(pkg.bytes.data() + pkg.dummyOffset);
    SecondFileDescTable *table = QVPKG_Get2ndFileDescContent(path_.c_str(), &ext, dummyHeader);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(std::memcmp(table, pkg.bytes.data() + pkg.tableOffset, 36 + 3 * 24), 0);
    char msg[8] = "";
    EXPECT_EQ(QVPKG_Chk2ndFileDesc(dummyHeader, table, msg, sizeof msg), QVPKG_OK);
    std::free(table);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtensionLookupTest, TableReaderRefusesWhatCannotBeATable) {
    const Package pkg = ext_package();
    write(pkg);
    std::vector<std::uint8_t> dummy(pkg.bytes.begin() + pkg.dummyOffset,
                                    pkg.bytes.begin() + pkg.dummyOffset + BIN_HEADER_SIZE);
    const auto *dummyHeader = reinterpret_cast<const BinHeader *>(dummy.data());

    // offset + 352 would wrap to 0: refused without a read.
    QVFileDesc ext{DUMMY_DESC_FILE_ID, 0xFFFFFFFFu - 351, 0, 0, 0, 0};
    EXPECT_EQ(QVPKG_Get2ndFileDescContent(path_.c_str(), &ext, dummyHeader), nullptr);
    EXPECT_EQ(log_.lines(), (Lines{subfile_failed()}));

    // The largest offset that does not wrap reaches the seek, which refuses it.
    log_.clear();
    ext.offset = 0xFFFFFFFFu - 352;
    EXPECT_EQ(QVPKG_Get2ndFileDescContent(path_.c_str(), &ext, dummyHeader), nullptr);
    EXPECT_EQ(log_.lines(),
              (Lines{"[RERAZERA]seek file " + resolved_ + " unsuccess 4294967295, errno(22)\n\n",
                     subfile_failed()}));

    // A count the dummy check refuses: nothing allocated, nothing read.
    log_.clear();
    ext.offset = pkg.dummyOffset;
    dummy[16] = 0x10;  // N = 0x10000003
    EXPECT_EQ(QVPKG_Get2ndFileDescContent(path_.c_str(), &ext, dummyHeader), nullptr);
    EXPECT_EQ(log_.lines(), (Lines{kOverLimit}));
}

using rztest::kAddressSanitizer;

// Caps the address space at what is mapped now plus `room`, then takes every
// free heap block of `grab` bytes or more (and kept: the caller is a child
// about to exit), so that no allocation of `grab` bytes or more can succeed
// from then on while small ones still find room.
bool cap_address_space(rlim_t room, std::size_t grab) {
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);  // large blocks get their own mapping
    unsigned long pages = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr || std::fscanf(f, "%lu", &pages) != 1) {
        return false;
    }
    std::fclose(f);
    rlimit limit{};
    ::getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur =
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + room;
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
        return false;
    }
    void *volatile block = nullptr;  // volatile: the allocations must happen
    do {
        block = std::malloc(grab);
    } while (block != nullptr);
    return true;
}

TEST_F(ExtensionLookupTest, TableBufferThatCannotBeAllocated) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "an address space limit breaks the sanitizer's shadow memory";
    }
    const Package pkg = long_ext_package(20000);  // streamed in ~192 KiB pieces
    write(pkg);
    const std::string path = path_;
    const std::string failed = subfile_failed();
    // The lookup's reused buffer is the one block of 128 KiB or more it asks
    // for; the header and dummy header still find room.
    const auto lookup_child = [&] {
        if (!cap_address_space(160 * 1024, 128 * 1024)) {
            std::_Exit(90);
        }
        rztest::LogCapture log;
        QVFileDesc info = kUntouched;
        const int r = QVPKG_GetQVExtFileInfo(path.c_str(), &info, 0x100000);
        if (r != QVPKG_ERR_EXT_TABLE) {
            std::_Exit(100 + r);
        }
        if (log.lines() != Lines{"[RERAZERA]Malloc buffer not success! \n\n", failed} ||
            !same(info, kUntouched)) {
            std::_Exit(92);
        }
        std::_Exit(0);
    };
    EXPECT_EXIT(lookup_child(), ::testing::ExitedWithCode(0), "");

    // The whole-table reader asked for the largest table.
    const auto reader_child = [&] {
        std::vector<std::uint8_t> dummy(BIN_HEADER_SIZE, 0);
        dummy[17] = 0x0F;
        dummy[18] = 0xFF;
        dummy[19] = 0xFF;
        const QVFileDesc ext{DUMMY_DESC_FILE_ID, pkg.dummyOffset, 0, 0, 0, 0};
        if (!cap_address_space(8u << 20, 1u << 20)) {
            std::_Exit(90);
        }
        rztest::LogCapture log;
        if (QVPKG_Get2ndFileDescContent(
                path.c_str(), &ext, reinterpret_cast<const BinHeader *>(dummy.data())) != nullptr) {
            std::_Exit(91);
        }
        std::_Exit(log.lines() == Lines{"[RERAZERA]Malloc buffer not success! \n\n"} ? 0 : 92);
    };
    EXPECT_EXIT(reader_child(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
