// Sub-file extraction: output content byte for byte, bin header included;
// the exact log sequences of the failure table; what is left at the output
// path after each failure; permission bits under a known umask; large
// ranges through the mapped staging buffer; and no descriptor left open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "output/staging_buffer.hpp"
#include "rerazera.h"
#include "support/log_capture.hpp"
#include "support/process_state.hpp"
#include "support/sanitizers.hpp"
#include "support/scratch.hpp"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::SubFile;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 9));
    }
    return b;
}

Bytes slice(const Bytes &bytes, std::size_t offset, std::size_t len) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + len));
}

std::string resolved(const std::string &path) {
    char buf[4096];
    return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

using rztest::kAddressSanitizer;

// The process's mapped address space, from /proc/self/statm (in pages).
rlim_t mapped_bytes() {
    unsigned long pages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lu", &pages) != 1) {
            pages = 0;
        }
        std::fclose(f);
    }
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}

// Byte i of a large test file, cheap to compute again when checking.
std::uint8_t big_byte(std::size_t i) {
    const std::uint64_t v = (i / 8) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::uint8_t>(v >> (8 * (i % 8)));
}

// Fills path with bytes 0 .. size - 1 of big_byte, a chunk at a time.
void write_big_file(const std::string &path, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> chunk(1 << 20);
    for (std::size_t done = 0; done < size;) {
        const std::size_t n = std::min(chunk.size(), size - done);
        for (std::size_t i = 0; i < n; ++i) {
            chunk[i] = big_byte(done + i);
        }
        ASSERT_EQ(::write(fd, chunk.data(), n), static_cast<ssize_t>(n));
        done += n;
    }
    ::close(fd);
}

// Whether the file at path holds exactly big_byte(from) .. big_byte(from +
// size - 1), compared a chunk at a time.
bool holds_big_range(const std::string &path, std::size_t from, std::size_t size) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    std::vector<std::uint8_t> chunk(1 << 20);
    std::size_t done = 0;
    bool same = true;
    while (same) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got <= 0) {
            same = got == 0 && done == size;
            break;
        }
        const auto n = static_cast<std::size_t>(got);
        same = done + n <= size;
        for (std::size_t i = 0; same && i < n; ++i) {
            same = chunk[i] == big_byte(from + done + i);
        }
        done += n;
    }
    ::close(fd);
    return same;
}

const Bytes kKeep{'k', 'e', 'e', 'p'};

class ExtractTest : public ::testing::Test {
  protected:
    static Package three_file_package() {
        return PackageBuilder()
            .add(SubFile{0x10, "boot.bin", "bootloader", pattern(100, 1)})
            .add(SubFile{0x20, "kernel.bin", "kernel image", pattern(5000, 2)})
            .add(SubFile{0x30, "rootfs.img", "root file system", pattern(3000, 3)})
            .build();
    }
    std::string write(const Package &pkg, const std::string &name = "pkg.qv") {
        const std::string path = dir_.file(name);
        pkg.write(path);
        return path;
    }
    std::string existing_output(const std::string &name = "out.bin") {
        const std::string path = dir_.file(name);
        rztest::write_file(path, kKeep);
        return path;
    }

    rztest::ScratchDir dir_;
    rztest::FdLeakCheck fds_;
    rztest::UmaskScope umask_{022};
    rztest::LogCapture log_;
};

