// SPDX-License-Identifier: MIT
#include <cstdlib>
#include <cstring>

#include "support/fixture.hpp"

namespace {

using namespace rztest;

constexpr char kOutNull[] = "Output path is null.\n\n";
constexpr char kBinNull[] = "bin file path is null\n";
constexpr char kOutFileNull[] = "output file path is null\n";
constexpr char kBufNull[] = "bin file buffer is null\n";
constexpr char kRpgAbsent[] = "Get rpg file info from QV header unsuccess! \n\n";

TEST(Tables, NullArguments) {
    const Input in = pkg(three_files());
    Bytes h(BIN_HEADER_SIZE, 0);
    std::memcpy(&h[244], "name", 4);
    std::memcpy(&h[116], "text", 4);
    const auto *header = reinterpret_cast<const BinHeader *>(h.data());
    const std::uint8_t byte = 1;
    const QVFileDesc src{1, 2, 3, 4, 5, 6};
    std::uint32_t n = 0;
    run_rows({
        {"CRC of no data", in,
         [](Sandbox &s) {
             std::uint16_t crc = 7;
             QVPKG_MakeCrcCheckSum(nullptr, 0, &crc);
             return crc + QVPKG_ReadFileByOffset(nullptr, 0, s.msg, 0);
         },
         4, L("Get (null)'s realpath unsuccess.\n\n")},
        {"header", in,
         [](Sandbox &) {
             return (QVPKG_GetQVHeader(nullptr) != nullptr) +
                    (QVPKG_GetNameFromPath(nullptr) != nullptr);
         },
         0, L("Get (null)'s realpath unsuccess.\n\n", "Read QV file header unsuccess 4.\n\n")},
        {"product type", in,
         [&](Sandbox &s) {
             return QVPKG_ExtractProductTypeFromQV(nullptr, &n) +
                    QVPKG_ExtractProductTypeFromQV(s.p(), nullptr);
         },
         20, L()},
        {"lookups", in,
         [](Sandbox &s) {
             return QVPKG_GetQVFileInfo(nullptr, &s.info, 0x10) +
                    QVPKG_GetQVFileInfo(s.p(), nullptr, 0x10) +
                    100 * (QVPKG_GetQVFileInfoByBinHeader(s.p(), &s.info, nullptr, "a") +
                           QVPKG_GetQVFileInfoByName(s.p(), nullptr, "boot.bin") +
                           QVPKG_GetQVFileInfoByName(nullptr, &s.info, "a")) +
                    10000 * (QVPKG_GetQVFileInfoByName(s.p(), &s.info, nullptr) +
                             QVPKG_GetQVFileInfoByDesc(s.p(), &s.info, nullptr));
         },
         283020, L()},
        {"matchers", in,
         [&](Sandbox &) {
             return QVPKG_IsNameMatch(nullptr, "name") + QVPKG_IsNameMatch(header, nullptr) +
                    QVPKG_IsDescMatch(nullptr, "text") + QVPKG_IsDescMatch(header, nullptr) +
                    10 * (QVPKG_IsNameMatch(header, "name") + QVPKG_IsDescMatch(header, "ex"));
         },
         20, L()},
        {"descriptor copy", in,
         [&](Sandbox &s) {
             QVPKG_ConvertQVFileDesc(nullptr, &src);
             QVPKG_ConvertQVFileDesc(&s.info, nullptr);
             const bool kept = same(s.info, kUntouched);
             QVPKG_ConvertQVFileDesc(&s.info, &src);
             return kept && same(s.info, src) ? 0 : 99;
         },
         0, L()},
        {"rpg", in, [](Sandbox &) { return QVPKG_ChkqvTypeFromRpg(nullptr); }, -1, L(kRpgAbsent)},
        {"extraction", in,
         [](Sandbox &s) {
             return QVPKG_ExtractSubFile(nullptr, s.o(), 0, 10, 0600) +
                    QVPKG_ExtractSubFile(s.p(), nullptr, 0, 10, 0600) +
                    100 * (QVPKG_ExtractFileFromQV(nullptr, s.o(), 0x10) +
                           QVPKG_ExtractFileFromQVExt(nullptr, nullptr, 0x10, 0600) +
                           QVPKG_ExtractFileFromQV(s.p(), nullptr, 16)) +
                    10000 * (QVPKG_ExtractFileByName(nullptr, "/", 0600) +
                             QVPKG_ExtractFileByName(s.p(), nullptr, 0600));
         },
         203020, L(kOutNull, kOutNull, kOutNull)},
        {"bin file", in,
         [](Sandbox &s) {
             return (QVPKG_ReadBinFile(nullptr, &s.info.fileId) != nullptr) +
                    (QVPKG_ReadBinFile(s.p(), nullptr) != nullptr) +
                    QVPKG_CheckBinHeader(nullptr, 400);
         },
         10, L(kBinNull, "bin file length pointer is null\n", kBufNull)},
        {"write and strip", in,
         [&](Sandbox &s) {
             return QVPKG_WriteBuf2File(nullptr, &byte, 0, 1) +
                    QVPKG_WriteBuf2File(s.o(), nullptr, 0, 1) +
                    100 * (QVPKG_StripBinHeader(nullptr, s.o()) +
                           QVPKG_StripBinHeader(s.p(), nullptr));
         },
         2020, L(kOutFileNull, kBufNull, kBinNull, kOutFileNull)},
        {"map", in, [&](Sandbox &s) { return QVPKG_MapQVFile(nullptr, &n, s.msg, 9) != nullptr; },
         0, L(), msg_is("caller")},
        {"name rule", in, [](Sandbox &s) { return QVPKG_CheckFilename(nullptr, s.msg, 8); }, 0,
         L(kRpgAbsent)},
        {"check", in, [](Sandbox &s) { return QVPKG_ChkQVFileInfo(nullptr, s.msg, 8); }, -1,
         L(kRpgAbsent, "Map file unsuccess (null), caller\n\n")},
    });
}

struct Malformed {
    const char *name;
    Bytes bytes;
    std::int32_t id, verify, byId, byName, extract;
    const char *path = nullptr;
};

TEST(Tables, MalformedInputs) {
    const Package three = PackageBuilder()
                              .add(SubFile{0x10, "a.bin", "first", Bytes(100, 1)})
                              .add(SubFile{0x20, "b.bin", "second", Bytes(50, 2)})
                              .build();
    const auto end = static_cast<std::uint32_t>(three.bytes.size());
    const std::size_t at0 = three.entryOffsets[0];
    PackageBuilder b;
    b.add(SubFile{0x10, "a.bin", "first", Bytes(100, 1)});
    for (std::uint32_t i = 1; i < 255; ++i)
        b.add_raw(RawDesc{0x100 + i, 6180, 0, 0, 0, 0});
    const Package ext = b.add_extend(SubFile{0x5001, "e.bin", "extend", Bytes(20, 3)}).build();
    const auto resealed = [](Package p) {  // entry 255's payload CRC (the second table)
        std::uint16_t crc = 0;
        QVPKG_MakeCrcCheckSum(&p.bytes[p.tableOffset], 36 + 24, &crc);
        return ent(p, 255, 12, crc).bytes;
    };
    Package farExtend = with(ext, ext.ext_entry_field(0, 4), 0x7FFFFF00u, false);
    farExtend.reseal_table();
    Package unterminated = PackageBuilder().add(SubFile{0x10, "x", "y", Bytes(8, 1)}).build();
    std::fill_n(&unterminated.bytes[6180 + 116], 128 + 96, 'n');
    unterminated.reseal_bin_header(6180);
    const std::vector<Malformed> rows = {
        {"valid package", three.bytes, 0x10, 0, 0, 0, 0},
        {"empty file", {}, 0x10, -1, 11, 11, 11},
        {"6179 bytes", slice(three.bytes, 0, 6179), 0x10, -1, 11, 11, 11},
        {"fileNum 257", with(three, 4, 257).bytes, 0x10, 11, 11, 11, 11},
        {"fileNum 2^32 - 1", with(three, 4, 0xFFFFFFFFu).bytes, 0x10, 11, 11, 11, 11},
        {"offset past the end", ent(three, 0, 4, end + 100).bytes, 0x10, 6, 0, -1, 2},
        {"offset 2^31", ent(three, 0, 4, 0x80000000u).bytes, 0x10, 6, 0, -1, 2},
        {"offset 2^32 - 1", ent(three, 0, 4, 0xFFFFFFFFu).bytes, 0x10, 6, 0, -1, 2},
        {"end wraps", ent(ent(three, 0, 4, 0xFFFFFF00u), 0, 8, 512).bytes, 0x10, 6, 0, -1, 2},
        {"length 2^32 - 1", ent(three, 0, 8, 0xFFFFFFFFu).bytes, 0x10, 6, 0, 0, 2},
        {"dataLen past its sub-file", bin(three, at0, 340, 10000).bytes, 0x10, -1, 0, 0, 0},
        {"dataLen 2^32 - 1", bin(three, at0, 340, 0xFFFFFFFFu).bytes, 0x10, -1, 0, 0, 0},
        {"N = 0x100000", bin(ext, ext.dummyOffset, 16, 0x100000).bytes, 0x5001, -1, 9, 0, 9},
        {"table past the end",
         resealed(
             with(bin(ext, ext.dummyOffset, 16, 0xFFFFF), ext.tableOffset + 4, 0xFFFFF, false)),
         0x5001, 6, 1, 0, 1},
        {"table cut short", slice(ext.bytes, 0, ext.tableOffset + 20), 0x5001, 6, 1, 0, 1},
        {"extend sub-file past the end", resealed(farExtend), 0x5001, 6, 0, 0, 2},
        {"texts without terminators", unterminated.bytes, 0x10, 0, 0, 14, 0},
        {"a directory", {}, 0x10, -1, 11, 11, 11, "."},
        {"/dev/null", {}, 0x10, -1, 11, 11, 11, "/dev/null"},
        {"/dev/zero: an empty header, no length", {}, 0x10, -1, 8, 14, 8, "/dev/zero"},
    };
    for (const Malformed &row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox s;
        row.path == nullptr ? s.put(row.bytes)
                            : void(s.pkg = *row.path == '.' ? s.dir.path() : row.path);
        EXPECT_EQ(QVPKG_ChkQVFileInfo(s.p(), s.msg, sizeof s.msg), row.verify) << s.msg;
        EXPECT_EQ(QVPKG_GetQVFileInfo(s.p(), &s.info, row.id), row.byId);
        EXPECT_EQ(QVPKG_GetQVFileInfoByName(s.p(), &s.info, "a.bin"), row.byName);
        EXPECT_EQ(QVPKG_ExtractFileFromQV(s.p(), s.o(), row.id), row.extract);
        EXPECT_EQ(file_exists(s.out), row.extract == QVPKG_OK);
        EXPECT_FALSE(s.log.lines().empty() && row.verify != 0) << "a refusal without a log line";
    }
    Sandbox s;
    s.put(unterminated.bytes);
    const std::string n96(96, 'n'), d128(128, 'n');
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(s.p(), &s.info, n96.c_str()), 0);
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(s.p(), &s.info, (n96 + "n").c_str()), 14);
    EXPECT_EQ(QVPKG_GetQVFileInfoByName(s.p(), &s.info, n96.substr(1).c_str()), 14);
    EXPECT_EQ(QVPKG_GetQVFileInfoByDesc(s.p(), &s.info, d128.c_str()), 0);
    EXPECT_EQ(QVPKG_GetQVFileInfoByDesc(s.p(), &s.info, (d128 + "n").c_str()), 14);
    auto *image = static_cast<BinHeader *>(std::malloc(sizeof(BinHeader)));
    std::memcpy(image, &unterminated.bytes[6180], sizeof(BinHeader));
    EXPECT_EQ(QVPKG_IsNameMatch(image, n96.c_str()) + QVPKG_IsDescMatch(image, "nnn"), 2);
    std::free(image);
    for (const std::uint32_t dataLen : {11u, 0xFFFFFEA0u}) {  // one past; wraps if 352 were added
        s.put(bin_file(Bytes(10, 1), dataLen));
        EXPECT_EQ(QVPKG_StripBinHeader(s.p(), s.o()), QVPKG_ERR_LENGTH) << dataLen;
    }
    for (const char *special : {"/dev/null", "/dev/zero", "/"})
        EXPECT_EQ(QVPKG_StripBinHeader(special, s.o()), QVPKG_ERR_IO) << special;
    EXPECT_FALSE(file_exists(s.out));
}

}  // namespace
