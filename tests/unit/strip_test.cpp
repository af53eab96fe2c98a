// Bin header stripping: the payload written byte for byte, the length test at
// its edges, what is left at the output path after each failure, the exact
// log lines, permission bits under a known umask, and no descriptor left open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rerazera.h"
#include "support/log_capture.hpp"
#include "support/process_state.hpp"
#include "support/scratch.hpp"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::SubFile;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

constexpr std::size_t kDataLenPos = 340;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return b;
}

// A bin file whose payload is `payload`, followed by `trailer` extra bytes,
// with dataLen set to `dataLen`.
Bytes bin_file(const Bytes &payload, std::uint32_t dataLen, std::size_t trailer = 0) {
    Bytes file = rerazera::writer::make_bin_file(SubFile{0x42, "app.bin", "application", payload});
    file.resize(file.size() + trailer, 0xA5);
    file[kDataLenPos] = static_cast<std::uint8_t>(dataLen >> 24);
    file[kDataLenPos + 1] = static_cast<std::uint8_t>(dataLen >> 16);
    file[kDataLenPos + 2] = static_cast<std::uint8_t>(dataLen >> 8);
    file[kDataLenPos + 3] = static_cast<std::uint8_t>(dataLen);
    return file;
}

class StripTest : public ::testing::Test {
  protected:
    std::string put(const std::string &name, const Bytes &bytes) {
        const std::string path = dir_.file(name);
        rztest::write_file(path, bytes);
        return path;
    }
    // An existing output file that a failure must leave as it is.
    std::string existing_output() { return put("out.bin", Bytes{'k', 'e', 'e', 'p'}); }

    rztest::ScratchDir dir_;
    rztest::FdLeakCheck fds_;
    rztest::UmaskScope umask_{022};
    rztest::LogCapture log_;
};

TEST_F(StripTest, WritesExactlyDataLenPayloadBytes) {
    const Bytes payload = pattern(1000, 3);
    Bytes file = bin_file(payload, 900, 40);  // dataLen below the space: tail dropped
    file[4] ^= 0xFF;                          // a wrong headCrc is never looked at
    const std::string in = put("in.bin", file);
    const std::string out = dir_.file("payload");
    ASSERT_EQ(QVPKG_StripBinHeader(in.c_str(), out.c_str()), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(out), Bytes(payload.begin(), payload.begin() + 900));
    EXPECT_EQ(rztest::read_file(in), file);  // input unchanged
    EXPECT_EQ(rztest::file_mode(out), 0750u);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(StripTest, LargeFileStripsExactly) {
    // Several MiB: the image is advised for huge pages inside its aligned
    // interior, which must not disturb its first or last bytes.
    const Bytes payload = pattern((std::size_t{6} << 20) + 5, 11);
    const std::string in =
        put("big.bin", bin_file(payload, static_cast<std::uint32_t>(payload.size())));
    const std::string out = dir_.file("big.payload");
    ASSERT_EQ(QVPKG_StripBinHeader(in.c_str(), out.c_str()), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(out), payload);
}

TEST_F(StripTest, DataLenAtTheEdgesOfTheFile) {
    // Exactly the space after the header passes ...
    const Bytes payload = pattern(500, 9);
    const std::string in = put("in.bin", bin_file(payload, 500));
    const std::string out = dir_.file("payload");
    ASSERT_EQ(QVPKG_StripBinHeader(in.c_str(), out.c_str()), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(out), payload);

    // ... a header-only file with dataLen 0 gives an empty output ...
    const std::string bare = put("bare.bin", bin_file({}, 0));
    const std::string empty = dir_.file("empty");
    ASSERT_EQ(QVPKG_StripBinHeader(bare.c_str(), empty.c_str()), QVPKG_OK);
    EXPECT_TRUE(rztest::read_file(empty).empty());
    EXPECT_TRUE(log_.lines().empty());

    // ... and one byte more, or every bit set, fails before any output.
    const std::string kept = existing_output();
    const std::string over = put("over.bin", bin_file(payload, 501));
    EXPECT_EQ(QVPKG_StripBinHeader(over.c_str(), kept.c_str()), QVPKG_ERR_LENGTH);
    const std::string one = put("one.bin", bin_file({}, 1));
    EXPECT_EQ(QVPKG_StripBinHeader(one.c_str(), kept.c_str()), QVPKG_ERR_LENGTH);
    const std::string huge = put("huge.bin", bin_file(payload, 0xFFFFFFFFu));
    EXPECT_EQ(QVPKG_StripBinHeader(huge.c_str(), kept.c_str()), QVPKG_ERR_LENGTH);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]bin file length mismatch 852 501.\n",
                                   "[RERAZERA]bin file length mismatch 352 1.\n",
                                   "[RERAZERA]bin file length mismatch 852 4294967295.\n"}));
    EXPECT_EQ(rztest::read_file(kept), (Bytes{'k', 'e', 'e', 'p'}));
}

