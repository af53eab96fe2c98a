// The extension area: the two in-memory checks (dummy bin header, second
// table) and, over package files, the extension lookup with its exact log
// lines, codes and untouched out-records.
#include <gtest/gtest.h>

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

TEST_F(ExtensionCheckTest, VerdictTruncatedToMessageSize) {
    pkg_.set_be32(Package::entry_field(255, 0), 0);
    const QVFileDesc ext = entry255(pkg_);
    char small[6] = "xxxxx";
    EXPECT_EQ(QVPKG_isValidExtQV(&ext, dummy(), small, sizeof small), QVPKG_ERR);
    EXPECT_STREQ(small, "[ext]");
}

}  // namespace
