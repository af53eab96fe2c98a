// Allocation failures of header access: the header image and the product
// type query's buffer.
#include <cstdlib>
#include <string>

#include "fault_support.hpp"
#include "rerazera.h"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::PackageBuilder;
using rerazera::writer::SubFile;
using rzfault::Lines;

class HeaderFault : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.file("pkg.qv");
        PackageBuilder()
            .product_type(0x4321)
            .add(SubFile{0x10, "a.bin", "a", {1, 2, 3}})
            .build()
            .write(path_);
    }
    rztest::ScratchDir dir_;
    std::string path_;
};

TEST_F(HeaderFault, HeaderLoadFailsCleanly) {
    const auto call = [&] {
        QVHeader *h = QVPKG_GetQVHeader(path_.c_str());
        std::free(h);
        return h != nullptr ? 0 : 1;
    };
    EXPECT_EQ(rzfault::allocations_of(call), 1u);
    rzfault::sweep(call, [](unsigned, const rzfault::Outcome &out) {
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(out.report.failed_size, QVPKG_HEADER_SIZE);
        EXPECT_EQ(out.lines, Lines{"[RERAZERA]Malloc buffer unsuccess.\n\n"});
    });
}

TEST_F(HeaderFault, ProductTypeFailsWithCode3) {
    // The out value must stay as it was when the call fails.
    constexpr int kWrittenOnFailure = 1000;
    const auto call = [&] {
        std::uint32_t type = 77;
        const int r = QVPKG_ExtractProductTypeFromQV(path_.c_str(), &type);
        return r != QVPKG_OK && type != 77 ? kWrittenOnFailure : r;
    };
    EXPECT_EQ(rzfault::allocations_of(call), 1u);
    rzfault::sweep(call, [&](unsigned, const rzfault::Outcome &out) {
        EXPECT_EQ(out.result, QVPKG_ERR_NO_MEMORY);
        EXPECT_EQ(out.lines, Lines{"[RERAZERA]get product type malloc unsuccess.\n"});
    });
}

// The injector itself: what the library hands out is seen as live until
// the caller releases it, so "nothing live" after a call means something.
TEST_F(HeaderFault, InjectorTracksWhatTheLibraryHandsOut) {
    alloc_fault_arm(0, 0);
    QVHeader *h = QVPKG_GetQVHeader(path_.c_str());
    char msg[64] = "";
    std::uint32_t len = 0;
    std::uint8_t *map = QVPKG_MapQVFile(path_.c_str(), &len, msg, sizeof msg);
    const alloc_report held = alloc_fault_disarm();
    ASSERT_NE(h, nullptr);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(held.count, 2u);
    EXPECT_EQ(held.live, 1u);
    EXPECT_EQ(held.live_mapped, len);

    alloc_fault_arm(0, 0);
    std::free(h);
    EXPECT_EQ(QVPKG_UnmapQVFile(map, len), 0);
    const alloc_report released = alloc_fault_disarm();
    EXPECT_EQ(released.count, 0u);
}

TEST_F(HeaderFault, MappingFailureIsReportedInTheMessage) {
    rzfault::sweep(
        [&] {
            char msg[64] = "";
            std::uint32_t len = 5;
            std::uint8_t *map = QVPKG_MapQVFile(path_.c_str(), &len, msg, sizeof msg);
            if (map != nullptr) {
                QVPKG_UnmapQVFile(map, len);
                return 0;
            }
            return len == 5 && std::string(msg) == "Mmap Device space fail\n" ? 1 : 1000;
        },
        [](unsigned, const rzfault::Outcome &out) {
            EXPECT_EQ(out.result, 1);
            EXPECT_TRUE(out.lines.empty());
        });
}

}  // namespace