TEST_F(StripTest, ReaderFailuresLeaveOutputUntouched) {
    const std::string kept = existing_output();
    const std::string missing = dir_.file("missing.bin");
    EXPECT_EQ(QVPKG_StripBinHeader(missing.c_str(), kept.c_str()), QVPKG_ERR_IO);
    const std::string shorty = put("short.bin", Bytes(351, 0));
    EXPECT_EQ(QVPKG_StripBinHeader(shorty.c_str(), kept.c_str()), QVPKG_ERR_IO);
    const std::string empty = put("empty.bin", Bytes{});
    EXPECT_EQ(QVPKG_StripBinHeader(empty.c_str(), kept.c_str()), QVPKG_ERR_IO);
    EXPECT_EQ(log_.lines(),
              (Lines{"[RERAZERA]file " + missing + " path invalid\n",
                     "[RERAZERA]File " + shorty + " length small than header size 351.\n",
                     "[RERAZERA]File " + empty + " length small than header size 0.\n"}));
    EXPECT_EQ(rztest::read_file(kept), (Bytes{'k', 'e', 'e', 'p'}));
}

TEST_F(StripTest, FileOfTwoGiBIsRefusedAsAFailedSeekToTheEnd) {
    // Lengths are signed 32-bit; a sparse file makes the size cheap.
    const std::string big = dir_.file("big.bin");
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 31), 0);
    ::close(fd);
    std::uint32_t len = 7;
    EXPECT_EQ(QVPKG_ReadBinFile(big.c_str(), &len), nullptr);
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]move " + big + " offset to end unsuccess 75.\n"}));
}

TEST_F(StripTest, SamePathForInputAndOutputKeepsThePayload) {
    const Bytes payload = pattern(4096, 1);
    const std::string path = put("self.bin", bin_file(payload, 4096, 10));
    ASSERT_EQ(QVPKG_StripBinHeader(path.c_str(), path.c_str()), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(path), payload);
}

TEST_F(StripTest, PermissionsFollowTheUmaskForNewFilesOnly) {
    const std::string in = put("in.bin", bin_file(pattern(10, 0), 10));
    {
        rztest::UmaskScope strict(077);
        const std::string out = dir_.file("strict");
        ASSERT_EQ(QVPKG_StripBinHeader(in.c_str(), out.c_str()), QVPKG_OK);
        EXPECT_EQ(rztest::file_mode(out), 0700u);
    }
    // An existing file is truncated and rewritten and keeps its own bits.
    const std::string existing = put("existing", pattern(100, 5));
    ASSERT_EQ(::chmod(existing.c_str(), 0604), 0);
    ASSERT_EQ(QVPKG_StripBinHeader(in.c_str(), existing.c_str()), QVPKG_OK);
    EXPECT_EQ(rztest::file_mode(existing), 0604u);
    EXPECT_EQ(rztest::read_file(existing), pattern(10, 0));
}

