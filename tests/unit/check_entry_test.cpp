// The check entry and the name rule: verdicts, results, the entry's own log
// lines, and nothing (mapping, descriptor) left behind on any path.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>
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

constexpr char kOk[] = "Info: System software CRC check OK!\n";
constexpr char kNameRule[] = "Info: V5 packet name can't contain character '@'!\n";
constexpr char kRpgAbsent[] = "[RERAZERA]Get rpg file info from QV header unsuccess! \n\n";

Package package(bool withRpg) {
    PackageBuilder b;
    b.add(SubFile{0x10, "boot", "boot", std::vector<std::uint8_t>(3000, 1)});
    if (withRpg) {
        b.add(SubFile{static_cast<std::uint32_t>(RPG_FILE_ID), "rpg", "rpg", {9, 9, 9}});
    }
    b.add(SubFile{0x11, "app", "app", std::vector<std::uint8_t>(5000, 2)});
    return b.build();
}

int mappings_of(const std::string &path) {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) {
        count += line.find(path) != std::string::npos;
    }
    return count;
}

class CheckEntryTest : public ::testing::Test {
  protected:
    std::string write(const Package &pkg, const std::string &rel) {
        const std::string path = dir_.file(rel);
        const auto slash = path.rfind('/');
        ::mkdir(path.substr(0, slash).c_str(), 0700);
        pkg.write(path);
        return path;
    }
    // Runs the check entry with a buffer holding "caller"; returns the
    // result and leaves the text in msg_.
    std::int32_t check(const std::string &path) {
        std::strcpy(msg_, "caller");
        log_.clear();
        const std::int32_t r = QVPKG_ChkQVFileInfo(path.c_str(), msg_, sizeof msg_);
        EXPECT_EQ(mappings_of(dir_.path()), 0) << "mapping left behind for " << path;
        return r;
    }
    [[nodiscard]] std::string last_line() const {
        const auto lines = log_.lines();
        return lines.empty() ? std::string() : lines.back();
    }

    rztest::ScratchDir dir_;
    rztest::LogCapture log_;
    rztest::FdLeakCheck fds_;
    char msg_[256] = "";
};

