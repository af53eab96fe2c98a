// Files of 2 GiB and more. Positions and lengths are signed 32-bit values,
// so such files are outside the library's range: they must be refused, not
// read at a wrapped position or with a truncated length. The files are
// sparse (ftruncate), so they cost no disk space.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fault_support.hpp"
#include "rerazera.h"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;
using rzfault::Lines;

constexpr std::uint64_t k2GiB = std::uint64_t{1} << 31;
constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;

// Writes bytes at the start of a sparse file of `size` bytes.
void sparse_file(const std::string &path, const std::vector<std::uint8_t> &head,
                 std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ::close(fd);
}

class LargeFile : public ::testing::Test {
  protected:
    rztest::ScratchDir dir_;
    rztest::LogCapture log_;
    rztest::FdLeakCheck fds_;
};

TEST_F(LargeFile, BinFilesOf2GiBAndMoreAreRefusedByTheReader) {
    const auto bin =
        rerazera::writer::make_bin_file(SubFile{1, "b", "", std::vector<std::uint8_t>(48, 1)});
    // 2^32 + 400 bytes would read as 400 if its length were cut to 32 bits.
    for (const std::uint64_t size : {k2GiB, k2GiB + 10, k4GiB + 400}) {
        SCOPED_TRACE(size);
        const std::string in = dir_.file("big.bin");
        const std::string out = dir_.file("out.bin");
        sparse_file(in, bin, size);
        log_.clear();
        std::uint32_t len = 5;
        EXPECT_EQ(QVPKG_ReadBinFile(in.c_str(), &len), nullptr);
        EXPECT_EQ(len, 5u);
        EXPECT_EQ(QVPKG_StripBinHeader(in.c_str(), out.c_str()), QVPKG_ERR_IO);
        EXPECT_FALSE(rztest::file_exists(out));
        const std::string line = "[RERAZERA]move " + in + " offset to end unsuccess 75.\n";
        EXPECT_EQ(log_.lines(), (Lines{line, line}));
    }
}

TEST_F(LargeFile, PackagesOf2GiBAndMoreAreNotMapped) {
    const Package pkg = PackageBuilder().add(SubFile{0x10, "a.bin", "a", {1, 2, 3}}).build();
    for (const std::uint64_t size : {k2GiB, k4GiB + QVPKG_HEADER_SIZE}) {
        SCOPED_TRACE(size);
        const std::string path = dir_.file("big.qv");
        sparse_file(path, pkg.bytes, size);
        char msg[64] = "untouched";
        std::uint32_t len = 5;
        EXPECT_EQ(QVPKG_MapQVFile(path.c_str(), &len, msg, sizeof msg), nullptr);
        EXPECT_EQ(len, 5u);
        EXPECT_STREQ(msg, "move qv file offset fail! \n");
    }
}

// A package below 2 GiB whose entries point at 2^31 and beyond: the reads
// behind lookups and extraction are refused by the seek, at the position
// printed unsigned.
TEST_F(LargeFile, PositionsOf2GiBAndMoreAreRefusedBySeek) {
    const std::uint32_t far = 0x80000010u;
    Package pkg = PackageBuilder()
                      .add_raw(RawDesc{0x10, far, 400, 0, 0, 0})
                      .add(SubFile{0x20, "b.bin", "b", {1}})
                      .build();
    const std::string path = dir_.file("far.qv");
    pkg.write(path);
    char resolved[4096];
    ASSERT_NE(::realpath(path.c_str(), resolved), nullptr);
    const std::string seekLine =
        "[RERAZERA]seek file " + std::string(resolved) + " unsuccess 2147483664, errno(22)\n\n";

    // The scan stops at entry 0 even though entry 1 would match.
    QVFileDesc d{};
    log_.clear();
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(path.c_str(), &d, "b.bin"), QVPKG_ERR);
    EXPECT_EQ(log_.lines(), (Lines{seekLine, "[RERAZERA]Read file unsuccess 0 not ok 2.\n"}));

    const std::string out = dir_.file("out.bin");
    log_.clear();
    EXPECT_EQ(
        QVPKG_ExtractSubFile(path.c_str(), out.c_str(), static_cast<std::int32_t>(far), 400, 0600),
        QVPKG_ERR_IO);
    EXPECT_EQ(log_.lines(),
              (Lines{seekLine, "[RERAZERA]Get subfile from " + path + " not success! \n\n"}));
    EXPECT_FALSE(rztest::file_exists(out));
}

// A length of 2^31 or more is staged (the staging buffer is reserved, not
// touched) and the read comes back short.
TEST_F(LargeFile, LengthsOf2GiBAndMoreEndInAShortRead) {
    const Package pkg = PackageBuilder().add(SubFile{0x10, "a.bin", "a", {1, 2, 3}}).build();
    const std::string path = dir_.file("pkg.qv");
    pkg.write(path);
    char resolved[4096];
    ASSERT_NE(::realpath(path.c_str(), resolved), nullptr);
    const std::string out = dir_.file("out.bin");
    EXPECT_EQ(QVPKG_ExtractSubFile(path.c_str(), out.c_str(), 0, 0x80000000u, 0600), QVPKG_ERR_IO);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Read file " + std::string(resolved) + " unsuccess " +
                                       std::to_string(pkg.bytes.size()) + " 2147483648.\n\n",
                                   "[RERAZERA]Get subfile from " + path + " not success! \n\n"}));
    EXPECT_FALSE(rztest::file_exists(out));
}

}  // namespace
