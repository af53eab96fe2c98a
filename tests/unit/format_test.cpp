// Records, big-endian decoding, the bounds-checked helpers and the checksum.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "base/safe_memory.hpp"
#include "format/crc.hpp"
#include "format/records.hpp"
#include "rerazera.h"

namespace {

std::uint16_t public_crc(const void *data, std::int32_t len) {
    std::uint16_t crc = 0xBEEF;
    QVPKG_MakeCrcCheckSum(static_cast<const std::uint8_t *>(data), len, &crc);
    return crc;
}

// Vectors computed independently with Python's binascii.crc_hqx(data, 0).
TEST(Checksum, MatchesIndependentVectors) {
    const std::string digits = "123456789";
    EXPECT_EQ(public_crc(digits.data(), 9), 0x31C3);
    EXPECT_EQ(public_crc("A", 1), 0x58E5);

    std::vector<std::uint8_t> ramp(256);
    std::iota(ramp.begin(), ramp.end(), 0);
    EXPECT_EQ(public_crc(ramp.data(), 256), 0x7E55);

    const std::vector<std::uint8_t> ones(352, 0xFF);
    EXPECT_EQ(public_crc(ones.data(), 352), 0x96A9);

    std::vector<std::uint8_t> pattern(1000);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    EXPECT_EQ(public_crc(pattern.data(), 1000), 0x4E9C);
}

TEST(Checksum, ZerosAndEmptyInputsYieldZero) {
    const std::vector<std::uint8_t> zeros(6176, 0);
    EXPECT_EQ(public_crc(zeros.data(), 6176), 0);
    EXPECT_EQ(public_crc("x", 0), 0);
    // A negative count stores 0 and must not touch the data.
    EXPECT_EQ(public_crc(nullptr, -1), 0);
    EXPECT_EQ(public_crc(nullptr, INT32_MIN), 0);
}

TEST(Checksum, UpdateContinuesAcrossPieces) {
    const std::string digits = "123456789";
    const auto *p = reinterpret_cast<const std::uint8_t *>(digits.data());
    for (std::size_t split = 0; split <= digits.size(); ++split) {
        const std::uint16_t first = rerazera::crc16(p, split);
        EXPECT_EQ(rerazera::crc16_update(first, p + split, digits.size() - split), 0x31C3)
            << "split at " << split;
    }
}

TEST(Checksum, StoredWordMatchesOnlyWhenUpperHalfIsZero) {
    EXPECT_TRUE(rerazera::crc_word_matches(0x000031C3u, 0x31C3));
    EXPECT_FALSE(rerazera::crc_word_matches(0x000131C3u, 0x31C3));
    EXPECT_FALSE(rerazera::crc_word_matches(0x80000000u, 0));
}

TEST(Records, DecodeBigEndianFieldsInPlace) {
    std::uint8_t raw[24];
    for (int i = 0; i < 24; ++i) {
        raw[i] = static_cast<std::uint8_t>(i + 1);
    }
    const QVFileDesc d = rerazera::decode_desc(raw);
    EXPECT_EQ(d.fileId, 0x01020304u);
    EXPECT_EQ(d.offset, 0x05060708u);
    EXPECT_EQ(d.length, 0x090A0B0Cu);
    EXPECT_EQ(d.crc, 0x0D0E0F10u);
    EXPECT_EQ(d.aux0, 0x11121314u);
    EXPECT_EQ(d.aux1, 0x15161718u);

    std::vector<std::uint8_t> header(QVPKG_HEADER_SIZE, 0);
    header[7] = 0x05;
    header[30] = 0xAB;
    header[31] = 0xCD;
    header[32 + 255 * 24 + 3] = 0x77;  // entry 255's fileId, at header offset 6152
    const rerazera::HeaderView view(header.data());
    EXPECT_EQ(view.file_num(), 5u);
    EXPECT_EQ(view.product_type(), 0xABCD);
    EXPECT_EQ(view.desc_file_id(255), 0x77u);
}

TEST(SafeMemory, NeverWritesPastTheGivenSize) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(rerazera::memset_s(buf, 4, 0, 6), -1);  // fills 4, not 6
    EXPECT_EQ(buf[3], 0);
    EXPECT_EQ(buf[4], 'x');
    EXPECT_EQ(rerazera::memset_s(nullptr, 4, 0, 4), -1);

    char dst[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(rerazera::memcpy_s(dst, sizeof dst, "0123456", 7), -1);
    EXPECT_EQ(std::string(dst, 4), std::string(4, '\0'));  // cleared, not overrun
    EXPECT_EQ(rerazera::memcpy_s(dst, sizeof dst, "wxyz", 4), 0);
    EXPECT_EQ(std::string(dst, 4), "wxyz");
}

TEST(SafeMemory, BoundedPrintTruncatesAndTerminates) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    rerazera::bounded_print(buf, 1, "%s", "anything");
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(buf[1], 'x');

    rerazera::bounded_print(buf, sizeof buf, "File id %x\n", 0xABCDu);
    EXPECT_STREQ(buf, "File id");  // 7 characters and the terminator

    rerazera::bounded_print(buf, 0, "%s", "untouched");  // nothing written
    EXPECT_STREQ(buf, "File id");
    rerazera::bounded_print(nullptr, 8, "%s", "no buffer");
}

}  // namespace