TEST_F(CheckEntryTest, ValidPackagePassesAndLogsOnlyTheLookup) {
    const std::string path = write(package(false), "pkg.qv");
    EXPECT_EQ(check(path), QVPKG_OK);
    EXPECT_STREQ(msg_, kOk);
    EXPECT_EQ(last_line(), kRpgAbsent);  // the name rule asked, the entry logged nothing

    EXPECT_EQ(check(write(package(true), "rpg.qv")), QVPKG_OK);
    EXPECT_STREQ(msg_, kOk);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(CheckEntryTest, NameRuleRefusesAtAnywhereUnlessRpgIsCarried) {
    Package corrupt = package(false);
    corrupt.bytes[corrupt.entryOffsets[1] + 400] ^= 1;
    const std::string path = write(corrupt, "v5@lab/pkg.qv");
    // 13, not -1: refused before the package is mapped and walked.
    EXPECT_EQ(check(path), QVPKG_ERR_NAME);
    EXPECT_STREQ(msg_, kNameRule);
    EXPECT_EQ(last_line(), "[RERAZERA]Invalid file name " + path + "\n\n");

    std::strcpy(msg_, "caller");
    EXPECT_EQ(QVPKG_CheckFilename(path.c_str(), msg_, sizeof msg_), QVPKG_ERR_NAME);
    EXPECT_STREQ(msg_, kNameRule);

    // The rpg file exempts the package; it is then verified like any other.
    Package rpg = package(true);
    const std::string exempt = write(rpg, "v5@lab/rpg.qv");
    EXPECT_EQ(check(exempt), QVPKG_OK);
    EXPECT_STREQ(msg_, kOk);
    rpg.bytes[rpg.entryOffsets[2] + 400] ^= 1;
    write(rpg, "v5@lab/rpg.qv");
    EXPECT_EQ(check(exempt), QVPKG_ERR);
    EXPECT_STREQ(msg_,
                 "file crc is not correct. fileID =0x11\n"
                 "Info: System software CRC check failed!\n");
    EXPECT_EQ(last_line(), "[RERAZERA]check subfile unsuccess " + exempt + ", " + msg_ + "\n\n");

    // Without '@' the rule passes and leaves msg untouched, rpg or not.
    for (const char *name : {"plain.qv", "plainrpg.qv"}) {
        const std::string p = write(package(std::strcmp(name, "plainrpg.qv") == 0), name);
        std::strcpy(msg_, "caller");
        EXPECT_EQ(QVPKG_CheckFilename(p.c_str(), msg_, sizeof msg_), QVPKG_OK);
        EXPECT_STREQ(msg_, "caller");
    }
}

TEST_F(CheckEntryTest, MissingFiles) {
    const std::string at = dir_.file("no@such.qv");
    EXPECT_EQ(check(at), QVPKG_ERR_NAME);  // the lookup fails, so the rule applies
    EXPECT_STREQ(msg_, kNameRule);

    const std::string missing = dir_.file("missing.qv");
    EXPECT_EQ(check(missing), QVPKG_ERR);
    EXPECT_STREQ(msg_, "caller");
    EXPECT_EQ(last_line(), "[RERAZERA]Map file unsuccess " + missing + ", caller\n\n");

    EXPECT_EQ(check(""), QVPKG_ERR);
    EXPECT_EQ(last_line(), "[RERAZERA]Map file unsuccess , caller\n\n");
}

TEST_F(CheckEntryTest, FailuresOfMappingAndWalk) {
    const std::string tiny = dir_.file("tiny.qv");
    rztest::write_file(tiny, std::vector<std::uint8_t>(6179, 0));
    EXPECT_EQ(check(tiny), QVPKG_ERR);
    EXPECT_STREQ(msg_, "File length is wrong, less than header.\n");
    EXPECT_EQ(last_line(), "[RERAZERA]Map file unsuccess " + tiny +
                               ", File length is wrong, less than header.\n\n\n");

    // A header CRC failure: 11 from the walk, not the header check's 7.
    Package pkg = package(false);
    pkg.set_be32(6176, pkg.be32(6176) ^ 0x40);
    const std::string bad = write(pkg, "badheader.qv");
    EXPECT_EQ(check(bad), QVPKG_ERR_HEADER);
    EXPECT_STREQ(msg_, "Check QV header fail! \n");
    const auto lines = log_.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "[RERAZERA]Boot file CRC check not ok.\n\n");
    EXPECT_EQ(lines.back(),
              "[RERAZERA]check subfile unsuccess " + bad + ", Check QV header fail! \n\n\n");

    pkg = package(false);
    pkg.set_be32(Package::entry_field(1, 8), pkg.be32(Package::entry_field(1, 8)) + 1);
    pkg.reseal_header();
    EXPECT_EQ(check(write(pkg, "long.qv")), QVPKG_ERR_LENGTH);
    EXPECT_STREQ(msg_, "File length is wrong, offset is out of file size.\n");
}

TEST_F(CheckEntryTest, CorruptExtendSubfileFailsVerification) {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(SubFile{i + 1, "f", "f", {static_cast<std::uint8_t>(i)}});
    }
    b.add_extend(SubFile{0x7001, "x", "x", std::vector<std::uint8_t>(4000, 3)});
    // Long enough to be brought in ahead of its checksum.
    b.add_extend(SubFile{0x7002, "y", "y", std::vector<std::uint8_t>(3u << 20, 4)});
    Package pkg = b.build();
    EXPECT_EQ(check(write(pkg, "ext.qv")), QVPKG_OK);
    pkg.bytes[pkg.extOffsets[1] + 352 + (3u << 20) - 1] ^= 1;
    EXPECT_EQ(check(write(pkg, "ext.qv")), QVPKG_ERR);
    EXPECT_STREQ(msg_,
                 "file crc is not correct. fileID =0x7002\n"
                 "Info: System software CRC check failed!\n");
}

}  // namespace
