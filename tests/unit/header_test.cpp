// Positioned reads, the header check, header loading and the product type
// query: results, exact log lines, and no descriptor left open.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
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
using rerazera::writer::SubFile;
using Lines = std::vector<std::string>;

class HeaderTest : public ::testing::Test {
  protected:
    static Package two_file_package() {
        return PackageBuilder()
            .product_type(0x1234)
            .add(SubFile{0x10, "boot.bin", "bootloader", {1, 2, 3, 4}})
            .add(SubFile{0x20, "kernel.bin", "kernel image", std::vector<std::uint8_t>(1000, 7)})
            .build();
    }
    std::string write(const Package &pkg, const std::string &name = "pkg.qv") {
        const std::string path = dir_.file(name);
        pkg.write(path);
        return path;
    }

    rztest::ScratchDir dir_;
    rztest::LogCapture log_;
    rztest::FdLeakCheck fds_;
};

TEST_F(HeaderTest, ReadFileByOffsetReadsExactRange) {
    const Package pkg = two_file_package();
    const std::string path = write(pkg);
    std::vector<std::uint8_t> buf(100, 0xEE);
    ASSERT_EQ(QVPKG_ReadFileByOffset(path.c_str(), 6180, buf.data(), 100), QVPKG_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), pkg.bytes.begin() + 6180));
    // A zero-length read at a valid offset succeeds and reads nothing.
    EXPECT_EQ(QVPKG_ReadFileByOffset(path.c_str(), 10, buf.data(), 0), QVPKG_OK);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(HeaderTest, ReadFileByOffsetFailuresAreLoggedAndCoded) {
    const std::string path = write(two_file_package());
    char resolved[4096];
    ASSERT_NE(::realpath(path.c_str(), resolved), nullptr);
    std::vector<std::uint8_t> buf(64);

    const std::string missing = dir_.file("nope/../missing.qv");
    EXPECT_EQ(QVPKG_ReadFileByOffset(missing.c_str(), 0, buf.data(), 4), QVPKG_ERR_PATH);

    const auto size = static_cast<std::int32_t>(two_file_package().bytes.size());
    EXPECT_EQ(QVPKG_ReadFileByOffset(path.c_str(), size - 10, buf.data(), 64), QVPKG_ERR_IO);

    // 2^31 arrives as a negative position: the seek refuses it, printed unsigned.
    EXPECT_EQ(QVPKG_ReadFileByOffset(path.c_str(), INT32_MIN, buf.data(), 4), QVPKG_ERR_IO);

    const std::string r = resolved;
    EXPECT_EQ(log_.lines(),
              (Lines{"[RERAZERA]Get " + missing + "'s realpath unsuccess.\n\n",
                     "[RERAZERA]Read file " + r + " unsuccess 10 64.\n\n",
                     "[RERAZERA]seek file " + r + " unsuccess 2147483648, errno(22)\n\n"}));
    for (const auto &e : log_.entries()) {
        EXPECT_EQ(e.priority, LOG_INFO);
    }
}

TEST_F(HeaderTest, ReadFileByOffsetOnDirectoryFailsToRead) {
    std::uint8_t buf[4];
    EXPECT_EQ(QVPKG_ReadFileByOffset(dir_.path().c_str(), 0, buf, 4), QVPKG_ERR_IO);
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(log_.lines()[0].rfind("[RERAZERA]Read file ", 0), 0u);
}

TEST_F(HeaderTest, HeaderCheckCountBeforeCrc) {
    std::vector<std::uint8_t> zeros(QVPKG_HEADER_SIZE, 0);
    auto *header = reinterpret_cast<QVHeader *>(zeros.data());
    EXPECT_EQ(QVPKG_ChkQvHeader(header), QVPKG_OK);  // fileNum 0, CRC of zeros is 0

    Package pkg = two_file_package();
    pkg.set_file_num(256);
    pkg.reseal_header();
    EXPECT_EQ(QVPKG_ChkQvHeader(reinterpret_cast<QVHeader *>(pkg.bytes.data())), QVPKG_OK);

    pkg.set_file_num(257);
    pkg.reseal_header();  // a correct CRC does not save an impossible count
    EXPECT_EQ(QVPKG_ChkQvHeader(reinterpret_cast<QVHeader *>(pkg.bytes.data())),
              QVPKG_ERR_FILE_NUM);

    pkg.set_file_num(0xFFFFFFFFu);  // unsigned comparison; CRC also wrong now
    EXPECT_EQ(QVPKG_ChkQvHeader(reinterpret_cast<QVHeader *>(pkg.bytes.data())),
              QVPKG_ERR_FILE_NUM);

    pkg.set_file_num(2);
    pkg.reseal_header();
    pkg.set_be32(6176, pkg.be32(6176) | 0x00010000u);  // right CRC, upper bit set
    EXPECT_EQ(QVPKG_ChkQvHeader(reinterpret_cast<QVHeader *>(pkg.bytes.data())), QVPKG_ERR_CRC);

    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]File is wrong, file num is over upper limit\n\n",
                                   "[RERAZERA]File is wrong, file num is over upper limit\n\n",
                                   "[RERAZERA]Boot file CRC check not ok.\n\n"}));
}

