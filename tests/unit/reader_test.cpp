// The failure tables of header access, the extension area and the lookups:
// one row per way a call ends, with its code, its log lines and what it
// leaves in the caller's record, buffer or message.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "support/fixture.hpp"

namespace {

using namespace rztest;
using Call = std::function<int(Sandbox &)>;

constexpr char kOverLimit[] = "[RERAZERA]File is wrong, file num is over upper limit\n\n";
constexpr char kBootCrc[] = "[RERAZERA]Boot file CRC check not ok.\n\n";
constexpr char kRealpath[] = "[RERAZERA]Get @P's realpath unsuccess.\n\n";
constexpr char kReadHeader[] = "[RERAZERA]Read QV header unsuccess.\n\n";
constexpr char kNotFound[] = "[RERAZERA]File not found in package!\n\n";
constexpr char kNoExt[] = "[RERAZERA]file number less than 256, no extend subfiles!\n\n";
constexpr char kRpgAbsent[] = "[RERAZERA]Get rpg file info from QV header unsuccess! \n\n";
constexpr char kSubfile[] = "[RERAZERA]Get subfile from @P not success! \n\n";

Input missing() {
    return [](Sandbox &s) { s.pkg = s.dir.file("no/../missing.qv"); };
}
Input socket_file() {
    return [](Sandbox &s) { make_socket(s.pkg); };
}
Input directory() {
    return [](Sandbox &s) { s.pkg = s.dir.path(); };
}
std::function<void(Sandbox &)> msg_is(const std::string &text) {
    return [text](Sandbox &s) { EXPECT_EQ(s.msg, text); };
}
std::string not_ext(const std::string &code, const std::string &text) {
    return "[RERAZERA]This is not extend file: " + code + ", " + text + "\n\n";
}
std::string refused(const std::string &code, const std::string &text) {
    return "[RERAZERA]2nd file desc is not ok: " + code + " " + text + "\n\n";
}
// 0 when the lookup succeeds with exactly `want`, 99 when it fills another.
int judged(int r, const Sandbox &s, const QVFileDesc &want) {
    return r == QVPKG_OK && !same(s.info, want) ? 99 : r;
}
Call by_id(std::uint32_t id, QVFileDesc want = kUntouched) {
    return [=](Sandbox &s) {
        return judged(QVPKG_GetQVFileInfo(s.p(), &s.info, static_cast<std::int32_t>(id)), s, want);
    };
}
Call ext_id(std::uint32_t id, QVFileDesc want = kUntouched) {
    return [=](Sandbox &s) {
        return judged(QVPKG_GetQVExtFileInfo(s.p(), &s.info, static_cast<std::int32_t>(id)), s,
                      want);
    };
}
Call by_name(const char *name, QVFileDesc want = kUntouched) {
    return [=](Sandbox &s) {
        return judged(QVPKG_GetQVFileInfoByName(s.p(), &s.info, name), s, want);
    };
}
Call by_desc(const char *text, QVFileDesc want = kUntouched) {
    return [=](Sandbox &s) {
        return judged(QVPKG_GetQVFileInfoByDesc(s.p(), &s.info, text), s, want);
    };
}
int rpg(Sandbox &s) {
    return QVPKG_ChkqvTypeFromRpg(s.p());
}
Package num(const Package &p, std::uint32_t n) {
    return with(p, 4, n);
}

TEST(Tables, HeaderAccess) {
    const Package three = three_files();
    const auto size = static_cast<std::int32_t>(three.bytes.size());
    const auto read = [](std::int32_t off, std::uint32_t len) -> Call {
        return [=](Sandbox &s) {
            Bytes buf(len + 1, 0xEE);
            const int r = QVPKG_ReadFileByOffset(s.p(), off, buf.data(), len);
            return r == 0 && slice(buf, 0, len) != slice(s.image, off, len) ? 99 : r;
        };
    };
    const Call check = [](Sandbox &s) {
        return QVPKG_ChkQvHeader(reinterpret_cast<const QVHeader *>(s.image.data()));
    };
    const Call load = [](Sandbox &s) {
        QVHeader *h = QVPKG_GetQVHeader(s.p());
        const int r = h == nullptr ? 1 : std::memcmp(h, s.image.data(), QVPKG_HEADER_SIZE) ? 99 : 0;
        std::free(h);
        return r;
    };
    const Call type = [](Sandbox &s) {
        std::uint32_t t = 77;
        const int r = QVPKG_ExtractProductTypeFromQV(s.p(), &t);
        return r == 0 ? (t == 0x1234 ? 0 : 99) : (t == 77 ? r : 98);
    };
    const Package badCrc = with(three, 6176, three.be32(6176) ^ 1, false);
    const std::string checkFailed = "[RERAZERA]Check QV header unsuccess ";
    run_rows({
        {"read a range", pkg(three), read(6180, 100), 0, L()},
        {"read nothing", pkg(three), read(10, 0), 0, L()},
        {"read from a missing path", missing(), read(0, 4), 4, L(kRealpath)},
        {"read from a socket", socket_file(), read(0, 4), 2,
         L("[RERAZERA]Can't open file @R.\n\n")},
        {"read past the end", pkg(three), read(size - 10, 64), 2,
         L("[RERAZERA]Read file @R unsuccess 10 64.\n\n")},
        {"read at 2^31", pkg(three), read(INT32_MIN, 4), 2,
         L("[RERAZERA]seek file @R unsuccess 2147483648, errno(22)\n\n")},
        {"read a directory", directory(), read(0, 4), 2,
         L("[RERAZERA]Read file @R unsuccess -1 4.\n\n")},
        {"zero header", raw(Bytes(6180, 0)), check, 0, L()},
        {"256 entries", pkg(num(three, 256)), check, 0, L()},
        {"257 entries, CRC right", pkg(num(three, 257)), check, 5, L(kOverLimit)},
        {"2^32 - 1 entries", pkg(with(three, 4, 0xFFFFFFFFu, false)), check, 5, L(kOverLimit)},
        {"CRC word with an upper bit", pkg(with(three, 6176, three.be32(6176) | 0x10000, false)),
         check, 7, L(kBootCrc)},
        {"load a header", pkg(three), load, 0, L()},
        {"load a bad CRC", pkg(badCrc), load, 1, L(kBootCrc, checkFailed + "7.\n\n")},
        {"load 257 entries", pkg(num(three, 257)), load, 1, L(kOverLimit, checkFailed + "5.\n\n")},
        {"load a missing path", missing(), load, 1,
         L(kRealpath, "[RERAZERA]Read QV file header unsuccess 4.\n\n")},
        {"load 6179 bytes", raw(Bytes(6179, 0)), load, 1,
         L("[RERAZERA]Read file @R unsuccess 6179 6180.\n\n",
           "[RERAZERA]Read QV file header unsuccess 2.\n\n")},
        {"type of a refused header", pkg(badCrc), type, 0, L()},
        {"type of a missing path", missing(), type, 4,
         L("[RERAZERA]get @P's realpath unsuccess.\n")},
        {"type of a socket", socket_file(), type, 2,
         L("[RERAZERA]open @P unsuccess, errno 0x6.\n")},
        {"type of 100 bytes", raw(Bytes(100, 0)), type, 2,
         L("[RERAZERA]read pkg header unsuccess, ret 0x64 err 0x16\n")},
        {"type of a directory", directory(), type, 2,
         L("[RERAZERA]read pkg header unsuccess, ret 0xffffffff err 0x15\n")},
    });
}

TEST(Tables, ExtensionArea) {
    const Package ext = ext_package(3, true);  // N = 4: 0x5000..0x5002, then 0x5000 again
    const Package wide = long_ext(20000);
    const Package even = long_ext(8192);  // the CRC word alone in the last streamed piece
    const std::size_t d = ext.dummyOffset;
    const std::size_t crcAt = ext.tableOffset + 32 + 24 * ext.extCount;
    const auto dummy = [d](Package p, std::size_t field, std::uint32_t v, bool reseal = true) {
        p.set_be32(d + field, v);
        if (reseal) {
            p.reseal_bin_header(d);
        }
        return p;
    };
    const Package notDummy = dummy(with(ext, Package::entry_field(255, 0), 0xABEF0000u), 8, 0);
    const auto cut = [&](std::uint32_t kept) {
        Package p = wide;
        p.bytes.resize(p.tableOffset + kept);
        return p;
    };
    const std::uint32_t wideSize = 36 + 20000 * 24;
    const auto cutRow = [&](std::uint32_t kept) {
        return Row{"table cut short",
                   pkg(cut(kept)),
                   ext_id(0x100000),
                   1,
                   {"[RERAZERA]Read file @R unsuccess " + std::to_string(kept) + " " +
                        std::to_string(wideSize) + ".\n\n",
                    kSubfile, kSubfile}};
    };
    const auto in_memory = [d](auto fn) -> Call {
        return [=](Sandbox &s) {
            Package image;
            image.bytes = s.image;
            const QVFileDesc e = entry(image, 255);
            return fn(s, &e, reinterpret_cast<const BinHeader *>(s.image.data() + d),
                      s.image.data() + d + 352);
        };
    };
    const Call dummyCheck =
        in_memory([](Sandbox &s, const QVFileDesc *e, const BinHeader *h, const std::uint8_t *) {
            return QVPKG_isValidExtQV(e, h, s.msg, sizeof s.msg);
        });
    const Call tableCheck =
        in_memory([](Sandbox &s, const QVFileDesc *, const BinHeader *h, const std::uint8_t *t) {
            return QVPKG_Chk2ndFileDesc(h, reinterpret_cast<const SecondFileDescTable *>(t), s.msg,
                                        sizeof s.msg);
        });
    const auto table = [d, &ext](std::uint32_t offset, std::uint32_t n) -> Call {
        return [=, &ext](Sandbox &s) {
            Bytes head = slice(ext.bytes, d, 352);
            for (int i = 0; i < 4; ++i) {
                head[16 + i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
            }
            const QVFileDesc e{DUMMY_DESC_FILE_ID, offset, 0, 0, 0, 0};
            auto *t = QVPKG_Get2ndFileDescContent(s.p(), &e,
                                                  reinterpret_cast<const BinHeader *>(head.data()));
            const bool whole =
                t != nullptr && std::memcmp(t, s.image.data() + offset + 352, 36 + 24 * n) == 0;
            std::free(t);
            return t == nullptr ? 1 : whole ? 0 : 99;
        };
    };
    const auto exists = [](Sandbox &s) {
        const int r = QVPKG_isExtendFileExist(s.p(), &s.info);
        return r == 0 && (s.info.fileId != DUMMY_DESC_FILE_ID || s.info.aux1 != 0x77) ? 99 : r;
    };
    const Lines overN{kOverLimit, not_ext("9", "")};
    run_rows({
        {"found with all six fields", pkg(ext), ext_id(0x5001, entry(ext, 1, true)), 0, L()},
        {"listed twice: the first", pkg(ext), ext_id(0x5000, entry(ext, 0, true)), 0, L()},
        {"absent", pkg(ext), ext_id(0x5003), -1, L()},
        {"all 32 bits compared", pkg(ext), ext_id(0x80005001u), -1, L()},
        {"empty extension", pkg(ext_package(0)), ext_id(0), -1, L()},
        {"255 entries", pkg(num(ext, 255)), ext_id(0x5001), 8, L(kNoExt)},
        {"header refused", pkg(with(ext, 6176, 0, false)), ext_id(0x5001), 11,
         L(kBootCrc, "[RERAZERA]Check QV header unsuccess 7.\n\n",
           "[RERAZERA]Get QV header from @P unsuccess.\n\n")},
        {"dummy header unreadable",
         pkg(with(ext, Package::entry_field(255, 4), std::uint32_t(ext.bytes.size() - 100))),
         ext_id(0x5001), 2,
         L("[RERAZERA]Read file @R unsuccess 100 352.\n\n",
           "[RERAZERA]Read extend file not success 2\n\n")},
        {"entry 255 is not the dummy", pkg(notDummy), ext_id(0x5001), -1,
         L(not_ext("4294967295", "[ext]The 256th file is not dummy file!\n"))},
        {"entry 255 is 0x0001ABEF", pkg(with(ext, Package::entry_field(255, 0), 0x0001ABEFu)),
         ext_id(0x5001), -1, L(not_ext("4294967295", "[ext]The 256th file is not dummy file!\n"))},
        {"dummy fileId 0x12CD0000", pkg(dummy(ext, 8, 0x12CD0000u)), ext_id(0x5001), 9,
         L(not_ext("9", "[ext]The dummy bin fileID is wrong!\n"))},
        {"dummy CRC word upper bit", pkg(dummy(ext, 4, ext.be32(d + 4) | 0x10000u, false)),
         ext_id(0x5001), 7, L(not_ext("7", "[ext]The dummy bin head CRC is wrong!\n"))},
        {"N = 0x100000", pkg(dummy(ext, 16, 0x100000)), ext_id(0x5001), 9, overN},
        {"table count and CRC wrong", pkg(with(ext, ext.tableOffset + 4, 2, false)), ext_id(0x5001),
         9, L(refused("9", "[ext]The last file number is wrong\n"))},
        {"table CRC word upper bit", pkg(with(ext, crcAt, ext.be32(crcAt) | 0xFFFF0000u, false)),
         ext_id(0x5001), 7, L(refused("7", "[ext]The sub header file CRC is wrong\n"))},
        {"first piece", pkg(wide), ext_id(0x100000, entry(wide, 0, true)), 0, L()},
        {"end of the first piece", pkg(wide), ext_id(0x100000 + 8191, entry(wide, 8191, true)), 0,
         L()},
        {"start of the second", pkg(wide), ext_id(0x100000 + 8192, entry(wide, 8192, true)), 0,
         L()},
        {"third piece", pkg(wide), ext_id(0x100000 + 16384, entry(wide, 16384, true)), 0, L()},
        {"last entry", pkg(wide), ext_id(0x100000 + 19999, entry(wide, 19999, true)), 0, L()},
        {"damage in the last piece", pkg(with(wide, wide.ext_entry_field(19000, 12), 1, false)),
         ext_id(0x100000), 7, L(refused("7", "[ext]The sub header file CRC is wrong\n"))},
        {"last of 8192", pkg(even), ext_id(0x100000 + 8191, entry(even, 8191, true)), 0, L()},
        {"lone CRC word upper bit",
         pkg(with(even, even.ext_entry_field(8192, 0),
                  even.be32(even.ext_entry_field(8192, 0)) | 0x80000000u, false)),
         ext_id(0x100000), 7, L(refused("7", "[ext]The sub header file CRC is wrong\n"))},
        {"lone CRC word damaged", pkg(with(even, even.ext_entry_field(8192, 0), 0, false)),
         ext_id(0x100000), 7, L(refused("7", "[ext]The sub header file CRC is wrong\n"))},
        cutRow(0),
        cutRow(30),
        cutRow(196640),
        cutRow(196641),
        cutRow(393248),
        cutRow(400000),
        cutRow(wideSize - 4),
        cutRow(wideSize - 1),
        {"entry 255 handed out whatever it holds",
         pkg(with(ext, Package::entry_field(255, 20), 0x77)), exists, 0, L()},
        {"no extension entry", pkg(num(ext, 255)), exists, 8, L(kNoExt)},
        {"read the table", pkg(ext), table(ext.dummyOffset, ext.extCount), 0, L()},
        {"table cut short", pkg(cut(30)), table(wide.dummyOffset, 20000), 1,
         L("[RERAZERA]Read file @R unsuccess 30 " + std::to_string(wideSize) + ".\n\n", kSubfile)},
        {"table position wraps", pkg(ext), table(0xFFFFFFFFu - 351, 4), 1, L(kSubfile)},
        {"table position 2^32 - 1", pkg(ext), table(0xFFFFFFFFu - 352, 4), 1,
         L("[RERAZERA]seek file @R unsuccess 4294967295, errno(22)\n\n", kSubfile)},
        {"table count over the limit", pkg(ext), table(ext.dummyOffset, 0x10000003), 1,
         L(kOverLimit)},
        {"dummy accepted", pkg(ext), dummyCheck, 0, L(), msg_is("caller")},
        {"every dummy test fails: entry 255 reported", pkg(dummy(notDummy, 300, 1, false)),
         dummyCheck, -1, L(), msg_is("[ext]The 256th file is not dummy file!\n")},
        {"dummy fileId before its CRC", pkg(dummy(ext, 8, 0x12CD0000u, false)), dummyCheck, 9, L(),
         msg_is("[ext]The dummy bin fileID is wrong!\n")},
        {"CRC before the count", pkg(dummy(dummy(ext, 16, 0x100000u, false), 4, 0x10000u, false)),
         dummyCheck, 7, L(), msg_is("[ext]The dummy bin head CRC is wrong!\n")},
        {"N = 0xFFFFF", pkg(dummy(ext, 16, 0xFFFFF)), dummyCheck, 0, L(), msg_is("caller")},
        {"N = 0x100000 logged only", pkg(dummy(ext, 16, 0x100000)), dummyCheck, 9, L(kOverLimit),
         msg_is("caller")},
        {"N = 2^32 - 1", pkg(dummy(ext, 16, 0xFFFFFFFFu)), dummyCheck, 9, L(kOverLimit)},
        {"table accepted", pkg(ext), tableCheck, 0, L(), msg_is("caller")},
        {"count before CRC", pkg(with(with(ext, crcAt, 0, false), ext.tableOffset + 4, 3, false)),
         tableCheck, 9, L(), msg_is("[ext]The last file number is wrong\n")},
        {"count with upper bits", pkg(with(ext, ext.tableOffset + 4, 0x00010004u, false)),
         tableCheck, 9, L()},
        {"table CRC upper bit", pkg(with(ext, crcAt, ext.be32(crcAt) | 0x100000u, false)),
         tableCheck, 7, L(), msg_is("[ext]The sub header file CRC is wrong\n")},
        {"CRC covers the descriptors", pkg(with(ext, ext.ext_entry_field(2, 20), 1, false)),
         tableCheck, 7, L()},
        {"empty table of zeros", raw(Bytes(d + 352 + 36, 0)), tableCheck, 0, L()},
        {"impossible count: not read", pkg(dummy(ext, 16, 0x0AAAAAABu)), tableCheck, 9, L(),
         msg_is("[ext]The last file number is over upper limit\n")},
    });
}

TEST(Tables, Lookup) {
    const Package three = three_files();
    const Package dup = PackageBuilder()
                            .add(SubFile{0x10, "boot.bin", "bootloader", {1}})
                            .add(SubFile{0x20, "kernel.bin", "kernel", {2}})
                            .add(SubFile{0x10, "", "second with id 0x10", {3}})
                            .build();
    PackageBuilder mixedB;
    for (std::uint32_t i = 0; i < 255; ++i) {
        mixedB.add(SubFile{0x1000 + i, "h" + std::to_string(i), "header file", {}});
    }
    PackageBuilder fullB = mixedB;
    const Package mixed = mixedB.add_extend(SubFile{0x1005, "dup", "", {9}})
                              .add_extend(SubFile{0x7000, "ext.bin", "extend only", {8}, 71, 72})
                              .add_extend(SubFile{kRpg, "rpg", "", {}})
                              .build();
    const Package full = fullB.add(SubFile{0x2000, "last", "", {}}).build();
    const Package brokenExt = with(mixed, mixed.dummyOffset + 8, 0, false);
    const Package badHeader = with(three, 6176, three.be32(6176) ^ 1, false);
    const Package rpgInHeader =
        PackageBuilder().add(SubFile{1, "a", "", {}}).add(SubFile{kRpg, "r", "", {}}).build();
    const auto unreadable = [](std::uint32_t at) {
        return PackageBuilder()
            .add(SubFile{0x1, "a", "", {}})
            .add_raw(RawDesc{0x2, at, 352, 0, 0, 0})
            .add(SubFile{0x3, "target", "", {}})
            .build();
    };
    const auto size = static_cast<std::uint32_t>(unreadable(0).bytes.size());
    const Lines bad{kBootCrc, "[RERAZERA]Check QV header unsuccess 7.\n\n", kReadHeader};
    const std::string stop = "[RERAZERA]Read file unsuccess 1 not ok 2.\n";
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
        {"beyond fileNum", pkg(num(three, 2)), by_id(0x30), 8, L(kNoExt, kNotFound)},
        {"all 32 bits compared", pkg(three), by_id(0x10010), 8, L(kNoExt, kNotFound)},
        {"fileNum 0", pkg(num(three, 0)), by_id(0x10), 8, L(kNoExt, kNotFound)},
        {"header table wins", pkg(mixed), by_id(0x1005, entry(mixed, 5)), 0, L()},
        {"last real entry", pkg(mixed), by_id(0x1000 + 254, entry(mixed, 254)), 0, L()},
        {"extension only", pkg(mixed), by_id(0x7000, entry(mixed, 1, true)), 0, L()},
        {"dummy is entry 255", pkg(brokenExt), by_id(DUMMY_DESC_FILE_ID, entry(mixed, 255)), 0,
         L()},
        {"listed nowhere", pkg(mixed), by_id(0x7001), -1, L(kNotFound)},
        {"broken extension", pkg(brokenExt), by_id(0x7000), 9,
         L(not_ext("9", "[ext]The dummy bin fileID is wrong!\n"), kNotFound)},
        {"full table without dummy", pkg(full), by_id(0x3000), -1,
         L(not_ext("4294967295", "[ext]The 256th file is not dummy file!\n"), kNotFound)},
        {"bad header by ID", pkg(badHeader), by_id(0x10), 11, bad},
        {"bad header by name", pkg(badHeader), by_name("boot.bin"), 11, bad},
        {"rpg of a bad header", pkg(badHeader), rpg, -1,
         L(kBootCrc, "[RERAZERA]Check QV header unsuccess 7.\n\n", kReadHeader, kRpgAbsent)},
        {"rpg in the header table", pkg(rpgInHeader), rpg, 0, L()},
        {"rpg in the extension", pkg(mixed), rpg, 0, L()},
        {"rpg absent", pkg(three), rpg, -1, L(kNoExt, kNotFound, kRpgAbsent)},
        {"rpg of no table", pkg(full), rpg, -1,
         L(not_ext("4294967295", "[ext]The 256th file is not dummy file!\n"), kNotFound,
           kRpgAbsent)},
        {"rpg of a missing path", missing(), rpg, -1,
         L(kRealpath, "[RERAZERA]Read QV file header unsuccess 4.\n\n", kReadHeader, kRpgAbsent)},
        {"name", pkg(three), by_name("kernel.bin", entry(three, 1)), 0, L()},
        {"empty name", pkg(dup), by_name("", entry(dup, 2)), 0, L()},
        {"name prefix", pkg(three), by_name("kernel"), 14, L()},
        {"name longer", pkg(three), by_name("kernel.bin2"), 14, L()},
        {"name case", pkg(three), by_name("Kernel.bin"), 14, L()},
        {"description", pkg(three), by_desc("kernel", entry(three, 1)), 0, L()},
        {"description middle", pkg(three), by_desc("stage boot", entry(three, 0)), 0, L()},
        {"empty description", pkg(three), by_desc("", entry(three, 0)), 0, L()},
        {"description case", pkg(three), by_desc("Kernel"), 14, L()},
        {"a name is no description", pkg(three), by_desc("boot.bin"), 14, L()},
        {"extend name", pkg(mixed), by_name("ext.bin"), 14, L()},
        {"extend description", pkg(mixed), by_desc("extend only"), 14, L()},
        {"dummy by name", pkg(mixed), by_name("dummy", entry(mixed, 255)), 0, L()},
        {"scan of fileNum 0", pkg(num(three, 0)), by_desc(""), 14, L()},
        {"any non-zero match", pkg(three), custom, 0, L()},
        {"scan stops short of the end", pkg(unreadable(size - 351)), by_name("target"), -1,
         L("[RERAZERA]Read file @R unsuccess 351 352.\n\n", stop)},
        {"entries before it match", pkg(unreadable(size - 351)),
         by_name("a", entry(unreadable(0), 0)), 0, L()},
        {"scan stops past the end", pkg(unreadable(size + 10)), by_name("target"), -1,
         L("[RERAZERA]Read file @R unsuccess 0 352.\n\n", stop)},
        {"scan stops at 2^31", pkg(unreadable(0x80000000u)), by_name("target"), -1,
         L("[RERAZERA]seek file @R unsuccess 2147483648, errno(22)\n\n", stop)},
    });
}

// The largest extension: 0xFFFFF extend sub-files, the last the rpg file.
TEST(Tables, LargestExtension) {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add_raw(RawDesc{0x100 + i, 0, 0, 0, 0, 0});
    }
    for (std::uint32_t i = 0; i + 1 < EXT_MAX_FILE_NUM; ++i) {
        b.add_extend_raw(RawDesc{0x100000u + i, i, 1, 0, 0, i});
    }
    const Package p = b.add_extend_raw(RawDesc{kRpg, 7, 8, 9, 10, 11}).build();
    run_rows({
        {"rpg last", pkg(p), by_id(kRpg, QVFileDesc{kRpg, 7, 8, 9, 10, 11}), 0, L()},
        {"in the middle", pkg(p), by_id(0x100000 + 12345, entry(p, 12345, true)), 0, L()},
        {"absent", pkg(p), by_id(0x0FFFFF), -1, L(kNotFound)},
    });
}

}  // namespace