TEST_F(ExtractTest, RangeCopyIsByteForByteWithTheBinHeader) {
    const Package pkg = three_file_package();
    const std::string path = write(pkg);
    const std::uint32_t off = pkg.entryOffsets[1];
    const std::uint32_t len = 352 + 5000;
    const std::string out = dir_.file("kernel.bin");
    ASSERT_EQ(
        QVPKG_ExtractSubFile(path.c_str(), out.c_str(), static_cast<std::int32_t>(off), len, 0644),
        QVPKG_OK);
    const Bytes got = rztest::read_file(out);
    EXPECT_EQ(got, slice(pkg.bytes, off, len));

    // What was extracted is a bin file: stripping it leaves the payload.
    const std::string payload = dir_.file("kernel.payload");
    ASSERT_EQ(QVPKG_StripBinHeader(out.c_str(), payload.c_str()), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(payload), pattern(5000, 2));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtractTest, ZeroLengthIsRefusedBeforeAnythingIsTouched) {
    const std::string kept = existing_output();
    const std::string missing = dir_.file("missing.qv");
    EXPECT_EQ(QVPKG_ExtractSubFile(missing.c_str(), kept.c_str(), 0, 0, 0600),
              QVPKG_ERR_INVALID_ARG);
    EXPECT_EQ(QVPKG_ExtractSubFile(missing.c_str(), dir_.file("new").c_str(), 0, 0, 0600),
              QVPKG_ERR_INVALID_ARG);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Input len is invalid(0).\n\n",
                                   "[RERAZERA]Input len is invalid(0).\n\n"}));
    EXPECT_EQ(rztest::read_file(kept), kKeep);
    EXPECT_FALSE(rztest::file_exists(dir_.file("new")));
}

TEST_F(ExtractTest, UnreadableRangesLeaveTheOutputPathAlone) {
    const Package pkg = three_file_package();
    const std::string path = write(pkg);
    const std::string real = resolved(path);
    const std::string kept = existing_output();
    const std::string fresh = dir_.file("fresh.bin");
    const auto size = static_cast<std::uint32_t>(pkg.bytes.size());

    // One byte past the end: the positioned read logs the short count.
    EXPECT_EQ(QVPKG_ExtractSubFile(path.c_str(), kept.c_str(), 6180, size - 6180 + 1, 0600),
              QVPKG_ERR_IO);
    // Starting past the end entirely.
    EXPECT_EQ(QVPKG_ExtractSubFile(path.c_str(), fresh.c_str(), static_cast<std::int32_t>(size), 10,
                                   0600),
              QVPKG_ERR_IO);
    // A position of 2^31 arrives negative and the seek refuses it.
    EXPECT_EQ(QVPKG_ExtractSubFile(path.c_str(), fresh.c_str(), INT32_MIN, 10, 0600), QVPKG_ERR_IO);
    // A package that does not exist: 4 from the path resolution.
    const std::string missing = dir_.file("missing.qv");
    EXPECT_EQ(QVPKG_ExtractSubFile(missing.c_str(), kept.c_str(), 0, 10, 0600), QVPKG_ERR_PATH);

    EXPECT_EQ(log_.lines(),
              (Lines{"[RERAZERA]Read file " + real + " unsuccess " + std::to_string(size - 6180) +
                         " " + std::to_string(size - 6180 + 1) + ".\n\n",
                     "[RERAZERA]Get subfile from " + path + " not success! \n\n",
                     "[RERAZERA]Read file " + real + " unsuccess 0 10.\n\n",
                     "[RERAZERA]Get subfile from " + path + " not success! \n\n",
                     "[RERAZERA]seek file " + real + " unsuccess 2147483648, errno(22)\n\n",
                     "[RERAZERA]Get subfile from " + path + " not success! \n\n",
                     "[RERAZERA]Get " + missing + "'s realpath unsuccess.\n\n",
                     "[RERAZERA]Get subfile from " + missing + " not success! \n\n"}));
    EXPECT_EQ(rztest::read_file(kept), kKeep);
    EXPECT_FALSE(rztest::file_exists(fresh));
}

TEST_F(ExtractTest, OutputOpenAndWriteFailures) {
    const Package pkg = three_file_package();
    const std::string path = write(pkg);
    const std::string nodir = dir_.file("no/such/dir/out.bin");
    EXPECT_EQ(QVPKG_ExtractSubFile(path.c_str(), nodir.c_str(), 0, 100, 0600), QVPKG_ERR_IO);
    const std::string slash = dir_.path() + "/";
    EXPECT_EQ(QVPKG_ExtractSubFile(path.c_str(), slash.c_str(), 0, 100, 0600), QVPKG_ERR_IO);
    Lines expected{"[RERAZERA]Can't open file " + nodir + "!\n\n",
                   "[RERAZERA]Can't open file " + slash + "!\n\n"};
    if (::access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(QVPKG_ExtractSubFile(path.c_str(), "/dev/full", 0, 100, 0600), QVPKG_ERR_IO);
        expected.push_back("[RERAZERA]Write subfile /dev/full not success! \n\n");
    }
    EXPECT_EQ(log_.lines(), expected);
}