TEST_F(HeaderTest, GetQVHeaderReturnsCheckedHeapCopy) {
    const Package pkg = two_file_package();
    QVHeader *header = QVPKG_GetQVHeader(write(pkg).c_str());
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(std::memcmp(header, pkg.bytes.data(), QVPKG_HEADER_SIZE), 0);
    std::free(header);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(HeaderTest, GetQVHeaderFailuresStackTheirLines) {
    Package bad = two_file_package();
    bad.set_be32(6176, bad.be32(6176) ^ 1);
    EXPECT_EQ(QVPKG_GetQVHeader(write(bad, "bad.qv").c_str()), nullptr);

    Package many = two_file_package();
    many.set_file_num(257);
    many.reseal_header();
    EXPECT_EQ(QVPKG_GetQVHeader(write(many, "many.qv").c_str()), nullptr);

    const std::string missing = dir_.file("missing.qv");
    EXPECT_EQ(QVPKG_GetQVHeader(missing.c_str()), nullptr);

    // A file shorter than a header fails the read with code 2.
    rztest::write_file(dir_.file("short.qv"), std::vector<std::uint8_t>(6179, 0));
    EXPECT_EQ(QVPKG_GetQVHeader(dir_.file("short.qv").c_str()), nullptr);

    const Lines lines = log_.lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "[RERAZERA]Boot file CRC check not ok.\n\n");
    EXPECT_EQ(lines[1], "[RERAZERA]Check QV header unsuccess 7.\n\n");
    EXPECT_EQ(lines[2], "[RERAZERA]File is wrong, file num is over upper limit\n\n");
    EXPECT_EQ(lines[3], "[RERAZERA]Check QV header unsuccess 5.\n\n");
    EXPECT_EQ(lines[4], "[RERAZERA]Get " + missing + "'s realpath unsuccess.\n\n");
    EXPECT_EQ(lines[5], "[RERAZERA]Read QV file header unsuccess 4.\n\n");
    EXPECT_NE(lines[6].find(" unsuccess 6179 6180.\n\n"), std::string::npos);
    EXPECT_EQ(lines[7], "[RERAZERA]Read QV file header unsuccess 2.\n\n");
}

TEST_F(HeaderTest, ProductTypeIgnoresHeaderValidity) {
    Package pkg = two_file_package();
    pkg.set_be32(6176, 0xFFFFFFFFu);  // header check would refuse this
    std::uint32_t type = 0;
    EXPECT_EQ(QVPKG_ExtractProductTypeFromQV(write(pkg).c_str(), &type), QVPKG_OK);
    EXPECT_EQ(type, 0x1234u);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(HeaderTest, ProductTypeFailures) {
    std::uint32_t type = 77;
    const std::string path = write(two_file_package());
    EXPECT_EQ(QVPKG_ExtractProductTypeFromQV(nullptr, &type), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_ExtractProductTypeFromQV(path.c_str(), nullptr), QVPKG_ERR_NULL_ARG);
    EXPECT_TRUE(log_.lines().empty());

    const std::string missing = dir_.file("missing.qv");
    EXPECT_EQ(QVPKG_ExtractProductTypeFromQV(missing.c_str(), &type), QVPKG_ERR_PATH);
    rztest::write_file(dir_.file("short.qv"), std::vector<std::uint8_t>(100, 0));
    EXPECT_EQ(QVPKG_ExtractProductTypeFromQV(dir_.file("short.qv").c_str(), &type), QVPKG_ERR_IO);
    EXPECT_EQ(type, 77u);

    const Lines lines = log_.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[RERAZERA]get " + missing + "'s realpath unsuccess.\n");
    // A short read leaves errno as it was; only the count is known.
    EXPECT_EQ(lines[1].rfind("[RERAZERA]read pkg header unsuccess, ret 0x64 err 0x", 0), 0u);
}

TEST_F(HeaderTest, ProductTypeOpenFailureNamesCallerPath) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root opens any file";
    }
    const std::string path = write(two_file_package());
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    std::uint32_t type = 0;
    EXPECT_EQ(QVPKG_ExtractProductTypeFromQV(path.c_str(), &type), QVPKG_ERR_IO);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]open " + path + " unsuccess, errno 0xd.\n"}));
}

}  // namespace
