// SPDX-License-Identifier: MIT
// Packages whose entries claim far more than the file: every way of summing
// ranges gives the straightforward walk's code, text and log lines.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <numeric>
#include <random>

#include "format/crc.hpp"
#include "format/layout.hpp"
#include "support/log_capture.hpp"
#include "verify/extension_check.hpp"
#include "verify/walk.hpp"
#include "writer/bombs.hpp"

namespace {

using rerazera::CrcMode;
using rerazera::RangeCrc;

struct Outcome {
    int code;
    std::string msg;
    std::vector<std::string> log;
};

Outcome walk(const std::vector<std::uint8_t> &b, CrcMode mode) {
    rztest::LogCapture log;
    char msg[256] = "caller";
    const int r = rerazera::check_package(b.data(), static_cast<std::uint32_t>(b.size()), msg,
                                          sizeof msg, nullptr, mode);
    return {r, msg, log.lines()};
}

Outcome extension(const std::vector<std::uint8_t> &b, CrcMode mode) {
    rztest::LogCapture log;
    char msg[256] = "caller";
    const std::uint8_t *e = b.data() + 4 + 24 * 255;
    const QVFileDesc d{
        0,
        (std::uint32_t{e[4]} << 24) | (std::uint32_t{e[5]} << 16) | (std::uint32_t{e[6]} << 8) | e[7],
        0,
        0,
        0,
        0};
    RangeCrc ranges(b.data(), rerazera::kNoLimit, nullptr, mode);
    const int r =
        rerazera::check_extension(b.data(), d, rerazera::kNoLimit, msg, sizeof msg, ranges);
    return {r, msg, log.lines()};
}

TEST(Bombs, EveryModeAgreesWithTheStraightforwardWalk) {
    const std::string failed = "Info: System software CRC check failed!\n";
    const std::map<std::string, std::pair<int, std::string>> expected = {
        {"mixed, bad checksum first", {-1, "file crc is not correct. fileID =0x912d\n" + failed}},
        {"mixed, length past the file first",
         {6, "File length is wrong, offset is out of file size.\n"}},
    };
    for (const auto &bomb : rerazera::writer::bomb_corpus()) {
        SCOPED_TRACE(bomb.name);
        const auto &bytes = bomb.pkg.bytes;
        const Outcome plain = walk(bytes, CrcMode::Direct);
        const auto want =
            expected.count(bomb.name)
                ? expected.at(bomb.name)
                : std::pair<int, std::string>{0, "Info: System software CRC check OK!\n"};
        EXPECT_EQ(plain.code, want.first);
        EXPECT_EQ(plain.msg, want.second);
        for (const CrcMode mode : {CrcMode::Auto, CrcMode::Tabled}) {
            const Outcome o = walk(bytes, mode);
            EXPECT_EQ(o.code, plain.code);
            EXPECT_EQ(o.msg, plain.msg);
            EXPECT_EQ(o.log, plain.log);
        }
        if (bomb.pkg.hasExtension) {
            const Outcome direct = extension(bytes, CrcMode::Direct);
            const Outcome tabled = extension(bytes, CrcMode::Auto);
            EXPECT_EQ(tabled.code, direct.code);
            EXPECT_EQ(tabled.msg, direct.msg);
            EXPECT_EQ(tabled.log, direct.log);
        }
    }
}

// Ranges on, across and just off granule edges, first summed, then joined
// from the table, then answered again from the cache.
TEST(Bombs, RangeCrcMatchesDirectSums) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> bytes(5 * RangeCrc::kGranule + 77);
    for (auto &b : bytes) {
        b = static_cast<std::uint8_t>(rng());
    }
    constexpr std::size_t g = RangeCrc::kGranule;
    const std::size_t edges[] = {0, 1, g - 1, g, g + 1, 2 * g, 3 * g - 5, bytes.size() - 1};
    for (const CrcMode mode : {CrcMode::Auto, CrcMode::Tabled}) {
        RangeCrc ranges(bytes.data(), mode == CrcMode::Auto ? rerazera::kNoLimit : bytes.size(),
                        nullptr, mode);
        for (int pass = 0; pass < 3; ++pass) {
            for (const std::size_t a : edges) {
                for (const std::size_t b : edges) {
                    if (a <= b) {
                        ASSERT_EQ(ranges.crc(bytes.data() + a, b - a),
                                  rerazera::crc16(bytes.data() + a, b - a))
                            << a << ".." << b << " pass " << pass;
                    }
                }
            }
        }
        EXPECT_TRUE(ranges.tabled());  // the direct budget is long spent
    }
}

