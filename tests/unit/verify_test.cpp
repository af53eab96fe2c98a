// SPDX-License-Identifier: MIT
// The failure tables of mapped verification and of the check entry.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "support/fixture.hpp"
#include "verify/mapping.hpp"

namespace {

using namespace rztest;

constexpr char kOk[] = "Info: System software CRC check OK!\n";
constexpr char kOut[] = "File length is wrong, offset is out of file size.\n";
constexpr char kHeaderFail[] = "Check QV header fail! \n";
constexpr char kNameRule[] = "Info: V5 packet name can't contain character '@'!\n";
constexpr char kRpgAbsent[] = "Get rpg file info from QV header unsuccess! \n\n";
constexpr char kShort[] = "File length is wrong, less than header.\n";

std::string failed(const std::string &first) {
    return first + "Info: System software CRC check failed!\n";
}
Package reseal255(Package p) {  // entry 255's payload CRC, over the second table
    const std::uint32_t len = p.be32(Package::entry_field(255, 8)) - 352;
    return ent(p, 255, 12, rerazera::writer::crc16(p.bytes.data() + p.tableOffset, len));
}
Input at_path(Input in, const std::string &rel) {
    return [=](Sandbox &s) {
        s.pkg = s.dir.file(rel);
        ::mkdir(s.pkg.substr(0, s.pkg.rfind('/')).c_str(), 0700);
        in(s);
    };
}

TEST(Tables, MappedVerification) {
    const Package three = three_files(), ext = ext_package(3);
    const auto len = static_cast<std::uint32_t>(three.bytes.size());
    const std::size_t at1 = three.entryOffsets[1], d = ext.dummyOffset;
    const std::size_t extCrc = ext.ext_entry_field(3, 0);
    const Call walk = [](Sandbox &s) {
        return QVPKG_ChkSubFileInfo(s.image.data(), std::uint32_t(s.image.size()), s.msg, 256);
    };
    const Call map = [](Sandbox &s) {
        std::uint32_t n = 777;
        std::uint8_t *base = QVPKG_MapQVFile(s.p(), &n, s.msg, sizeof s.msg);
        if (base == nullptr) {
            return n == 777 ? 1 : 98;
        }
        const bool whole = n == s.image.size() && std::memcmp(base, s.image.data(), n) == 0 &&
                           std::string(s.msg) == "caller";
        const int walked = QVPKG_ChkSubFileInfo(base, n, s.msg, sizeof s.msg);
        const bool unmapped = QVPKG_UnmapQVFile(base + 1, n) == -1 && !QVPKG_UnmapQVFile(base, n);
        return whole && unmapped ? walked : 99;
    };
    const Call cut = [](Sandbox &s) {  // verdicts cut to the buffer, never past it
        std::memset(s.msg, 'x', sizeof s.msg);
        const auto n = static_cast<std::uint32_t>(s.image.size());
        const int r = QVPKG_ChkSubFileInfo(s.image.data(), n, s.msg, 20);
        EXPECT_EQ(std::string(s.msg) + s.msg[20], "file crc is not cor" + std::string("x"));
        return r + QVPKG_ChkSubFileInfo(s.image.data(), n, s.msg, 1) + (s.msg[1] != 'i');
    };
    const auto huge = [](std::uint32_t length) -> Call {  // dataLen 2^31 sums no bytes
        return [=](Sandbox &s) {
            const Bytes h = rerazera::writer::make_bin_header(SubFile{}, 0x80000000u, 7);
            const QVFileDesc desc{7, 0, length, 0, 0, 0};
            return QVPKG_ChkSubfile(h.data(), &desc, s.msg, sizeof s.msg);
        };
    };
    const Call extCheck = [](Sandbox &s) {
        Package p;
        p.bytes = s.image;
        const QVFileDesc e = entry(p, 255);
        return QVPKG_ChkQVExtFileInfo(s.image.data(), &e, s.msg, sizeof s.msg);
    };
    const Package bare = PackageBuilder().add(SubFile{0x42, "", "", {}}).build();
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(SubFile{i + 1, "f", "f", Bytes(4, 1)});
    }
    const Package plain = PackageBuilder(b).add(SubFile{256, "", "", {}}).build();
    const Package tail = b.add_raw(RawDesc{DUMMY_DESC_FILE_ID, 0, 0, 0, 0, 0}).build();
    Package pastEnd = with(ext, ext.ext_entry_field(2, 8),
                           std::uint32_t(ext.bytes.size()) - ext.extOffsets[2] + 1, false);
    pastEnd.reseal_table();
    run_rows({
        {"map, walk, unmap", pkg(three), map, 0, L(), msg_is(kOk)},
        {"bare header", raw(Bytes(6180, 0)), map, 0, L(), msg_is(kOk)},
        {"missing path", missing(), map, 1, L(), msg_is("caller")},
        {"6179 bytes", raw(Bytes(6179, 0)), map, 1, L(), msg_is(kShort)},
        {"empty file", raw({}), map, 1, L(), msg_is(kShort)},
        {"a socket", socket_file(), map, 1, L(), msg_is("open qv file fail! \n")},
        {"2 GiB", [](Sandbox &s) { sparse_file(s.pkg, {}, 1ull << 31); }, map, 1, L(),
         msg_is("move qv file offset fail! \n")},
        {"header CRC", pkg(with(three, 6176, 1, false)), walk, 11,
         L("Boot file CRC check not ok.\n\n"), msg_is(kHeaderFail)},
        {"257 entries", pkg(with(three, 4, 257)), walk, 11,
         L("File is wrong, file num is over upper limit\n\n"), msg_is(kHeaderFail)},
        {"length 100", pkg(ent(three, 1, 8, 100)), walk, -1, L(),
         msg_is(failed("File length is less than head size, 100\n"))},
        {"length 351", pkg(ent(three, 1, 8, 351)), walk, -1, L(),
         msg_is(failed("File length is less than head size, 351\n"))},
        {"head CRC", pkg(flip(three, at1 + 200)), walk, -1, L(),
         msg_is(failed("head crc is not correct. fileID =0x20\n"))},
        {"head CRC upper bit", pkg(with(three, at1 + 4, three.be32(at1 + 4) | 0x10000, false)),
         walk, -1, L(), msg_is(failed("head crc is not correct. fileID =0x20\n"))},
        {"payload byte", pkg(flip(three, at1 + 402, 0x80)), walk, -1, L(),
         msg_is(failed("file crc is not correct. fileID =0x20\n"))},
        {"payload CRC upper bit",
         pkg(ent(three, 1, 12, three.be32(Package::entry_field(1, 12)) | 0x10000)), walk, -1, L(),
         msg_is(failed("file crc is not correct. fileID =0x20\n"))},
        {"dataLen past its sub-file", pkg(bin(three, at1, 340, 5001)), walk, -1, L(),
         msg_is(failed("data length is over file length. fileID =0x20\n"))},
        {"last one byte past the file", pkg(ent(three, 2, 8, 3353)), walk, 6, L(), msg_is(kOut)},
        {"offset + length wraps", pkg(ent(ent(three, 1, 4, 0xFFFFFF00u), 1, 8, 512)), walk, 6, L(),
         msg_is(kOut)},
        {"empty entry at the end", pkg(ent(ent(three, 1, 8, 0), 1, 4, len)), walk, 0, L(),
         msg_is(kOk)},
        {"empty entry past it", pkg(ent(ent(three, 1, 8, 0), 1, 4, len + 1)), walk, 6, L(),
         msg_is(kOut)},
        {"first failure in table order", pkg(ent(flip(three, at1 + 100), 2, 4, 0x7FFFFFFF)), walk,
         -1, L(), msg_is(failed("head crc is not correct. fileID =0x20\n"))},
        {"bounds first", pkg(ent(ent(three, 0, 4, 0x7FFFFFFF), 2, 8, 10)), walk, 6, L(),
         msg_is(kOut)},
        {"bare bin header, crc 0", pkg(bare), walk, 0, L(), msg_is(kOk)},
        {"a payload of 3 MiB",
         pkg(PackageBuilder().add(SubFile{1, "", "", Bytes(3u << 20, 1)}).build()), walk, 0, L(),
         msg_is(kOk)},
        {"bare bin header, crc 1", pkg(ent(bare, 0, 12, 1)), walk, -1, L(),
         msg_is(failed("file crc is not correct. fileID =0x42\n"))},
        {"verdict cut", pkg(flip(three, three.entryOffsets[2] + 352)), cut, -2, L()},
        {"dataLen 2^31 sums nothing", raw({}), huge(0xFFFFFFFFu), 0, L()},
        {"dataLen 2^31 past its sub-file", raw({}), huge(0x80000000u + 351), -1, L(),
         msg_is("data length is over file length. fileID =0x7\n")},
        {"extension", pkg(ext), walk, 0, L(), msg_is(kOk)},
        {"empty extension", pkg(ext_package(0)), walk, 0, L(), msg_is(kOk)},
        {"256 ordinary entries", pkg(plain), walk, 0, L(), msg_is(kOk)},
        {"extend sub-file", pkg(flip(ext, ext.extOffsets[2] + 356)), walk, -1, L(),
         msg_is(failed("file crc is not correct. fileID =0x5002\n"))},
        {"dummy fileId", pkg(bin(ext, d, 8, 0x12CD0000u)), walk, -1,
         L("This is not extend file: 9, [ext]The dummy bin fileID is wrong!\n\n\n"),
         msg_is(failed("[ext]The dummy bin fileID is wrong!\n"))},
        {"table CRC upper bit", pkg(reseal255(with(ext, extCrc, ext.be32(extCrc) | 0x10000, 0))),
         walk, -1, L("2nd file desc is not ok: 7 [ext]The sub header file CRC is wrong\n\n\n"),
         msg_is(failed("[ext]The sub header file CRC is wrong\n"))},
        {"extend sub-file past the end", pkg(reseal255(pastEnd)), walk, 6, L(), msg_is(kOut)},
        {"table past the end", pkg(bin(ext, d, 16, 0xFFFFF)), walk, 6, L(), msg_is(kOut)},
        {"dummy across the end", pkg(ent(tail, 255, 4, std::uint32_t(tail.bytes.size()) - 351)),
         walk, 6, L(), msg_is(kOut)},
        {"exported, N = 0", pkg(ext_package(0)), extCheck, 0, L(), msg_is("caller")},
        {"exported, extend sub-file", pkg(flip(ext, ext.extOffsets[0] + 352)), extCheck, -1, L(),
         msg_is("file crc is not correct. fileID =0x5000\n")},
        {"exported, not the dummy", pkg(ent(ext, 255, 0, 0xABEF0000u)), extCheck, -1,
         L("This is not extend file: 4294967295, [ext]The 256th file is not dummy file!\n\n\n"),
         msg_is("[ext]The 256th file is not dummy file!\n")},
        {"walked, N over: no text of its own", pkg(bin(ext, d, 16, 0x100000)), walk, -1,
         L("File is wrong, file num is over upper limit\n\n", "This is not extend file: 9, \n\n"),
         msg_is(failed(""))},
        {"exported, N over: the caller's text", pkg(bin(ext, d, 16, 0x100000)), extCheck, 9,
         L("File is wrong, file num is over upper limit\n\n",
           "This is not extend file: 9, caller\n\n"),
         msg_is("caller")},
    });
}

