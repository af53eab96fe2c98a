// Reading operations called from several threads at once on one package:
// the library keeps no state, so every thread must see exactly what a lone
// caller sees. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
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
constexpr int kRounds = 50;

// Runs body(thread, round) on kThreads threads and counts the rounds whose
// body returned false.
template <class Body>
int run_threads(Body body) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                if (!body(t, round)) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    return failures.load();
}

class ConcurrencyReader : public ::testing::Test {
  protected:
    void SetUp() override {
        pkg_ = PackageBuilder()
                   .product_type(0x0BEE)
                   .add(SubFile{0x10, "boot.bin", "bootloader", std::vector<std::uint8_t>(500, 1)})
                   .add(SubFile{0x20, "kernel.bin", "kernel", std::vector<std::uint8_t>(3000, 2)})
                   .build();
        good_ = dir_.file("good.qv");
        pkg_.write(good_);
        Package bad = pkg_;
        bad.set_be32(QVPKG_HEADER_CRC_LEN, 1);  // wrong header checksum
        bad_ = dir_.file("bad.qv");
        bad.write(bad_);
    }
    rztest::ScratchDir dir_;
    rztest::LogCapture log_;
    Package pkg_;
    std::string good_;
    std::string bad_;
};

TEST_F(ConcurrencyReader, HeaderLoadsAndQueriesAgreeAcrossThreads) {
    rztest::FdLeakCheck fds;
    const int failures = run_threads([&](int t, int round) {
        // Alternate between the good and the broken package so that success
        // and failure paths (with their log lines) interleave.
        const bool good = (t + round) % 2 == 0;
        QVHeader *h = QVPKG_GetQVHeader(good ? good_.c_str() : bad_.c_str());
        const bool loaded = h != nullptr;
        const bool same = loaded && std::memcmp(h, pkg_.bytes.data(), QVPKG_HEADER_SIZE) == 0;
        std::free(h);
        std::uint32_t type = 0;
        const bool typed =
            QVPKG_ExtractProductTypeFromQV(good_.c_str(), &type) == QVPKG_OK && type == 0x0BEE;
        std::vector<std::uint8_t> buf(100);
        const bool read =
            QVPKG_ReadFileByOffset(good_.c_str(), static_cast<std::int32_t>(6180 + round),
                                   buf.data(), 100) == QVPKG_OK &&
            std::memcmp(buf.data(), pkg_.bytes.data() + 6180 + round, 100) == 0;
        return (good ? same : !loaded) && typed && read;
    });
    EXPECT_EQ(failures, 0);
    // Every failed load logged its three lines, whole: no line was torn.
    int crcLines = 0;
    for (const auto &line : log_.lines()) {
        crcLines += line == "[RERAZERA]Boot file CRC check not ok.\n\n";
    }
    EXPECT_EQ(crcLines, kThreads * kRounds / 2);
}

// Lookups by ID (header table and extension), by name and by description,
// and extraction of the sub-files found, all threads on one package with an
// extension, each writing its own output files.
TEST_F(ConcurrencyReader, LookupsAndExtractionsAgreeAcrossThreads) {
    using rerazera::writer::RawDesc;
    const SubFile first{0x10, "boot.bin", "bootloader", std::vector<std::uint8_t>(700, 3)};
    PackageBuilder b;
    b.add(first);
    for (std::uint32_t i = 1; i < 255; ++i) {
        b.add_raw(RawDesc{0x100 + i, QVPKG_HEADER_SIZE, 0, 0, 0, 0});
    }
    for (std::uint32_t i = 0; i < 50; ++i) {
        b.add_extend(SubFile{0x7000 + i, "ext" + std::to_string(i), "extend",
                             std::vector<std::uint8_t>(10 + i, static_cast<std::uint8_t>(i))});
    }
    const Package ext = b.build();
    const std::string path = dir_.file("ext.qv");
    ext.write(path);

    rztest::FdLeakCheck fds;
    const int failures = run_threads([&](int t, int round) {
        const std::uint32_t k = static_cast<std::uint32_t>(t * kRounds + round) % 50;
        QVFileDesc byId{};
        QVFileDesc byName{};
        QVFileDesc byDesc{};
        bool ok = QVPKG_GetQVFileInfo(path.c_str(), &byId, static_cast<std::int32_t>(0x7000 + k)) ==
                      QVPKG_OK &&
                  byId.offset == ext.extOffsets[k] && byId.length == 352 + 10 + k;
        ok = ok && QVPKG_GetQVFileInfoByName(path.c_str(), &byName, "boot.bin") == QVPKG_OK &&
             byName.offset == QVPKG_HEADER_SIZE;
        ok = ok && QVPKG_GetQVFileInfoByDesc(path.c_str(), &byDesc, "loader") == QVPKG_OK &&
             byDesc.fileId == 0x10;
        ok = ok && QVPKG_ChkqvTypeFromRpg(path.c_str()) == QVPKG_ERR;
        const std::string out = dir_.file("out-" + std::to_string(t));
        ok = ok &&
             QVPKG_ExtractSubFile(path.c_str(), out.c_str(), static_cast<std::int32_t>(byId.offset),
                                  byId.length, 0600) == QVPKG_OK;
        if (ok) {
            const std::vector<std::uint8_t> got = rztest::read_file(out);
            ok = got.size() == byId.length &&
                 std::memcmp(got.data(), ext.bytes.data() + byId.offset, got.size()) == 0;
        }
        return ok;
    });
    EXPECT_EQ(failures, 0);
}

}  // namespace
