// Allocation failures of the lookups: the header image (twice on the way to
// the extension), the second table's buffer and the bin-header scan's
// buffer.
#include <string>
#include <vector>

#include "fault_support.hpp"
#include "rerazera.h"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;
using rzfault::Lines;

constexpr char kHeaderMalloc[] = "[RERAZERA]Malloc buffer unsuccess.\n\n";
constexpr char kReadHeader[] = "[RERAZERA]Read QV header unsuccess.\n\n";
constexpr char kNotFound[] = "[RERAZERA]File not found in package!\n\n";

class LookupFault : public ::testing::Test {
  protected:
    void SetUp() override {
        // 255 descriptors of one sub-file, then the dummy with two extend
        // sub-files: the rpg file is found only through the extension.
        const SubFile first{0x10, "boot.bin", "bootloader", std::vector<std::uint8_t>(40, 1)};
        PackageBuilder b;
        b.add(first);
        for (std::uint32_t i = 1; i < 255; ++i) {
            b.add_raw(RawDesc{0x100 + i, QVPKG_HEADER_SIZE, 0, 0, 0, 0});
        }
        b.add_extend(SubFile{0x5000, "e0.bin", "e0", {1}});
        b.add_extend(SubFile{static_cast<std::uint32_t>(RPG_FILE_ID), "rpg.bin", "rpg", {2}});
        path_ = dir_.file("ext.qv");
        b.build().write(path_);
    }
    int by_id(std::int32_t id) const {
        QVFileDesc d{};
        const int r = QVPKG_GetQVFileInfo(path_.c_str(), &d, id);
        return r == QVPKG_OK && d.fileId != static_cast<std::uint32_t>(id) ? 1000 : r;
    }

    rztest::ScratchDir dir_;
    std::string path_;
};

TEST_F(LookupFault, IdLookupThroughTheExtensionFailsAtEachAllocation) {
    const auto call = [&] { return by_id(RPG_FILE_ID); };
    ASSERT_EQ(rzfault::run_failing(0, call).result, QVPKG_OK);
    const std::string tableRead = "[RERAZERA]Get subfile from " + path_ + " not success! \n\n";
    const std::string extHeader = "[RERAZERA]Get QV header from " + path_ + " unsuccess.\n\n";
    // The header, the header again for the extension, the table buffer.
    EXPECT_EQ(rzfault::allocations_of(call), 3u);
    rzfault::sweep(call, [&](unsigned k, const rzfault::Outcome &out) {
        switch (k) {
            case 1:
                EXPECT_EQ(out.result, QVPKG_ERR_HEADER);
                EXPECT_EQ(out.lines, (Lines{kHeaderMalloc, kReadHeader}));
                break;
            case 2:
                EXPECT_EQ(out.result, QVPKG_ERR_HEADER);
                EXPECT_EQ(out.lines, (Lines{kHeaderMalloc, extHeader, kNotFound}));
                break;
            default:
                EXPECT_EQ(out.result, QVPKG_ERR_EXT_TABLE);
                EXPECT_EQ(out.lines, (Lines{"[RERAZERA]Malloc buffer not success! \n\n", tableRead,
                                            kNotFound}));
        }
    });
}

TEST_F(LookupFault, RpgCheckTurnsEveryAllocationFailureIntoAbsent) {
    ASSERT_EQ(QVPKG_ChkqvTypeFromRpg(path_.c_str()), QVPKG_OK);
    rzfault::sweep([&] { return QVPKG_ChkqvTypeFromRpg(path_.c_str()); },
                   [](unsigned, const rzfault::Outcome &out) {
                       EXPECT_EQ(out.result, QVPKG_ERR);
                       ASSERT_FALSE(out.lines.empty());
                       EXPECT_EQ(out.lines.back(),
                                 "[RERAZERA]Get rpg file info from QV header unsuccess! \n\n");
                   });
}

TEST_F(LookupFault, TableReaderFailsWithItsOwnLine) {
    QVFileDesc ext{};
    ASSERT_EQ(QVPKG_isExtendFileExist(path_.c_str(), &ext), QVPKG_OK);
    BinHeader dummy;
    ASSERT_EQ(QVPKG_ReadFileByOffset(path_.c_str(), static_cast<std::int32_t>(ext.offset), &dummy,
                                     sizeof dummy),
              QVPKG_OK);
    rzfault::sweep(
        [&] {
            SecondFileDescTable *t = QVPKG_Get2ndFileDescContent(path_.c_str(), &ext, &dummy);
            std::free(t);
            return t != nullptr ? 0 : 1;
        },
        [](unsigned, const rzfault::Outcome &out) {
            EXPECT_EQ(out.result, 1);
            EXPECT_EQ(out.report.failed_size, QVPKG_2ND_TABLE_SIZE(2));
            EXPECT_EQ(out.lines, Lines{"[RERAZERA]Malloc buffer not success! \n\n"});
        });
}

TEST_F(LookupFault, BinHeaderScanFailsWithCode3) {
    const auto call = [&] {
        QVFileDesc d{};
        return QVPKG_GetQVFileInfoByName(path_.c_str(), &d, "no such name");
    };
    EXPECT_EQ(rzfault::allocations_of(call), 2u);
    rzfault::sweep(call, [](unsigned k, const rzfault::Outcome &out) {
        if (k == 1) {
            EXPECT_EQ(out.result, QVPKG_ERR_HEADER);
            EXPECT_EQ(out.lines, (Lines{kHeaderMalloc, kReadHeader}));
        } else {
            EXPECT_EQ(out.result, QVPKG_ERR_NO_MEMORY);
            EXPECT_EQ(out.report.failed_size, BIN_HEADER_SIZE);
            EXPECT_EQ(out.lines, Lines{"[RERAZERA]Malloc file header unsuccess.\n\n"});
        }
    });
}

}  // namespace