// A write cut short by the file size limit leaves the partly written file in
// place and is not retried. Runs in a child: the limit is process-wide.
TEST_F(ExtractTest, PartlyWrittenFileIsLeftInPlace) {
    const Package pkg = three_file_package();
    const std::string path = write(pkg);
    const std::string out = existing_output();
    const auto child = [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            std::_Exit(90);
        }
        rztest::LogCapture log;
        if (QVPKG_ExtractSubFile(path.c_str(), out.c_str(), 0, 4000, 0600) != QVPKG_ERR_IO) {
            std::_Exit(91);
        }
        if (log.lines() != Lines{"[RERAZERA]Write subfile " + out + " not success! \n\n"}) {
            std::_Exit(92);
        }
        std::_Exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(rztest::read_file(out), slice(pkg.bytes, 0, 1000));
}

TEST_F(ExtractTest, AllocationFailureIsLoggedAndCoded) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "an address space limit breaks the sanitizer's shadow memory";
    }
    const std::string path = write(three_file_package());
    const std::string kept = existing_output();
    const auto child = [&] {
        rlimit limit{};
        ::getrlimit(RLIMIT_AS, &limit);
        // Room for what the process has mapped and a little more, not for
        // the 4 GiB asked for below.
        limit.rlim_cur = mapped_bytes() + (rlim_t{256} << 20);
        if (::setrlimit(RLIMIT_AS, &limit) != 0) {
            std::_Exit(90);
        }
        rztest::LogCapture log;
        if (QVPKG_ExtractSubFile(path.c_str(), kept.c_str(), 0, 0xFFFFFFFFu, 0600) !=
            QVPKG_ERR_NO_MEMORY) {
            std::_Exit(91);
        }
        if (log.lines() != Lines{"[RERAZERA]Can't alloc memory.\n\n"}) {
            std::_Exit(92);
        }
        std::_Exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(rztest::read_file(kept), kKeep);
}

TEST_F(ExtractTest, NameFromPathIsTheLastComponent) {
    const char *nested = "/tmp/dir/app.bin";
    EXPECT_EQ(QVPKG_GetNameFromPath(nested), nested + 9);
    const char *bare = "app.bin";
    EXPECT_EQ(QVPKG_GetNameFromPath(bare), bare);
    const char *empty = "";
    EXPECT_EQ(QVPKG_GetNameFromPath(empty), empty);
    const char *dots = "a/..";
    EXPECT_EQ(QVPKG_GetNameFromPath(dots), dots + 2);
    EXPECT_EQ(QVPKG_GetNameFromPath("/"), nullptr);
    EXPECT_EQ(QVPKG_GetNameFromPath("dir//"), nullptr);
    EXPECT_EQ(QVPKG_GetNameFromPath(nullptr), nullptr);
}

// Hundreds of MiB go through the mapped staging buffer in one read and one
// write; the copy must still be exact, at an unaligned offset.
TEST_F(ExtractTest, LargeRangeIsCopiedExactly) {
    constexpr std::size_t kSize = (std::size_t{192} << 20) + 12345;
    const std::string path = dir_.file("big.qv");
    write_big_file(path, kSize);
    const std::string out = dir_.file("big.out");
    constexpr std::uint32_t kOffset = 4097;
    const auto len = static_cast<std::uint32_t>(kSize - kOffset - 3);
    ASSERT_EQ(QVPKG_ExtractSubFile(path.c_str(), out.c_str(), kOffset, len, 0600), QVPKG_OK);
    EXPECT_TRUE(holds_big_range(out, kOffset, len));
    EXPECT_FALSE(holds_big_range(out, kOffset + 1, len));  // the check can fail
}

