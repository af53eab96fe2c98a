// SPDX-License-Identifier: MIT
#include <climits>
#include <cstdlib>
#include <cstring>

#include "support/fixture.hpp"

namespace {

using namespace rztest;

constexpr char kOver[] = "File is wrong, file num is over upper limit\n\n";
constexpr char kBootCrc[] = "Boot file CRC check not ok.\n\n";
constexpr char kRealpath[] = "Get @P's realpath unsuccess.\n\n";
constexpr char kReadHeader[] = "Read QV header unsuccess.\n\n";
constexpr char kNotFound[] = "File not found in package!\n\n";
constexpr char kNoExt[] = "file number less than 256, no extend subfiles!\n\n";
constexpr char kRpgAbsent[] = "Get rpg file info from QV header unsuccess! \n\n";
constexpr char kSubfile[] = "Get subfile from @P not success! \n\n";
constexpr char kNotDummy[] =
    "This is not extend file: 4294967295, [ext]The 256th file is not dummy file!\n\n\n";
constexpr char kTableCrc[] =
    "2nd file desc is not ok: 7 [ext]The sub header file CRC is wrong\n\n\n";

#define LOOKUP(NAME, KEY, FN)                              \
    Call NAME(KEY key, QVFileDesc want = kUntouched) {     \
        return [=](Sandbox &s) {                           \
            const int r = FN(s.p(), &s.info, key);         \
            return r == 0 && !same(s.info, want) ? 99 : r; \
        };                                                 \
    }
LOOKUP(by_id, std::int32_t, QVPKG_GetQVFileInfo)
LOOKUP(ext_id, std::int32_t, QVPKG_GetQVExtFileInfo)
LOOKUP(by_name, const char *, QVPKG_GetQVFileInfoByName)
LOOKUP(by_desc, const char *, QVPKG_GetQVFileInfoByDesc)

TEST(Tables, HeaderAccess) {
    const Package three = three_files();
    const Package badCrc = with(three, 6176, three.be32(6176) ^ 1, false);
    const auto read = [](std::int32_t off, std::uint32_t len) -> Call {
        return [=](Sandbox &s) {
            Bytes buf(len + 1, 0xEE);
            const int r = QVPKG_ReadFileByOffset(s.p(), off, buf.data(), len);
            return r == 0 && slice(buf, 0, len) != slice(s.image, off, len) ? 99 : r;
        };
    };
    const Call check = [](Sandbox &s) {
        return QVPKG_ChkQvHeader((const QVHeader *)s.image.data());
    };
    const Call load = [](Sandbox &s) {
        QVHeader *h = QVPKG_GetQVHeader(s.p());
        const int r = h == nullptr ? 1 : std::memcmp(h, s.image.data(), 6180) ? 99 : 0;
        std::free(h);
        return r;
    };
    const Call type = [](Sandbox &s) {
        std::uint32_t t = 77;
        const int r = QVPKG_ExtractProductTypeFromQV(s.p(), &t);
        return r == 0 ? (t == 0x1234 ? 0 : 99) : (t == 77 ? r : 98);
    };
    const auto end = static_cast<std::int32_t>(three.bytes.size());
    run_rows({
        {"range", pkg(three), read(6180, 100), 0, L()},
        {"nothing", pkg(three), read(10, 0), 0, L()},
        {"missing path", missing(), read(0, 4), 4, L(kRealpath)},
        {"socket", socket_file(), read(0, 4), 2, L("Can't open file @R.\n\n")},
        {"past the end", pkg(three), read(end - 10, 64), 2, L("Read file @R unsuccess 10 64.\n\n")},
        {"2^31", pkg(three), read(INT32_MIN, 4), 2,
         L("seek file @R unsuccess 2147483648, errno(22)\n\n")},
        {"directory", directory(), read(0, 4), 2, L("Read file @R unsuccess -1 4.\n\n")},
        {"zero header", raw(Bytes(6180, 0)), check, 0, L()},
        {"256 entries", pkg(with(three, 4, 256)), check, 0, L()},
        {"257 entries, CRC right", pkg(with(three, 4, 257)), check, 5, L(kOver)},
        {"2^32 - 1 entries", pkg(with(three, 4, 0xFFFFFFFFu, false)), check, 5, L(kOver)},
        {"CRC upper bit", pkg(with(three, 6176, three.be32(6176) | 0x10000, false)), check, 7,
         L(kBootCrc)},
        {"load", pkg(three), load, 0, L()},
        {"load bad CRC", pkg(badCrc), load, 1, L(kBootCrc, "Check QV header unsuccess 7.\n\n")},
        {"load 257", pkg(with(three, 4, 257)), load, 1,
         L(kOver, "Check QV header unsuccess 5.\n\n")},
        {"load missing", missing(), load, 1, L(kRealpath, "Read QV file header unsuccess 4.\n\n")},
        {"load 6179 bytes", raw(Bytes(6179, 0)), load, 1,
         L("Read file @R unsuccess 6179 6180.\n\n", "Read QV file header unsuccess 2.\n\n")},
        {"type of a refused header", pkg(badCrc), type, 0, L()},
        {"type, missing", missing(), type, 4, L("get @P's realpath unsuccess.\n")},
        {"type, socket", socket_file(), type, 2, L("open @P unsuccess, errno 0x6.\n")},
        {"type, 100 bytes", raw(Bytes(100, 0)), type, 2,
         L("read pkg header unsuccess, ret 0x64 err 0x16\n")},
        {"type, directory", directory(), type, 2,
         L("read pkg header unsuccess, ret 0xffffffff err 0x15\n")},
    });
}

TEST(Tables, ExtensionArea) {
    const Package ext = ext_package(3, true);  // 0x5000..0x5002, then 0x5000 again
    const Package wide = long_ext(20000);      // streamed in three pieces
    const Package even = long_ext(8192);       // the CRC word alone in the last piece
    const std::size_t d = ext.dummyOffset, crcAt = ext.tableOffset + 32 + 24 * 4;
    const std::size_t evenCrc = even.ext_entry_field(8192, 0);
    const Package notDummy = bin(ent(ext, 255, 0, 0xABEF0000u), d, 8, 0);
    const auto cut = [&](std::uint32_t kept) -> Row {
        Package p = wide;
        p.bytes.resize(p.tableOffset + kept);
        return {"table cut short", pkg(p), ext_id(0x100000), 1,
                L("Read file @R unsuccess " + std::to_string(kept) + " 480036.\n\n", kSubfile,
                  kSubfile)};
    };
    const Call dummy = [d](Sandbox &s) {
        Package p;
        p.bytes = s.image;
        const QVFileDesc e = entry(p, 255);
        return QVPKG_isValidExtQV(&e, (const BinHeader *)&s.image[d], s.msg, sizeof s.msg);
    };
    const Call table = [d](Sandbox &s) {
        return QVPKG_Chk2ndFileDesc((const BinHeader *)&s.image[d],
                                    (const SecondFileDescTable *)&s.image[d + 352], s.msg, 256);
    };
    const auto read = [&](std::uint32_t offset, std::uint32_t n) -> Call {
        return [&, offset, n](Sandbox &s) {
            Bytes head = slice(bin(ext, d, 16, n).bytes, d, 352);
            const QVFileDesc e{DUMMY_DESC_FILE_ID, offset, 0, 0, 0, 0};
            auto *t = QVPKG_Get2ndFileDescContent(s.p(), &e, (const BinHeader *)head.data());
            const bool whole = t && !std::memcmp(t, &s.image[offset + 352], 36 + 24 * n);
            std::free(t);
            return t == nullptr ? 1 : whole ? 0 : 99;
        };
    };
    const Call exists = [](Sandbox &s) {
        const int r = QVPKG_isExtendFileExist(s.p(), &s.info);
        return r == 0 && (s.info.fileId != DUMMY_DESC_FILE_ID || s.info.aux1 != 0x77) ? 99 : r;
    };
    run_rows({
        {"six fields", pkg(ext), ext_id(0x5001, entry(ext, 1, true)), 0, L()},
        {"listed twice", pkg(ext), ext_id(0x5000, entry(ext, 0, true)), 0, L()},
        {"absent", pkg(ext), ext_id(0x5003), -1, L()},
        {"all 32 bits", pkg(ext), ext_id(0x80005001u), -1, L()},
        {"empty extension", pkg(ext_package(0)), ext_id(0), -1, L()},
        {"255 entries", pkg(with(ext, 4, 255)), ext_id(0x5001), 8, L(kNoExt)},
        {"header refused", pkg(with(ext, 6176, 0, false)), ext_id(0x5001), 11,
         L(kBootCrc, "Check QV header unsuccess 7.\n\n", "Get QV header from @P unsuccess.\n\n")},
        {"dummy unreadable", pkg(ent(ext, 255, 4, std::uint32_t(ext.bytes.size() - 100))),
         ext_id(0x5001), 2,
         L("Read file @R unsuccess 100 352.\n\n", "Read extend file not success 2\n\n")},
        {"not the dummy, all broken", pkg(notDummy), ext_id(0x5001), -1, L(kNotDummy)},
        {"entry 255 0x0001ABEF", pkg(ent(ext, 255, 0, 0x0001ABEFu)), ext_id(0), -1, L(kNotDummy)},
        {"dummy fileId", pkg(bin(ext, d, 8, 0x12CD0000u)), ext_id(0x5001), 9,
         L("This is not extend file: 9, [ext]The dummy bin fileID is wrong!\n\n\n")},
        {"dummy CRC upper bit", pkg(with(ext, d + 4, ext.be32(d + 4) | 0x10000u, false)),
         ext_id(0x5001), 7,
         L("This is not extend file: 7, [ext]The dummy bin head CRC is wrong!\n\n\n")},
        {"N = 0x100000", pkg(bin(ext, d, 16, 0x100000)), ext_id(0x5001), 9,
         L(kOver, "This is not extend file: 9, \n\n")},
        {"count and CRC", pkg(with(ext, ext.tableOffset + 4, 2, false)), ext_id(0x5001), 9,
         L("2nd file desc is not ok: 9 [ext]The last file number is wrong\n\n\n")},
        {"table CRC upper half", pkg(with(ext, crcAt, ext.be32(crcAt) | 0xFFFF0000u, false)),
         ext_id(0x5001), 7, L(kTableCrc)},
        {"first piece", pkg(wide), ext_id(0x100000, entry(wide, 0, true)), 0, L()},
        {"end of a piece", pkg(wide), ext_id(0x100000 + 8191, entry(wide, 8191, true)), 0, L()},
        {"next piece", pkg(wide), ext_id(0x100000 + 8192, entry(wide, 8192, true)), 0, L()},
        {"last entry", pkg(wide), ext_id(0x100000 + 19999, entry(wide, 19999, true)), 0, L()},
        {"last piece damaged", pkg(with(wide, wide.ext_entry_field(19000, 12), 1, false)),
         ext_id(0x100000), 7, L(kTableCrc)},
        {"last of 8192", pkg(even), ext_id(0x100000 + 8191, entry(even, 8191, true)), 0, L()},
        {"lone CRC word", pkg(with(even, evenCrc, even.be32(evenCrc) | 0x80000000u, false)),
         ext_id(0x100000), 7, L(kTableCrc)},
        cut(0),
        cut(30),
        cut(196641),
        cut(400000),
        cut(480035),
        {"entry 255 handed out", pkg(ent(ext, 255, 20, 0x77)), exists, 0, L()},
        {"no extension entry", pkg(with(ext, 4, 255)), exists, 8, L(kNoExt)},
        {"whole table", pkg(ext), read(d, 4), 0, L()},
        {"table short", pkg(wide), read(wide.dummyOffset, 20001), 1,
         L("Read file @R unsuccess 480036 480060.\n\n", kSubfile)},
        {"position wraps", pkg(ext), read(0xFFFFFFFFu - 351, 4), 1, L(kSubfile)},
        {"position 2^32 - 1", pkg(ext), read(0xFFFFFFFFu - 352, 4), 1,
         L("seek file @R unsuccess 4294967295, errno(22)\n\n", kSubfile)},
        {"count over the limit", pkg(ext), read(d, 0x10000003), 1, L(kOver)},
        {"count at the limit", pkg(ext), read(d, 0xFFFFF), 1,
         L("Read file @R unsuccess 1200 25165836.\n\n", kSubfile)},
        {"dummy accepted", pkg(ext), dummy, 0, L(), msg_is("caller")},
        {"entry 255 first", pkg(flip(notDummy, d + 300)), dummy, -1, L(),
         msg_is("[ext]The 256th file is not dummy file!\n")},
        {"fileId before CRC", pkg(with(ext, d + 8, 0, false)), dummy, 9, L(),
         msg_is("[ext]The dummy bin fileID is wrong!\n")},
        {"CRC before count", pkg(with(ext, d + 16, 0x100000u, false)), dummy, 7, L(),
         msg_is("[ext]The dummy bin head CRC is wrong!\n")},
        {"N = 0xFFFFF", pkg(bin(ext, d, 16, 0xFFFFF)), dummy, 0, L(), msg_is("caller")},
        {"N over, logs", pkg(bin(ext, d, 16, 0xFFFFFFFFu)), dummy, 9, L(kOver), msg_is("caller")},
        {"table accepted", pkg(ext), table, 0, L(), msg_is("caller")},
        {"count before CRC", pkg(with(with(ext, crcAt, 0, false), ext.tableOffset + 4, 3, false)),
         table, 9, L(), msg_is("[ext]The last file number is wrong\n")},
        {"count upper bits", pkg(with(ext, ext.tableOffset + 4, 0x10004u, false)), table, 9, L()},
        {"CRC upper bit", pkg(with(ext, crcAt, ext.be32(crcAt) | 0x100000u, false)), table, 7, L(),
         msg_is("[ext]The sub header file CRC is wrong\n")},
        {"CRC covers entries", pkg(with(ext, ext.ext_entry_field(2, 20), 1, false)), table, 7, L()},
        {"zeros, N = 0", raw(Bytes(d + 352 + 36, 0)), table, 0, L()},
        {"impossible count, not read", pkg(bin(ext, d, 16, 0x0AAAAAABu)), table, 9, L(),
         msg_is("[ext]The last file number is over upper limit\n")},
    });
}

TEST(Tables, Lookup) {
    const Call rpg = [](Sandbox &s) { return QVPKG_ChkqvTypeFromRpg(s.p()); };
    const Package three = three_files();
    const Package dup = PackageBuilder()
                            .add(SubFile{0x10, "boot.bin", "bootloader", {1}})
                            .add(SubFile{0x20, "kernel.bin", "kernel", {2}})
                            .add(SubFile{0x10, "", "second with id 0x10", {3}})
                            .build();
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i)
        b.add(SubFile{0x1000 + i, "h", "header file", {}});
    const Package full = PackageBuilder(b).add(SubFile{0x2000, "last", "", {}}).build();
    const Package mixed = b.add_extend(SubFile{0x1005, "dup", "", {9}})
                              .add_extend(SubFile{0x7000, "ext.bin", "extend only", {8}, 71, 72})
                              .add_extend(SubFile{kRpg, "rpg", "", {}})
                              .build();
    const Package broken = with(mixed, mixed.dummyOffset + 8, 0, false);
    const Package badHeader = with(three, 6176, three.be32(6176) ^ 1, false);
    const Package rpgHere =
        PackageBuilder().add(SubFile{1, "a", "", {}}).add(SubFile{kRpg, "", "", {}}).build();
    const auto unreadable = [](std::uint32_t at) {
        return PackageBuilder()
            .add(SubFile{0x1, "a", "", {}})
            .add_raw(RawDesc{0x2, at, 352, 0, 0, 0})
            .add(SubFile{0x3, "target", "", {}})
            .build();
    };
    const auto size = static_cast<std::uint32_t>(unreadable(0).bytes.size());
    const Lines bad = L(kBootCrc, "Check QV header unsuccess 7.\n\n", kReadHeader);
    const char *stop = "Read file unsuccess 1 not ok 2.\n";
    const Call custom = [](Sandbox &s) {
        static int calls;
        calls = 0;
        const BinHeaderMatchFn second = [](const BinHeader *, const char *key) {
            return ++calls == 2 ? -static_cast<std::int32_t>(std::strlen(key)) : 0;
        };
        const int r = QVPKG_GetQVFileInfoByBinHeader(s.p(), &s.info, second, "xyz");
        return calls == 2 && s.info.fileId == 0x20 ? r : 99;
    };
    run_rows({
        {"by ID", pkg(three), by_id(0x20, entry(three, 1)), 0, L()},
        {"lowest index wins", pkg(dup), by_id(0x10, entry(dup, 0)), 0, L()},
        {"beyond fileNum", pkg(with(three, 4, 2)), by_id(0x30), 8, L(kNoExt, kNotFound)},
        {"all 32 bits", pkg(three), by_id(0x10010), 8, L(kNoExt, kNotFound)},
        {"fileNum 0", pkg(with(three, 4, 0)), by_id(0x10), 8, L(kNoExt, kNotFound)},
        {"header table wins", pkg(mixed), by_id(0x1005, entry(mixed, 5)), 0, L()},
        {"last real entry", pkg(mixed), by_id(0x1000 + 254, entry(mixed, 254)), 0, L()},
        {"extension only", pkg(mixed), by_id(0x7000, entry(mixed, 1, true)), 0, L()},
        {"dummy is entry 255", pkg(broken), by_id(DUMMY_DESC_FILE_ID, entry(mixed, 255)), 0, L()},
        {"listed nowhere", pkg(mixed), by_id(0x7001), -1, L(kNotFound)},
        {"broken extension", pkg(broken), by_id(0x7000), 9,
         L("This is not extend file: 9, [ext]The dummy bin fileID is wrong!\n\n\n", kNotFound)},
        {"full table, no dummy", pkg(full), by_id(0x3000), -1, L(kNotDummy, kNotFound)},
        {"bad header by ID", pkg(badHeader), by_id(0x10), 11, bad},
        {"bad header by name", pkg(badHeader), by_name("boot.bin"), 11, bad},
        {"rpg of a bad header", pkg(badHeader), rpg, -1,
         L(kBootCrc, "Check QV header unsuccess 7.\n\n", kReadHeader, kRpgAbsent)},
        {"rpg in the header", pkg(rpgHere), rpg, 0, L()},
        {"rpg in the extension", pkg(mixed), rpg, 0, L()},
        {"rpg absent", pkg(three), rpg, -1, L(kNoExt, kNotFound, kRpgAbsent)},
        {"rpg, no dummy", pkg(full), rpg, -1, L(kNotDummy, kNotFound, kRpgAbsent)},
        {"rpg, missing", missing(), rpg, -1,
         L(kRealpath, "Read QV file header unsuccess 4.\n\n", kReadHeader, kRpgAbsent)},
        {"name", pkg(three), by_name("kernel.bin", entry(three, 1)), 0, L()},
        {"empty name", pkg(dup), by_name("", entry(dup, 2)), 0, L()},
        {"name prefix", pkg(three), by_name("kernel"), 14, L()},
        {"name longer", pkg(three), by_name("kernel.bin2"), 14, L()},
        {"name case", pkg(three), by_name("Kernel.bin"), 14, L()},
        {"description", pkg(three), by_desc("kernel", entry(three, 1)), 0, L()},
        {"in the middle", pkg(three), by_desc("stage boot", entry(three, 0)), 0, L()},
        {"empty description", pkg(three), by_desc("", entry(three, 0)), 0, L()},
        {"description case", pkg(three), by_desc("Kernel"), 14, L()},
        {"a name", pkg(three), by_desc("boot.bin"), 14, L()},
        {"extend name", pkg(mixed), by_name("ext.bin"), 14, L()},
        {"extend description", pkg(mixed), by_desc("extend only"), 14, L()},
        {"dummy by name", pkg(mixed), by_name("dummy", entry(mixed, 255)), 0, L()},
        {"scan of fileNum 0", pkg(with(three, 4, 0)), by_desc(""), 14, L()},
        {"any non-zero match", pkg(three), custom, 0, L()},
        {"stops short of the end", pkg(unreadable(size - 351)), by_name("target"), -1,
         L("Read file @R unsuccess 351 352.\n\n", stop)},
        {"earlier ones match", pkg(unreadable(0)), by_name("a", entry(unreadable(0), 0)), 0, L()},
        {"stops past the end", pkg(unreadable(size + 10)), by_name("target"), -1,
         L("Read file @R unsuccess 0 352.\n\n", stop)},
        {"stops at 2^31", pkg(unreadable(0x80000000u)), by_name("target"), -1,
         L("seek file @R unsuccess 2147483648, errno(22)\n\n", stop)},
    });
}

