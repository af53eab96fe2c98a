// Two tables across the whole interface: every entry point that takes a
// pointer, given a null one; and every class of malformed input, taken
// through verification, both lookups, extraction and stripping.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "support/fixture.hpp"

namespace {

using namespace rztest;

constexpr char kOutNull[] = "[RERAZERA]Output path is null.\n\n";
constexpr char kBinPathNull[] = "[RERAZERA]bin file path is null\n";
constexpr char kOutFileNull[] = "[RERAZERA]output file path is null\n";
constexpr char kBufNull[] = "[RERAZERA]bin file buffer is null\n";

TEST(Tables, NullArguments) {
    const Package three = three_files();
    const Input in = pkg(three);
    std::vector<std::uint8_t> h(BIN_HEADER_SIZE, 0);
    std::memcpy(h.data() + 244, "name", 4);
    std::memcpy(h.data() + 116, "text", 4);
    const auto *header = reinterpret_cast<const BinHeader *>(h.data());
    const std::uint8_t byte = 1;
    const auto ptr = [](const void *p) { return p == nullptr ? 0 : 1; };
    run_rows({
        {"CRC of no data", in,
         [](Sandbox &) {
             std::uint16_t crc = 7;
             QVPKG_MakeCrcCheckSum(nullptr, 0, &crc);
             return int{crc};
         },
         0, L()},
        {"read, path", in, [](Sandbox &) { return QVPKG_ReadFileByOffset(nullptr, 0, nullptr, 0); },
         4, L("[RERAZERA]Get (null)'s realpath unsuccess.\n\n")},
        {"header, path", in, [&](Sandbox &) { return ptr(QVPKG_GetQVHeader(nullptr)); }, 0,
         L("[RERAZERA]Get (null)'s realpath unsuccess.\n\n",
           "[RERAZERA]Read QV file header unsuccess 4.\n\n")},
        {"product type, path", in,
         [](Sandbox &s) { return QVPKG_ExtractProductTypeFromQV(nullptr, &s.info.fileId); }, 10,
         L()},
        {"product type, out", in,
         [](Sandbox &s) { return QVPKG_ExtractProductTypeFromQV(s.p(), nullptr); }, 10, L()},
        {"by ID, path", in, [](Sandbox &s) { return QVPKG_GetQVFileInfo(nullptr, &s.info, 0x10); },
         10, L()},
        {"by ID, record", in, [](Sandbox &s) { return QVPKG_GetQVFileInfo(s.p(), nullptr, 0x10); },
         10, L()},
        {"scan, matcher", in,
         [](Sandbox &s) { return QVPKG_GetQVFileInfoByBinHeader(s.p(), &s.info, nullptr, "a"); },
         10, L()},
        {"scan, record", in,
         [](Sandbox &s) { return QVPKG_GetQVFileInfoByName(s.p(), nullptr, "boot.bin"); }, 10, L()},
        {"by name, path", in,
         [](Sandbox &s) { return QVPKG_GetQVFileInfoByName(nullptr, &s.info, "a"); }, 10, L()},
        {"by name, key", in,
         [](Sandbox &s) { return QVPKG_GetQVFileInfoByName(s.p(), &s.info, nullptr); }, 14, L()},
        {"by description, key", in,
         [](Sandbox &s) { return QVPKG_GetQVFileInfoByDesc(s.p(), &s.info, nullptr); }, 14, L()},
        {"matchers", in,
         [&](Sandbox &) {
             return QVPKG_IsNameMatch(nullptr, "name") + QVPKG_IsNameMatch(header, nullptr) +
                    QVPKG_IsDescMatch(nullptr, "text") + QVPKG_IsDescMatch(header, nullptr) +
                    10 * (QVPKG_IsNameMatch(header, "name") + QVPKG_IsDescMatch(header, "ex"));
         },
         20, L()},
        {"descriptor copy", in,
         [](Sandbox &s) {
             const QVFileDesc src{1, 2, 3, 4, 5, 6};
             QVPKG_ConvertQVFileDesc(nullptr, &src);
             QVPKG_ConvertQVFileDesc(&s.info, nullptr);
             const bool kept = same(s.info, kUntouched);
             QVPKG_ConvertQVFileDesc(&s.info, &src);
             return kept && same(s.info, src) ? 0 : 99;
         },
         0, L()},
        {"rpg, path", in, [](Sandbox &) { return QVPKG_ChkqvTypeFromRpg(nullptr); }, -1,
         L("[RERAZERA]Get rpg file info from QV header unsuccess! \n\n")},
        {"range, package", in,
         [](Sandbox &s) { return QVPKG_ExtractSubFile(nullptr, s.o(), 0, 10, 0600); }, 10, L()},
        {"range, output", in,
         [](Sandbox &s) { return QVPKG_ExtractSubFile(s.p(), nullptr, 0, 10, 0600); }, 10,
         L(kOutNull)},
        {"by ID, package", in,
         [](Sandbox &s) { return QVPKG_ExtractFileFromQV(nullptr, s.o(), 0x10); }, 10, L()},
        {"by ID, both", in,
         [](Sandbox &) { return QVPKG_ExtractFileFromQVExt(nullptr, nullptr, 0x10, 0600); }, 10,
         L()},
        {"by ID, output", in,
         [](Sandbox &s) { return QVPKG_ExtractFileFromQV(s.p(), nullptr, 0x10); }, 10, L(kOutNull)},
        {"by name, package", in,
         [](Sandbox &) { return QVPKG_ExtractFileByName(nullptr, "/", 0600); }, 10, L()},
        {"by name, output", in,
         [](Sandbox &s) { return QVPKG_ExtractFileByName(s.p(), nullptr, 0600); }, 10, L(kOutNull)},
        {"name of no path", in, [&](Sandbox &) { return ptr(QVPKG_GetNameFromPath(nullptr)); }, 0,
         L()},
        {"bin file, path", in,
         [&](Sandbox &s) { return ptr(QVPKG_ReadBinFile(nullptr, &s.info.fileId)); }, 0,
         L(kBinPathNull)},
        {"bin file, length", in, [&](Sandbox &s) { return ptr(QVPKG_ReadBinFile(s.p(), nullptr)); },
         0, L("[RERAZERA]bin file length pointer is null\n")},
        {"length test, buffer", in, [](Sandbox &) { return QVPKG_CheckBinHeader(nullptr, 400); },
         10, L(kBufNull)},
        {"write, path", in, [&](Sandbox &) { return QVPKG_WriteBuf2File(nullptr, &byte, 0, 1); },
         10, L(kOutFileNull)},
        {"write, buffer", in, [](Sandbox &s) { return QVPKG_WriteBuf2File(s.o(), nullptr, 0, 1); },
         10, L(kBufNull)},
        {"strip, input", in, [](Sandbox &s) { return QVPKG_StripBinHeader(nullptr, s.o()); }, 10,
         L(kBinPathNull)},
        {"strip, output", in, [](Sandbox &s) { return QVPKG_StripBinHeader(s.p(), nullptr); }, 10,
         L(kOutFileNull)},
        {"map, path", in,
         [&](Sandbox &s) {
             std::uint32_t len = 0;
             return ptr(QVPKG_MapQVFile(nullptr, &len, s.msg, sizeof s.msg));
         },
         0, L(), [](Sandbox &s) { EXPECT_STREQ(s.msg, "caller"); }},
        {"name rule, path", in, [](Sandbox &s) { return QVPKG_CheckFilename(nullptr, s.msg, 8); },
         0, L("[RERAZERA]Get rpg file info from QV header unsuccess! \n\n")},
        {"check, path", in, [](Sandbox &s) { return QVPKG_ChkQVFileInfo(nullptr, s.msg, 8); }, -1,
         L("[RERAZERA]Get rpg file info from QV header unsuccess! \n\n",
           "[RERAZERA]Map file unsuccess (null), caller\n\n")},
    });
}

// One malformed input per row; the results of verification, the ID lookup,
// the name lookup and extraction by ID. Every one is refused with a code,
// logged, and leaves no output and no descriptor behind.
struct Malformed {
    const char *name;
    std::function<Bytes()> bytes;  // or a special file, given as path
    const char *path;
    std::int32_t id, verify, byId, byName, extract;
};

Package with_extension() {
    PackageBuilder b;
    b.add(SubFile{0x10, "a.bin", "first", Bytes(100, 1)});
    for (std::uint32_t i = 1; i < 255; ++i) {
        b.add_raw(RawDesc{0x100 + i, QVPKG_HEADER_SIZE, 452, 0, 0, 0});
    }
    Package p = b.add_extend(SubFile{0x5001, "e.bin", "extend", Bytes(20, 3)}).build();
    for (std::uint32_t i = 1; i < 255; ++i) {  // the raw entries repeat entry 0
        p.set_be32(Package::entry_field(i, 12), p.be32(Package::entry_field(0, 12)));
    }
    p.reseal_header();
    return p;
}

// After a change inside the second table: its CRC (when it lies within the
// package), entry 255's payload CRC and the header's.
Package reseal_table(Package p, bool table = true) {
    if (table) {
        p.reseal_table();
    }
    std::uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum(p.bytes.data() + p.tableOffset,
                          static_cast<std::int32_t>(p.be32(Package::entry_field(255, 8)) - 352),
                          &crc);
    return with(p, Package::entry_field(255, 12), crc);
}

Package entry0(std::uint32_t field, std::uint32_t value) {
    const Package two = three_files();
    return with(two, Package::entry_field(0, field), value);
}

Package data_len(std::uint32_t value) {
    Package p = three_files();
    p.set_be32(p.entryOffsets[0] + 340, value);
    p.reseal_bin_header(p.entryOffsets[0]);
    return p;
}

TEST(Tables, MalformedInputs) {
    const auto b = [](std::function<Package()> make) { return [make] { return make().bytes; }; };
    const auto dummyN = [](std::uint32_t n, bool table) {
        Package p = with_extension();
        p.set_be32(p.dummyOffset + 16, n);
        p.reseal_bin_header(p.dummyOffset);
        if (table) {
            p.set_be32(p.tableOffset + 4, n);
            p = reseal_table(p, false);
        }
        return p;
    };
    const auto unterminated = [] {
        Package p = PackageBuilder().add(SubFile{0x10, "x", "y", Bytes(8, 1)}).build();
        std::fill_n(p.bytes.begin() + 6180 + 116, 128, 'd');
        std::fill_n(p.bytes.begin() + 6180 + 244, 96, 'n');
        p.reseal_bin_header(6180);
        return p;
    };
    const std::uint32_t end = static_cast<std::uint32_t>(three_files().bytes.size());
    const std::vector<Malformed> rows = {
        {"valid package", b(three_files), nullptr, 0x10, 0, 0, 14, 0},
        {"empty file", [] { return Bytes{}; }, nullptr, 0x10, -1, 11, 11, 11},
        {"header cut at 6179 bytes", [] { return slice(three_files().bytes, 0, 6179); }, nullptr,
         0x10, -1, 11, 11, 11},
        {"fileNum 257, checksum right", b([] { return with(three_files(), 4, 257); }), nullptr,
         0x10, 11, 11, 11, 11},
        {"fileNum 2^32 - 1", b([] { return with(three_files(), 4, 0xFFFFFFFFu); }), nullptr, 0x10,
         11, 11, 11, 11},
        {"offset past the end", b([=] { return entry0(4, end + 100); }), nullptr, 0x10, 6, 0, -1,
         2},
        {"offset 2^31", b([] { return entry0(4, 0x80000000u); }), nullptr, 0x10, 6, 0, -1, 2},
        {"offset 2^32 - 1", b([] { return entry0(4, 0xFFFFFFFFu); }), nullptr, 0x10, 6, 0, -1, 2},
        {"offset + length wraps",
         b([] { return with(entry0(4, 0xFFFFFF00u), Package::entry_field(0, 8), 0x200); }), nullptr,
         0x10, 6, 0, -1, 2},
        {"length 2^32 - 1", b([] { return entry0(8, 0xFFFFFFFFu); }), nullptr, 0x10, 6, 0, 14, 2},
        {"dataLen larger than its sub-file", b([] { return data_len(10000); }), nullptr, 0x10, -1,
         0, 14, 0},
        {"dataLen 2^32 - 1", b([] { return data_len(0xFFFFFFFFu); }), nullptr, 0x10, -1, 0, 14, 0},
        {"dataLen 2^31 - 1", b([] { return data_len(0x7FFFFFFFu); }), nullptr, 0x10, -1, 0, 14, 0},
        {"extension N = 0x100000", b([=] { return dummyN(0x100000, false); }), nullptr, 0x5001, -1,
         9, 0, 9},
        {"extension N = 0xFFFFF, table past the end", b([=] { return dummyN(0xFFFFF, true); }),
         nullptr, 0x5001, 6, 1, 0, 1},
        {"extension table cut short",
         [] {
             const Package p = with_extension();
             return slice(p.bytes, 0, p.tableOffset + 20);
         },
         nullptr, 0x5001, 6, 1, 0, 1},
        {"extend sub-file past the end", b([] {
             Package p = with_extension();
             p.set_be32(p.ext_entry_field(0, 4), 0x7FFFFF00u);
             return reseal_table(p);
         }),
         nullptr, 0x5001, 6, 0, 0, 2},
        {"unterminated name and description", b(unterminated), nullptr, 0x10, 0, 0, 14, 0},
        {"a directory", nullptr, ".", 0x10, -1, 11, 11, 11},
        {"/dev/null", nullptr, "/dev/null", 0x10, -1, 11, 11, 11},
        {"/dev/zero: an empty header, no length", nullptr, "/dev/zero", 0x10, -1, 8, 14, 8},
    };
    for (const Malformed &row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox s;
        if (row.bytes) {
            s.put(row.bytes());
        } else {
            s.pkg = std::strcmp(row.path, ".") == 0 ? s.dir.path() : row.path;
        }
        ::unlink(s.o());
        s.log.clear();
        EXPECT_EQ(QVPKG_ChkQVFileInfo(s.p(), s.msg, sizeof s.msg), row.verify) << s.msg;
        EXPECT_EQ(QVPKG_GetQVFileInfo(s.p(), &s.info, row.id), row.byId);
        EXPECT_EQ(QVPKG_GetQVFileInfoByName(s.p(), &s.info, "a.bin"), row.byName);
        EXPECT_EQ(QVPKG_ExtractFileFromQV(s.p(), s.o(), row.id), row.extract);
        EXPECT_EQ(file_exists(s.out), row.extract == QVPKG_OK);
        EXPECT_FALSE(s.log.lines().empty() && row.verify != 0) << "a refusal without a log line";
    }
    // Unterminated texts match at their full width only.
    const std::string n96(96, 'n'), d128(128, 'd');
    Sandbox s;
    s.put(unterminated().bytes);
    for (const auto &[key, name, expected] : {std::tuple{n96, true, 0},
                                              {n96 + "n", true, 14},
                                              {n96.substr(1), true, 14},
                                              {d128, false, 0},
                                              {d128 + "d", false, 14},
                                              {std::string("dn"), false, 14}}) {
        EXPECT_EQ(name ? QVPKG_GetQVFileInfoByName(s.p(), &s.info, key.c_str())
                       : QVPKG_GetQVFileInfoByDesc(s.p(), &s.info, key.c_str()),
                  expected)
            << key;
    }
    auto *bin = static_cast<BinHeader *>(std::malloc(sizeof(BinHeader)));  // exactly 352 bytes
    std::memcpy(bin, s.image.data() + 6180, sizeof(BinHeader));
    EXPECT_EQ(QVPKG_IsNameMatch(bin, n96.c_str()) + QVPKG_IsDescMatch(bin, "ddd"), 2);
    std::free(bin);
    // Standalone bin files for stripping.
    for (const auto &[name, bytes] :
         {std::pair<const char *, Bytes>{"dataLen one past", bin_file(Bytes(10, 1), 11)},
          {"dataLen 2^32 - 352", bin_file(Bytes(10, 1), 0xFFFFFEA0u)}}) {
        s.put(bytes);
        EXPECT_EQ(QVPKG_StripBinHeader(s.p(), s.o()), QVPKG_ERR_LENGTH) << name;
    }
    for (const char *special : {"/dev/null", "/dev/zero", "/"}) {
        EXPECT_EQ(QVPKG_StripBinHeader(special, s.o()), QVPKG_ERR_IO) << special;
    }
    EXPECT_FALSE(file_exists(s.out));
}

}  // namespace