TEST(StagingBufferTest, ZeroFilledAtEverySizeAndMappedFromTwoMiB) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{4096}, (std::size_t{2} << 20) - 1,
                                   std::size_t{2} << 20, (std::size_t{5} << 20) + 3}) {
        const auto buf = rerazera::StagingBuffer::allocate_zeroed(size);
        ASSERT_TRUE(buf) << size;
        EXPECT_EQ(buf.size(), size);
        EXPECT_EQ(buf.mapped(), size >= rerazera::StagingBuffer::kMapThreshold) << size;
        if (buf.mapped()) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buf.data()) % (std::size_t{2} << 20), 0u);
        }
        bool zero = true;
        for (std::size_t i = 0; i < size; ++i) {
            zero = zero && buf.data()[i] == 0;
        }
        EXPECT_TRUE(zero) << size;
        buf.data()[size - 1] = 0xFF;  // writable to its last byte
    }
}

// ---- Extraction by ID and by name -------------------------------------------

// 255 header entries, the dummy bin file as entry 255, and extend sub-files.
Package extension_package() {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(SubFile{0x1000 + i, "h" + std::to_string(i), "header file", pattern(i % 7, 0)});
    }
    return b.add_extend(SubFile{0x7000, "ext.bin", "extend only", pattern(3000, 5)})
        .add_extend(SubFile{0x7001, "ext2.bin", "extend too", pattern(10, 6)})
        .build();
}

using ExtractByIdTest = ExtractTest;

TEST_F(ExtractByIdTest, CopiesTheWholeSubFileWithMode0640) {
    const Package pkg = three_file_package();
    const std::string path = write(pkg);
    const std::string out = dir_.file("kernel.out");
    ASSERT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), out.c_str(), 0x20), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(out), slice(pkg.bytes, pkg.entryOffsets[1], 352 + 5000));
    EXPECT_EQ(rztest::file_mode(out), 0640u);
    {
        rztest::UmaskScope strict(027);
        const std::string boot = dir_.file("boot.out");
        ASSERT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), boot.c_str(), 0x10), QVPKG_OK);
        EXPECT_EQ(rztest::file_mode(boot), 0640u & ~027u);
        EXPECT_EQ(rztest::read_file(boot), slice(pkg.bytes, pkg.entryOffsets[0], 352 + 100));
    }
    // The caller's mode, and an existing file keeps its own.
    const std::string rootfs = dir_.file("rootfs.out");
    ASSERT_EQ(QVPKG_ExtractFileFromQVExt(path.c_str(), rootfs.c_str(), 0x30, 0604), QVPKG_OK);
    EXPECT_EQ(rztest::file_mode(rootfs), 0604u);
    ASSERT_EQ(::chmod(rootfs.c_str(), 0600), 0);
    ASSERT_EQ(QVPKG_ExtractFileFromQVExt(path.c_str(), rootfs.c_str(), 0x10, 0777), QVPKG_OK);
    EXPECT_EQ(rztest::file_mode(rootfs), 0600u);
    EXPECT_EQ(rztest::read_file(rootfs), slice(pkg.bytes, pkg.entryOffsets[0], 352 + 100));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtractByIdTest, ReachesExtendSubFilesAndTheDummyBinFile) {
    const Package pkg = extension_package();
    const std::string path = write(pkg);
    const std::string out = dir_.file("ext.out");
    ASSERT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), out.c_str(), 0x7000), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(out), slice(pkg.bytes, pkg.extOffsets[0], 352 + 3000));

    // Entry 255 itself: its bin header followed by the second table.
    const std::string dummy = dir_.file("dummy.out");
    ASSERT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), dummy.c_str(), DUMMY_DESC_FILE_ID), QVPKG_OK);
    const std::size_t tableSize = 2 * 24 + 36;
    EXPECT_EQ(rztest::read_file(dummy), slice(pkg.bytes, pkg.dummyOffset, 352 + tableSize));
    EXPECT_TRUE(log_.lines().empty());

    // An ID listed nowhere: the extension lookup's -1, output untouched.
    const std::string kept = existing_output();
    EXPECT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), kept.c_str(), 0x7777), QVPKG_ERR);
    ASSERT_FALSE(log_.lines().empty());
    EXPECT_EQ(log_.lines().back(), "[RERAZERA]Get file info from QV header not success! \n\n");
    EXPECT_EQ(rztest::read_file(kept), kKeep);
}