TEST(Tables, LargestExtension) {  // 0xFFFFF extend sub-files, the last the rpg file
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i)
        b.add_raw(RawDesc{0x100 + i, 0, 0, 0, 0, 0});
    for (std::uint32_t i = 0; i + 1 < EXT_MAX_FILE_NUM; ++i)
        b.add_extend_raw(RawDesc{0x100000u + i, i, 1, 0, 0, i});
    const Package p = b.add_extend_raw(RawDesc{kRpg, 7, 8, 9, 10, 11}).build();
    run_rows({
        {"rpg last", pkg(p), by_id(kRpg, QVFileDesc{kRpg, 7, 8, 9, 10, 11}), 0, L()},
        {"in the middle", pkg(p), by_id(0x100000 + 12345, entry(p, 12345, true)), 0, L()},
        {"absent", pkg(p), by_id(0x0FFFFF), -1, L(kNotFound)},
        {"walked: the table passes, the first extend sub-file is short", pkg(p),
         [](Sandbox &s) {
             return QVPKG_ChkSubFileInfo(s.image.data(), std::uint32_t(s.image.size()), s.msg, 256);
         },
         -1, L(),
         msg_is(
             "File length is less than head size, 1\nInfo: System software CRC check failed!\n")},
    });
}

}  // namespace