// Direct sums until kDirectFactor times a known extent is spent, never the
// table in Direct mode, at once in Tabled mode.
TEST(Bombs, RangeCrcBudget) {
    std::vector<std::uint8_t> bytes(3 * RangeCrc::kGranule, 0x5a);
    const std::uint8_t *p = bytes.data();
    const std::size_t n = bytes.size();
    RangeCrc autoMode(p, n, nullptr, CrcMode::Auto), direct(p, n, nullptr, CrcMode::Direct),
        tabled(p, n, nullptr, CrcMode::Tabled);
    for (std::uint64_t spent = 0; spent + n <= RangeCrc::kDirectFactor * n; spent += n) {
        EXPECT_EQ(autoMode.crc(p, n), rerazera::crc16(p, n));
        EXPECT_FALSE(autoMode.tabled()) << spent;
    }
    EXPECT_EQ(autoMode.crc(p + 1, 1), rerazera::crc16(p + 1, 1));
    EXPECT_TRUE(autoMode.tabled());
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(direct.crc(p + i, n - i), rerazera::crc16(p + i, n - i));
    }
    EXPECT_FALSE(direct.tabled());
    EXPECT_EQ(tabled.crc(p, 1), rerazera::crc16(p, 1));
    EXPECT_TRUE(tabled.tabled());
}

// An anchored range is summed once: a longer range from its start sums only
// the tail, in either mode, and a seeded value stands for the bytes.
TEST(Bombs, RangeCrcAnchor) {
    std::vector<std::uint8_t> bytes(3 * RangeCrc::kGranule + 9);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{3});
    const std::uint8_t *p = bytes.data();
    for (const CrcMode mode : {CrcMode::Direct, CrcMode::Tabled}) {
        RangeCrc ranges(p, bytes.size(), nullptr, mode);
        EXPECT_EQ(ranges.anchor(p + 5, 700), rerazera::crc16(p + 5, 700));
        for (const std::size_t n : {700u, 701u, 704u, 3000u}) {
            EXPECT_EQ(ranges.crc(p + 5, n), rerazera::crc16(p + 5, n)) << n;
        }
        EXPECT_EQ(ranges.crc(p + 6, 700), rerazera::crc16(p + 6, 700));
        EXPECT_EQ(ranges.crc(p + 5, 699), rerazera::crc16(p + 5, 699));
        ranges.seed(p + 1, 10, 0xBEEF);
        EXPECT_EQ(ranges.crc(p + 1, 10), 0xBEEF);
    }
}

// The walk anchors the second table before the dummy bin file's payload is
// summed, so both take the table's sum once. Anchoring is only for a table
// the extension check will sum: inside the limit and holding the dummy bin
// file's count. A byte changed after anchoring tells whether the sum came
// from the anchor.
TEST(Bombs, SecondTableAnchoredOnlyWhenItWillBeSummed) {
    using rerazera::writer::identical_ranges;
    struct Row {
        const char *name;
        std::uint32_t count;  // written into the table's count word
        std::uint64_t limit;  // bytes the mapping vouches for
        bool anchored;
    };
    const auto pkg = identical_ranges(40, 64);
    const std::uint32_t n = pkg.extCount;
    const std::uint64_t tableEnd = pkg.tableOffset + rerazera::layout::table::size(n);
    const Row rows[] = {
        {"whole package", n, pkg.bytes.size(), true},
        {"limit at the table's end", n, tableEnd, true},
        {"table past the limit", n, tableEnd - 1, false},
        {"dummy bin header past the limit", n, pkg.dummyOffset + 100, false},
        {"count differs from the dummy bin file's", n + 1, pkg.bytes.size(), false},
    };
    const std::size_t crcLen = rerazera::layout::table::crc_len(n);
    for (const Row &row : rows) {
        auto bytes = pkg.bytes;
        std::uint8_t *table = bytes.data() + pkg.tableOffset;
        for (int i = 0; i < 4; ++i) {
            table[rerazera::layout::table::kFileNum + i] =
                static_cast<std::uint8_t>(row.count >> (24 - 8 * i));
        }
        const std::uint16_t before = rerazera::crc16(table, crcLen);
        const QVFileDesc ext{0, pkg.dummyOffset, 0, 0, 0, 0};
        RangeCrc ranges(bytes.data(), bytes.size(), nullptr, CrcMode::Direct);
        rerazera::anchor_second_table(bytes.data(), ext, row.limit, ranges);
        table[crcLen - 1] ^= 0x5A;
        const std::uint16_t after = rerazera::crc16(table, crcLen);
        ASSERT_NE(before, after);
        EXPECT_EQ(ranges.crc(table, crcLen), row.anchored ? before : after) << row.name;
    }
}

}  // namespace