TEST(Tables, CheckEntry) {
    const auto package = [](bool withRpg) {
        PackageBuilder b;
        b.add(SubFile{0x10, "boot", "boot", Bytes(3000, 1)});
        if (withRpg) {
            b.add(SubFile{kRpg, "rpg", "rpg", {9, 9, 9}});
        }
        return b.add(SubFile{0x11, "app", "app", Bytes(5000, 2)}).build();
    };
    const Package plain = package(false), rpg = package(true);
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(SubFile{i + 1, "f", "f", {std::uint8_t(i)}});
    }
    const std::size_t big = rerazera::PageFeeder::kChunk + 12345;  // summed in two chunks
    const Package longExt = b.add_extend(SubFile{0x7001, "x", "x", Bytes(4000, 3)})
                                .add_extend(SubFile{0x7002, "y", "y", pattern(big, 4)})
                                .build();
    const Call check = [](Sandbox &s) { return QVPKG_ChkQVFileInfo(s.p(), s.msg, sizeof s.msg); };
    const Call rule = [](Sandbox &s) { return QVPKG_CheckFilename(s.p(), s.msg, sizeof s.msg); };
    const Lines lookup = L("file number less than 256, no extend subfiles!\n\n",
                           "File not found in package!\n\n", kRpgAbsent);
    const Lines gone = L("Get @P's realpath unsuccess.\n\n", "Read QV file header unsuccess 4.\n\n",
                         "Read QV header unsuccess.\n\n", kRpgAbsent);
    const auto plus = [](Lines lines, const Lines &more) {
        lines.insert(lines.end(), more.begin(), more.end());
        return lines;
    };
    const std::string crc = failed("file crc is not correct. fileID =0x11\n");
    const std::string extCrc = failed("file crc is not correct. fileID =0x7002\n");
    const Lines invalid = L("Invalid file name @P\n\n");
    const Lines unmapped = L("Map file unsuccess @P, caller\n\n");
    run_rows({
        {"valid, without the rpg file", pkg(plain), check, 0, lookup, msg_is(kOk)},
        {"valid, with it", pkg(rpg), check, 0, L(), msg_is(kOk)},
        {"'@' in a directory", at_path(pkg(flip(plain, 9000)), "v5@lab/pkg.qv"), check, 13,
         plus(lookup, invalid), msg_is(kNameRule)},
        {"the rule alone", at_path(pkg(plain), "@lab/pkg.qv"), rule, 13, lookup, msg_is(kNameRule)},
        {"the rpg file exempts", at_path(pkg(rpg), "v5@lab/rpg.qv"), check, 0, L(), msg_is(kOk)},
        {"exempt, then verified", at_path(pkg(flip(rpg, rpg.entryOffsets[2] + 400)), "v@/r.qv"),
         check, -1, L("check subfile unsuccess @P, " + crc + "\n\n"), msg_is(crc)},
        {"no '@': msg untouched", pkg(plain), rule, 0, lookup, msg_is("caller")},
        {"no '@', rpg: msg untouched", pkg(rpg), rule, 0, L(), msg_is("caller")},
        {"missing file with '@'", [](Sandbox &s) { s.pkg = s.dir.file("no@such.qv"); }, check, 13,
         plus(gone, invalid), msg_is(kNameRule)},
        {"missing file", missing(), check, -1, plus(gone, unmapped), msg_is("caller")},
        {"empty path", [](Sandbox &s) { s.pkg = ""; }, check, -1, plus(gone, unmapped),
         msg_is("caller")},
        {"6179 bytes", raw(Bytes(6179, 0)), check, -1,
         L("Read file @R unsuccess 6179 6180.\n\n", "Read QV file header unsuccess 2.\n\n",
           "Read QV header unsuccess.\n\n", kRpgAbsent,
           "Map file unsuccess @P, " + std::string(kShort) + "\n\n"),
         msg_is(kShort)},
        {"header CRC", pkg(with(plain, 6176, 1, false)), check, 11,
         L("Boot file CRC check not ok.\n\n", "Check QV header unsuccess 7.\n\n",
           "Read QV header unsuccess.\n\n", kRpgAbsent, "Boot file CRC check not ok.\n\n",
           "check subfile unsuccess @P, Check QV header fail! \n\n\n"),
         msg_is(kHeaderFail)},
        {"past the end", pkg(ent(plain, 1, 8, 5353)), check, 6,
         plus(lookup, L("check subfile unsuccess @P, " + std::string(kOut) + "\n\n")),
         msg_is(kOut)},
        {"extension", pkg(longExt), check, 0, L("File not found in package!\n\n", kRpgAbsent),
         msg_is(kOk)},
        {"extend sub-file, second chunk", pkg(flip(longExt, longExt.extOffsets[1] + 352 + big - 7)),
         check, -1,
         L("File not found in package!\n\n", kRpgAbsent,
           "check subfile unsuccess @P, " + extCrc + "\n\n"),
         msg_is(extCrc)},
    });
}

