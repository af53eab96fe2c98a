// Allocation failures behind the one-call verification: the rpg lookup of
// the name rule and the package mapping.
#include <string>
#include <vector>

#include "fault_support.hpp"
#include "rerazera.h"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::PackageBuilder;
using rerazera::writer::SubFile;
using rzfault::Lines;

TEST(VerifyFault, NameRuleAndMappingFailures) {
    rztest::ScratchDir dir;
    // A package that carries the rpg file may have '@' in its path; when
    // the lookup that finds the rpg file runs out of memory, the package is
    // treated as one without it and the name is refused.
    const std::string path = dir.file("pkg@v5.qv");
    PackageBuilder()
        .add(SubFile{0x10, "a.bin", "a", std::vector<std::uint8_t>(100, 1)})
        .add(SubFile{static_cast<std::uint32_t>(RPG_FILE_ID), "rpg.bin", "rpg", {1, 2}})
        .build()
        .write(path);
    const auto call = [&] {
        char msg[128] = "";
        const int r = QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg);
        return r == QVPKG_OK && std::string(msg) != "Info: System software CRC check OK!\n" ? 1000
                                                                                            : r;
    };
    ASSERT_EQ(rzfault::run_failing(0, call).result, QVPKG_OK);
    EXPECT_EQ(rzfault::allocations_of(call), 2u);  // the header of the lookup, the mapping
    rzfault::sweep(call, [&](unsigned k, const rzfault::Outcome &out) {
        if (k == 1) {
            EXPECT_EQ(out.result, QVPKG_ERR_NAME);
            ASSERT_FALSE(out.lines.empty());
            EXPECT_EQ(out.lines.front(), "[RERAZERA]Malloc buffer unsuccess.\n\n");
            EXPECT_EQ(out.lines.back(), "[RERAZERA]Invalid file name " + path + "\n\n");
        } else {
            EXPECT_EQ(out.result, QVPKG_ERR);
            EXPECT_EQ(out.lines, Lines{"[RERAZERA]Map file unsuccess " + path +
                                       ", Mmap Device space fail\n\n\n"});
        }
    });
}

}  // namespace
