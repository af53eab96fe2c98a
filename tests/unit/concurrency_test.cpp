// SPDX-License-Identifier: MIT
// Calls from several threads at once, on the same packages and on one
// mapping: the library keeps no state, so every thread must see exactly
// what a lone caller sees. Fixed work per thread and a join keep the test
// deterministic; CI also runs it under ThreadSanitizer.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "support/fixture.hpp"

namespace {

using namespace rztest;

// Runs body(thread, round) on 4 threads, 25 rounds each; counts failures.
template <class Body>
int on_threads(Body body) {
    std::atomic<int> failures{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 25; ++round) {
                failures += body(t, round) ? 0 : 1;
            }
        });
    }
    threads.clear();  // joins them
    return failures.load();
}

TEST(Concurrency, VerificationLookupsAndExtractionsAgreeAcrossThreads) {
    ScratchDir dir;
    LogCapture log;
    FdLeakCheck fds;
    const Package good = ext_package(50);
    Package corrupt = good;
    corrupt.bytes[corrupt.extOffsets[40] + 352] ^= 4;
    Package header = good;
    header.set_be32(6176, header.be32(6176) ^ 1);
    const struct {
        std::string path;
        int result;
        std::string verdict;
    } cases[] = {
        {dir.file("good.qv"), 0, "Info: System software CRC check OK!\n"},
        {dir.file("corrupt.qv"), -1,
         "file crc is not correct. fileID =0x5028\nInfo: System software CRC check failed!\n"},
        {dir.file("header.qv"), 11, "Check QV header fail! \n"},
        {dir.file("name@x.qv"), 13, "Info: V5 packet name can't contain character '@'!\n"},
    };
    good.write(cases[0].path);
    corrupt.write(cases[1].path);
    header.write(cases[2].path);
    good.write(cases[3].path);
    const std::string path = cases[0].path;
    EXPECT_EQ(on_threads([&](int t, int round) {
                  const auto &c = cases[(t + round) % 4];  // each case on several threads
                  char msg[256] = "";
                  bool ok = QVPKG_ChkQVFileInfo(c.path.c_str(), msg, sizeof msg) == c.result &&
                            c.verdict == msg;
                  const auto k = static_cast<std::uint32_t>(t * 25 + round) % 50;
                  QVFileDesc byId{}, byName{};
                  ok = ok && QVPKG_GetQVFileInfo(path.c_str(), &byId, 0x5000 + k) == 0 &&
                       byId.offset == good.extOffsets[k] &&
                       QVPKG_GetQVFileInfoByName(path.c_str(), &byName, "h7") == 0 &&
                       byName.fileId == 0x1007 && QVPKG_ChkqvTypeFromRpg(path.c_str()) == -1;
                  const std::string out = dir.file("out-" + std::to_string(t));
                  ok = ok && QVPKG_ExtractFileFromQV(path.c_str(), out.c_str(), 0x5000 + k) == 0 &&
                       read_file(out) == slice(good.bytes, byId.offset, byId.length);
                  QVHeader *h = QVPKG_GetQVHeader((round % 2 ? cases[2] : cases[0]).path.c_str());
                  ok = ok && (h != nullptr) == (round % 2 == 0);
                  std::free(h);
                  std::uint32_t type = 1;
                  return ok && QVPKG_ExtractProductTypeFromQV(path.c_str(), &type) == 0 &&
                         type == 0;
              }),
              0);
    int crcLines = 0;  // every refused header logged its line, whole
    for (const auto &line : log.lines()) {
        crcLines += line == "[RERAZERA]Boot file CRC check not ok.\n\n";
    }
    EXPECT_EQ(crcLines, 25 * 2 + 4 * 12);  // 25 checks of header.qv (lookup, walk), 48 loads
}

TEST(Concurrency, ThreadsWalkOneMapping) {
    ScratchDir dir;
    Package pkg = three_files();
    pkg.bytes[pkg.entryOffsets[2] + 100] ^= 1;
    pkg.write(dir.file("shared.qv"));
    char msg[64] = "";
    std::uint32_t len = 0;
    std::uint8_t *base = QVPKG_MapQVFile(dir.file("shared.qv").c_str(), &len, msg, sizeof msg);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(on_threads([&](int, int) {
                  char own[128] = "";
                  return QVPKG_ChkSubFileInfo(base, len, own, sizeof own) == -1 &&
                         std::string(own) ==
                             "head crc is not correct. fileID =0x30\n"
                             "Info: System software CRC check failed!\n";
              }),
              0);
    EXPECT_EQ(QVPKG_UnmapQVFile(base, len), 0);
}

}  // namespace