// Whole-read hints and the page feeder change only how pages come in, so
// they are checked where the kernel shows them: the mapping's VmFlags, and
// the pages a feed maps into the process.
TEST(Mapping, HintsAndFedPages) {
    constexpr std::size_t kMiB = 1u << 20, kPage = 4096, kSize = 8 * kMiB + 100;
    ScratchDir dir;
    const std::string path = dir.file("big.bin");
    write_file(path, pattern(kSize, 7));
    char msg[80] = "";
    const auto map = [&] { return rerazera::map_package(path.c_str(), msg, sizeof msg); };
    if (::access("/sys/kernel/mm/transparent_hugepage", F_OK) == 0) {
        const rerazera::Mapping m = map();
        ASSERT_TRUE(m) << msg;
        rerazera::advise_whole_read(m);
        EXPECT_NE(vm_flags(m.data()).find(" hg "), std::string::npos) << vm_flags(m.data());
    }
    // A feed maps every page it covers, clipped to the mapping, and nothing outside the 2 MiB
    // blocks it touches (the kernel maps neighbours of a faulted page, or a large folio whole).
    const auto down = [](std::size_t v, std::size_t unit) { return v / unit * unit; };
    const auto up = [&](std::size_t v, std::size_t unit) { return down(v + unit - 1, unit); };
    const struct {
        std::size_t from, n;
    } feeds[] = {{0, kMiB}, {2 * kMiB + 100, kMiB}, {4 * kMiB + 100, 0}, {8 * kMiB, kMiB}};
    for (const auto &feed : feeds) {
        const rerazera::Mapping m = map();
        ASSERT_TRUE(m) << msg;
        ASSERT_EQ(pages_mapped(m.data(), kSize), 0u);
        rerazera::PageFeeder(m).feed(m.data() + feed.from, feed.n);
        const std::size_t to = std::min(feed.from + feed.n, kSize);
        const std::size_t first = feed.n == 0 ? to : down(feed.from, kPage);
        const std::size_t fed = up(to, kPage) - first;
        EXPECT_EQ(pages_mapped(m.data() + first, fed), fed / kPage) << feed.from;
        const auto at = reinterpret_cast<std::uintptr_t>(m.data());  // blocks are by address
        const std::size_t block = std::max(down(at + feed.from, 2 * kMiB), at) - at;
        const std::size_t near =
            feed.n == 0 ? 0 : std::min(up(at + to, 2 * kMiB) - at, kSize) - block;
        EXPECT_EQ(pages_mapped(m.data(), kSize), pages_mapped(m.data() + block, near)) << feed.from;
    }
}

}  // namespace