TEST_F(ExtractByIdTest, LookupFailuresStackTheirLinesAndKeepTheOutput) {
    const std::string kept = existing_output();
    // A package path that does not exist: four lines and 11, not 4.
    const std::string missing = dir_.file("missing.qv");
    EXPECT_EQ(QVPKG_ExtractFileFromQV(missing.c_str(), kept.c_str(), 0x10), QVPKG_ERR_HEADER);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Get " + missing + "'s realpath unsuccess.\n\n",
                                   "[RERAZERA]Read QV file header unsuccess 4.\n\n",
                                   "[RERAZERA]Read QV header unsuccess.\n\n",
                                   "[RERAZERA]Get file info from QV header not success! \n\n"}));
    log_.clear();

    // An ID absent from a package without an extension: 8.
    const std::string path = write(three_file_package());
    EXPECT_EQ(QVPKG_ExtractFileFromQVExt(path.c_str(), kept.c_str(), 0x40, 0600),
              QVPKG_ERR_NO_EXTEND);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]file number less than 256, no extend subfiles!\n\n",
                                   "[RERAZERA]File not found in package!\n\n",
                                   "[RERAZERA]Get file info from QV header not success! \n\n"}));
    EXPECT_EQ(rztest::read_file(kept), kKeep);
}

TEST_F(ExtractByIdTest, DescriptorsAreTakenAsTheyStand) {
    Package pkg = PackageBuilder()
                      .add(SubFile{0x10, "boot.bin", "bootloader", pattern(100, 1)})
                      .add_raw(rerazera::writer::RawDesc{0x11, 6180, 0})    // empty entry
                      .add_raw(rerazera::writer::RawDesc{0x12, 6180, 100})  // below 352
                      .add_raw(rerazera::writer::RawDesc{0x13, 6180, 1u << 20})
                      .build();
    pkg.set_be32(pkg.entryOffsets[0] + 4, 0xDEAD);  // wrong headCrc: not looked at
    const std::string path = write(pkg);
    const std::string kept = existing_output();

    const std::string shorty = dir_.file("short.out");
    ASSERT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), shorty.c_str(), 0x12), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(shorty), slice(pkg.bytes, 6180, 100));
    const std::string boot = dir_.file("boot.out");
    ASSERT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), boot.c_str(), 0x10), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(boot), slice(pkg.bytes, pkg.entryOffsets[0], 452));
    EXPECT_TRUE(log_.lines().empty());

    EXPECT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), kept.c_str(), 0x11), QVPKG_ERR_INVALID_ARG);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Input len is invalid(0).\n\n"}));
    // Past the end of the package: the short read, then this layer's line.
    EXPECT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), kept.c_str(), 0x13), QVPKG_ERR_IO);
    ASSERT_EQ(log_.lines().size(), 3u);
    EXPECT_EQ(log_.lines()[2], "[RERAZERA]Get subfile from " + path + " not success! \n\n");
    EXPECT_EQ(rztest::read_file(kept), kKeep);
}

TEST_F(ExtractByIdTest, OutputMayBeThePackageItself) {
    const Package pkg = three_file_package();
    const std::string path = write(pkg);
    ASSERT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), path.c_str(), 0x20), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(path), slice(pkg.bytes, pkg.entryOffsets[1], 352 + 5000));
}