TEST_F(StripTest, WriterFailures) {
    const std::string in = put("in.bin", bin_file(pattern(64, 2), 64));
    const std::string nodir = dir_.file("no/such/dir/out");
    EXPECT_EQ(QVPKG_StripBinHeader(in.c_str(), nodir.c_str()), QVPKG_ERR_IO);
    const std::string slash = dir_.path() + "/";
    EXPECT_EQ(QVPKG_StripBinHeader(in.c_str(), slash.c_str()), QVPKG_ERR_IO);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Can't create file " + nodir + " 2\n",
                                   "[RERAZERA]Can't create file " + slash + " 21\n"}));
    EXPECT_EQ(rztest::read_file(in), bin_file(pattern(64, 2), 64));
}

TEST_F(StripTest, ShortWriteIsReportedOnceAndNotRetried) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no writable /dev/full";
    }
    const std::string in = put("in.bin", bin_file(pattern(64, 2), 64));
    EXPECT_EQ(QVPKG_StripBinHeader(in.c_str(), "/dev/full"), QVPKG_ERR_IO);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Write subfile /dev/full unsuccess -1 64.\n"}));
}

TEST_F(StripTest, ReadBinFileHandsTheWholeFileToTheCaller) {
    const Bytes file = bin_file(pattern(777, 4), 700, 3);
    const std::string path = put("in.bin", file);
    std::uint32_t len = 0;
    std::uint8_t *image = QVPKG_ReadBinFile(path.c_str(), &len);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(len, file.size());
    EXPECT_EQ(std::memcmp(image, file.data(), file.size()), 0);
    EXPECT_EQ(QVPKG_CheckBinHeader(image, len), QVPKG_OK);
    // A slice at an offset into the caller's buffer, written as given.
    const std::string out = dir_.file("slice");
    EXPECT_EQ(QVPKG_WriteBuf2File(out.c_str(), image, 352, 5), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(out), Bytes(file.begin() + 352, file.begin() + 357));
    std::free(image);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(StripTest, NullArgumentsAndShortLengthsAreRefusedWithoutReadingOutside) {
    const std::string path = put("in.bin", bin_file(pattern(8, 0), 8));
    std::uint32_t len = 5;
    EXPECT_EQ(QVPKG_ReadBinFile(nullptr, &len), nullptr);
    EXPECT_EQ(QVPKG_ReadBinFile(path.c_str(), nullptr), nullptr);
    EXPECT_EQ(len, 5u);

    // A buffer shorter than a bin header, described truthfully: dataLen lies
    // outside it and must not be read (AddressSanitizer would see it).
    auto *small = static_cast<std::uint8_t *>(std::malloc(100));
    ASSERT_NE(small, nullptr);
    std::memset(small, 0, 100);
    EXPECT_EQ(QVPKG_CheckBinHeader(small, 100), QVPKG_ERR_LENGTH);
    EXPECT_EQ(QVPKG_CheckBinHeader(small, 0), QVPKG_ERR_LENGTH);
    std::free(small);
    EXPECT_EQ(QVPKG_CheckBinHeader(nullptr, 400), QVPKG_ERR_NULL_ARG);

    const std::string kept = existing_output();
    const std::uint8_t byte = 1;
    EXPECT_EQ(QVPKG_WriteBuf2File(nullptr, &byte, 0, 1), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_WriteBuf2File(kept.c_str(), nullptr, 0, 1), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_StripBinHeader(nullptr, kept.c_str()), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_StripBinHeader(path.c_str(), nullptr), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(rztest::read_file(kept), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(
        log_.lines(),
        (Lines{"[RERAZERA]bin file path is null\n", "[RERAZERA]bin file length pointer is null\n",
               "[RERAZERA]bin file length 100 small than header size 352.\n",
               "[RERAZERA]bin file length 0 small than header size 352.\n",
               "[RERAZERA]bin file buffer is null\n", "[RERAZERA]output file path is null\n",
               "[RERAZERA]bin file buffer is null\n", "[RERAZERA]bin file path is null\n",
               "[RERAZERA]output file path is null\n"}));
}

}  // namespace
