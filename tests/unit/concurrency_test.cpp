// Verification from several threads at once: the same package, different
// packages, and one mapping walked by every thread. The library keeps no
// state, so every verdict must be the one a lone call gives. Fixed work per
// thread and a join at the end keep the test deterministic (it also runs
// under ThreadSanitizer).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "rerazera.h"
#include "support/log_capture.hpp"
#include "support/scratch.hpp"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::SubFile;

constexpr int kThreads = 4;
constexpr int kRounds = 25;

struct Case {
    std::string path;
    std::int32_t result;
    std::string verdict;
};

Package base_package() {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 8; ++i) {
        b.add(SubFile{0x30 + i, "f", "f", std::vector<std::uint8_t>(20000 + i, 0x11 * i)});
    }
    return b.build();
}

TEST(Concurrency, ThreadsVerifyingPackagesGetTheirOwnVerdicts) {
    rztest::ScratchDir dir;
    rztest::LogCapture log;
    rztest::FdLeakCheck fds;

    std::vector<Case> cases;
    Package good = base_package();
    good.write(dir.file("good.qv"));
    cases.push_back({dir.file("good.qv"), QVPKG_OK, "Info: System software CRC check OK!\n"});

    Package corrupt = base_package();
    corrupt.bytes[corrupt.entryOffsets[5] + 9000] ^= 4;
    corrupt.write(dir.file("corrupt.qv"));
    cases.push_back({dir.file("corrupt.qv"), QVPKG_ERR,
                     "file crc is not correct. fileID =0x35\n"
                     "Info: System software CRC check failed!\n"});

    Package header = base_package();
    header.set_be32(6176, header.be32(6176) ^ 1);
    header.write(dir.file("header.qv"));
    cases.push_back({dir.file("header.qv"), QVPKG_ERR_HEADER, "Check QV header fail! \n"});

    good.write(dir.file("name@x.qv"));
    cases.push_back({dir.file("name@x.qv"), QVPKG_ERR_NAME,
                     "Info: V5 packet name can't contain character '@'!\n"});

    std::vector<std::vector<std::string>> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                // Every thread runs every case, each starting at its own one,
                // so the same package is verified by several threads at once.
                const Case &c = cases[(t + round) % cases.size()];
                char msg[256] = "";
                const std::int32_t r = QVPKG_ChkQVFileInfo(c.path.c_str(), msg, sizeof msg);
                if (r != c.result || c.verdict != msg) {
                    failures[t].push_back(c.path + ": " + std::to_string(r) + " " + msg);
                }
            }
        });
    }
    for (std::thread &th : threads) {
        th.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(failures[t].empty()) << "thread " << t << ": " << failures[t].front();
    }
}

TEST(Concurrency, ThreadsWalkOneMapping) {
    rztest::ScratchDir dir;
    Package pkg = base_package();
    pkg.bytes[pkg.entryOffsets[7] + 100] ^= 1;  // the last entry's bin header
    pkg.write(dir.file("shared.qv"));
    char msg[64] = "";
    std::uint32_t len = 0;
    std::uint8_t *base = QVPKG_MapQVFile(dir.file("shared.qv").c_str(), &len, msg, sizeof msg);
    ASSERT_NE(base, nullptr);

    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                char own[128] = "";
                const std::int32_t r = QVPKG_ChkSubFileInfo(base, len, own, sizeof own);
                wrong[t] += r != QVPKG_ERR || std::string(own) !=
                                                  "head crc is not correct. fileID =0x37\n"
                                                  "Info: System software CRC check failed!\n";
            }
        });
    }
    for (std::thread &th : threads) {
        th.join();
    }
    EXPECT_EQ(QVPKG_UnmapQVFile(base, len), 0);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
    }
}

}  // namespace