TEST_F(ExtractByIdTest, NullPathsAreAnsweredWithTen) {
    const std::string path = write(three_file_package());
    const std::string out = dir_.file("x");
    EXPECT_EQ(QVPKG_ExtractSubFile(nullptr, out.c_str(), 0, 10, 0600), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_ExtractFileFromQV(nullptr, out.c_str(), 0x10), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_ExtractFileFromQVExt(nullptr, nullptr, 0x10, 0600), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_ExtractFileByName(nullptr, "/", 0600), QVPKG_ERR_NULL_ARG);
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_EQ(QVPKG_ExtractFileFromQV(path.c_str(), nullptr, 0x10), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(QVPKG_ExtractFileByName(path.c_str(), nullptr, 0600), QVPKG_ERR_NULL_ARG);
    EXPECT_EQ(log_.lines(),
              (Lines{"[RERAZERA]Output path is null.\n\n", "[RERAZERA]Output path is null.\n\n"}));
    EXPECT_FALSE(rztest::file_exists(out));
}

using ExtractByNameTest = ExtractTest;

TEST_F(ExtractByNameTest, TheLastComponentNamesTheSubFile) {
    const Package pkg = three_file_package();
    const std::string path = write(pkg);
    ASSERT_EQ(::mkdir(dir_.file("sub").c_str(), 0700), 0);
    const std::string out = dir_.file("sub/kernel.bin");
    ASSERT_EQ(QVPKG_ExtractFileByName(path.c_str(), out.c_str(), 0660), QVPKG_OK);
    EXPECT_EQ(rztest::read_file(out), slice(pkg.bytes, pkg.entryOffsets[1], 352 + 5000));
    EXPECT_EQ(rztest::file_mode(out), 0640u);  // 0660 less the umask 022

    // No '/': the whole path is the name, written in the working directory.
    {
        rztest::WorkingDirScope cwd(dir_.file("sub"));
        ASSERT_EQ(QVPKG_ExtractFileByName(path.c_str(), "rootfs.img", 0600), QVPKG_OK);
    }
    EXPECT_EQ(rztest::read_file(dir_.file("sub/rootfs.img")),
              slice(pkg.bytes, pkg.entryOffsets[2], 352 + 3000));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ExtractByNameTest, FailuresKeepTheOutputPath) {
    const Package pkg = extension_package();
    const std::string path = write(pkg);
    // A trailing '/': refused before the package is opened, even one that
    // does not exist.
    const std::string slash = dir_.path() + "/";
    EXPECT_EQ(QVPKG_ExtractFileByName(path.c_str(), slash.c_str(), 0600), QVPKG_ERR_INVALID_ARG);
    EXPECT_EQ(QVPKG_ExtractFileByName(dir_.file("missing.qv").c_str(), "/", 0600),
              QVPKG_ERR_INVALID_ARG);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]invalid argument: " + slash + ".\n\n",
                                   "[RERAZERA]invalid argument: /.\n\n"}));
    log_.clear();

    // An extend sub-file's name is never found: 14 and this layer's line only.
    rztest::write_file(dir_.file("ext.bin"), kKeep);
    EXPECT_EQ(QVPKG_ExtractFileByName(path.c_str(), dir_.file("ext.bin").c_str(), 0600),
              QVPKG_ERR_NOT_FOUND);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Get file info from QV header not success! \n\n"}));
    EXPECT_EQ(rztest::read_file(dir_.file("ext.bin")), kKeep);
    log_.clear();

    // A package that does not exist: the same four lines and 11 as by ID.
    const std::string missing = dir_.file("missing.qv");
    EXPECT_EQ(QVPKG_ExtractFileByName(missing.c_str(), dir_.file("ext.bin").c_str(), 0600),
              QVPKG_ERR_HEADER);
    EXPECT_EQ(log_.lines(), (Lines{"[RERAZERA]Get " + missing + "'s realpath unsuccess.\n\n",
                                   "[RERAZERA]Read QV file header unsuccess 4.\n\n",
                                   "[RERAZERA]Read QV header unsuccess.\n\n",
                                   "[RERAZERA]Get file info from QV header not success! \n\n"}));
    EXPECT_EQ(rztest::read_file(dir_.file("ext.bin")), kKeep);
}

}  // namespace
