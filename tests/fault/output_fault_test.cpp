// Allocation and write failures of extraction and bin header stripping.
// Small sub-files are staged on the heap; from 2 MiB on the staging buffer
// is an anonymous mapping with the heap as its fallback, so both have to
// fail before an extraction runs out of memory.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fault_support.hpp"
#include "rerazera.h"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::PackageBuilder;
using rerazera::writer::SubFile;
using rzfault::Lines;

constexpr char kCantAlloc[] = "[RERAZERA]Can't alloc memory.\n\n";

class OutputFault : public ::testing::Test {
  protected:
    void SetUp() override {
        pkg_ = dir_.file("pkg.qv");
        PackageBuilder()
            .add(SubFile{0x10, "small.bin", "small", std::vector<std::uint8_t>(1000, 1)})
            .add(SubFile{0x20, "large.bin", "large", std::vector<std::uint8_t>(3u << 20, 2)})
            .build()
            .write(pkg_);
        bin_ = dir_.file("in.bin");
        rztest::write_file(bin_, rerazera::writer::make_bin_file(SubFile{
                                     0x30, "in.bin", "", std::vector<std::uint8_t>(500, 3)}));
        out_ = dir_.file("out.bin");
    }
    rztest::ScratchDir dir_;
    std::string pkg_;
    std::string bin_;
    std::string out_;
};

TEST_F(OutputFault, ExtractionOfASmallSubFileFailsOnMemory) {
    QVFileDesc d{};
    ASSERT_EQ(QVPKG_GetQVFileInfo(pkg_.c_str(), &d, 0x10), QVPKG_OK);
    const auto call = [&] {
        ::unlink(out_.c_str());
        return QVPKG_ExtractSubFile(pkg_.c_str(), out_.c_str(), static_cast<std::int32_t>(d.offset),
                                    d.length, 0600);
    };
    EXPECT_EQ(rzfault::allocations_of(call), 1u);  // the staging buffer
    rzfault::sweep(call, [&](unsigned, const rzfault::Outcome &out) {
        EXPECT_EQ(out.result, QVPKG_ERR_NO_MEMORY);
        EXPECT_EQ(out.report.failed_size, 1352u);
        EXPECT_EQ(out.lines, Lines{kCantAlloc});
        EXPECT_FALSE(rztest::file_exists(out_)) << "output created although nothing was staged";
    });
}

TEST_F(OutputFault, ExtractionByIdFailsAtEachAllocation) {
    const auto call = [&] {
        ::unlink(out_.c_str());
        return QVPKG_ExtractFileFromQV(pkg_.c_str(), out_.c_str(), 0x10);
    };
    EXPECT_EQ(rzfault::allocations_of(call), 2u);  // the header, the staging buffer
    rzfault::sweep(call, [&](unsigned k, const rzfault::Outcome &out) {
        if (k == 1) {
            EXPECT_EQ(out.result, QVPKG_ERR_HEADER);
            EXPECT_EQ(out.lines,
                      (Lines{"[RERAZERA]Malloc buffer unsuccess.\n\n",
                             "[RERAZERA]Read QV header unsuccess.\n\n",
                             "[RERAZERA]Get file info from QV header not success! \n\n"}));
        } else {
            EXPECT_EQ(out.result, QVPKG_ERR_NO_MEMORY);
            EXPECT_EQ(out.lines, Lines{kCantAlloc});
        }
        EXPECT_FALSE(rztest::file_exists(out_));
    });
}

TEST_F(OutputFault, ExtractionOfALargeSubFileNeedsBothMappingAndHeapToFail) {
    QVFileDesc d{};
    ASSERT_EQ(QVPKG_GetQVFileInfo(pkg_.c_str(), &d, 0x20), QVPKG_OK);
    const auto call = [&] {
        return QVPKG_ExtractSubFile(pkg_.c_str(), out_.c_str(), static_cast<std::int32_t>(d.offset),
                                    d.length, 0600);
    };
    // Only the mapping fails: the heap takes over and the copy is exact.
    const rzfault::Outcome mapOnly = rzfault::run_failing(1, call);
    EXPECT_EQ(mapOnly.result, QVPKG_OK);
    EXPECT_EQ(mapOnly.report.count, 2u);
    rzfault::expect_released(mapOnly);
    EXPECT_EQ(rztest::read_file(out_).size(), d.length);
    ::unlink(out_.c_str());

    // Both fail.
    const int fds = rztest::open_fd_count();
    const rzfault::Outcome both = rzfault::run_failing(1, call, /*sticky=*/true);
    EXPECT_EQ(both.result, QVPKG_ERR_NO_MEMORY);
    EXPECT_EQ(both.report.failed, 2u);
    EXPECT_EQ(both.lines, Lines{kCantAlloc});
    rzfault::expect_released(both);
    EXPECT_EQ(rztest::open_fd_count(), fds);
    EXPECT_FALSE(rztest::file_exists(out_));
}

TEST_F(OutputFault, BinFileReaderAndStripFailOnMemory) {
    rzfault::sweep(
        [&] {
            std::uint32_t len = 7;
            std::uint8_t *image = QVPKG_ReadBinFile(bin_.c_str(), &len);
            std::free(image);
            return image != nullptr ? 0 : (len == 7 ? 1 : 1000);
        },
        [](unsigned, const rzfault::Outcome &out) {
            EXPECT_EQ(out.result, 1);
            EXPECT_EQ(out.lines, Lines{"[RERAZERA]out of memory 852.\n"});
        });
    rzfault::sweep(
        [&] {
            ::unlink(out_.c_str());
            return QVPKG_StripBinHeader(bin_.c_str(), out_.c_str());
        },
        [&](unsigned, const rzfault::Outcome &out) {
            EXPECT_EQ(out.result, QVPKG_ERR_IO);
            EXPECT_EQ(out.lines, Lines{"[RERAZERA]out of memory 852.\n"});
            EXPECT_FALSE(rztest::file_exists(out_));
        });
}

// Writes to a full device: the one write comes back short (-1, ENOSPC), is
// not retried, and the output descriptor is closed.
TEST_F(OutputFault, WritesToAFullDeviceFailWithCode2) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no writable /dev/full";
    }
    rztest::LogCapture log;
    rztest::FdLeakCheck fds;
    EXPECT_EQ(QVPKG_ExtractSubFile(pkg_.c_str(), "/dev/full", 0, 100, 0600), QVPKG_ERR_IO);
    EXPECT_EQ(log.lines(), Lines{"[RERAZERA]Write subfile /dev/full not success! \n\n"});
    log.clear();
    EXPECT_EQ(QVPKG_StripBinHeader(bin_.c_str(), "/dev/full"), QVPKG_ERR_IO);
    EXPECT_EQ(log.lines(), Lines{"[RERAZERA]Write subfile /dev/full unsuccess -1 500.\n"});
    log.clear();
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(QVPKG_WriteBuf2File("/dev/full", bytes, 1, 3), QVPKG_ERR_IO);
    EXPECT_EQ(log.lines(), Lines{"[RERAZERA]Write subfile /dev/full unsuccess -1 3.\n"});
}

}  // namespace
