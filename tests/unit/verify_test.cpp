// The failure tables of mapped verification and the check entry: the
// mapping step, the walk's verdicts (sub-file tests, bounds, the
// extension), the exported extension check, and the one-call check with
// its name rule; code, message text and log lines, nothing left mapped.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "support/fixture.hpp"
#include "verify/mapping.hpp"

namespace {

using namespace rztest;
using Call = std::function<int(Sandbox &)>;

constexpr char kOk[] = "Info: System software CRC check OK!\n";
constexpr char kFailed[] = "Info: System software CRC check failed!\n";
constexpr char kOut[] = "File length is wrong, offset is out of file size.\n";
constexpr char kHeaderFail[] = "Check QV header fail! \n";
constexpr char kNameRule[] = "Info: V5 packet name can't contain character '@'!\n";
constexpr char kRpgAbsent[] = "[RERAZERA]Get rpg file info from QV header unsuccess! \n\n";
constexpr std::uint32_t kOffset = 4, kLength = 8, kCrc = 12;

std::function<void(Sandbox &)> msg_is(const std::string &text) {
    return [text](Sandbox &s) { EXPECT_EQ(s.msg, text); };
}
std::string failed(const std::string &first) {
    return first + kFailed;
}
Package ent(const Package &p, std::uint32_t i, std::uint32_t field, std::uint32_t v) {
    return with(p, Package::entry_field(i, field), v);
}
Package flip(Package p, std::size_t at, std::uint8_t bits = 1) {
    p.bytes[at] ^= bits;
    return p;
}
// Sets a bin header word and reseals that bin header.
Package bin(Package p, std::size_t subFile, std::size_t field, std::uint32_t v) {
    p.set_be32(subFile + field, v);
    p.reseal_bin_header(subFile);
    return p;
}
// Makes entry 255's payload CRC (the second table) right again.
Package reseal255(Package p) {
    const std::uint32_t len = p.be32(Package::entry_field(255, kLength)) - 352;
    return ent(p, 255, kCrc, rerazera::writer::crc16(p.bytes.data() + p.tableOffset, len));
}
Input at_path(Input in, const std::string &rel) {
    return [=](Sandbox &s) {
        s.pkg = s.dir.file(rel);
        ::mkdir(s.pkg.substr(0, s.pkg.rfind('/')).c_str(), 0700);
        in(s);
    };
}

// Six sub-files 0x10..0x15; the last ends exactly at the end of the file.
Package six_files() {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 6; ++i) {
        b.add(
            SubFile{0x10 + i, "f", "file", Bytes(100 + i * 37, static_cast<std::uint8_t>(i + 1))});
    }
    return b.build();
}

// 255 header sub-files of 16 bytes, the dummy, `ext` extend sub-files 0x1000 + i.
Package extended(std::uint32_t ext = 3) {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(SubFile{i + 1, "f", "file", Bytes(16, 0x5A)});
    }
    if (ext == 0) {
        b.with_empty_extension();
    }
    for (std::uint32_t i = 0; i < ext; ++i) {
        b.add_extend(SubFile{0x1000 + i, "x", "x", Bytes(1000, static_cast<std::uint8_t>(i))});
    }
    return b.build();
}

const Call walk = [](Sandbox &s) {
    return QVPKG_ChkSubFileInfo(s.image.data(), static_cast<std::uint32_t>(s.image.size()), s.msg,
                                sizeof s.msg);
};
const Call check = [](Sandbox &s) { return QVPKG_ChkQVFileInfo(s.p(), s.msg, sizeof s.msg); };

TEST(Tables, MappedVerification) {
    const Package six = six_files();
    const auto len = static_cast<std::uint32_t>(six.bytes.size());
    const Package ext = extended();
    const auto extLen = static_cast<std::uint32_t>(ext.bytes.size());
    const Call map = [](Sandbox &s) {
        std::uint32_t n = 777;
        std::uint8_t *base = QVPKG_MapQVFile(s.p(), &n, s.msg, sizeof s.msg);
        if (base == nullptr) {
            return n == 777 ? 1 : 98;
        }
        const bool whole = n == s.image.size() && std::memcmp(base, s.image.data(), n) == 0 &&
                           std::string(s.msg) == "caller";
        const int walked = QVPKG_ChkSubFileInfo(base, n, s.msg, sizeof s.msg);
        const bool unmapped =
            QVPKG_UnmapQVFile(base + 1, n) == -1 && QVPKG_UnmapQVFile(base, n) == 0;
        return whole && unmapped ? walked : 99;
    };
    const Call cut = [](Sandbox &s) {
        std::memset(s.msg, 'x', sizeof s.msg);
        const auto n = static_cast<std::uint32_t>(s.image.size());
        const int r = QVPKG_ChkSubFileInfo(s.image.data(), n, s.msg, 20);
        EXPECT_EQ(std::string(s.msg),
                  failed("file crc is not correct. fileID =0x14\n").substr(0, 19));
        EXPECT_EQ(s.msg[20], 'x');
        return r + QVPKG_ChkSubFileInfo(s.image.data(), n, s.msg, 1) + (s.msg[1] != 'i');
    };
    const auto huge = [](std::uint32_t length) -> Call {
        return [=](Sandbox &s) {
            const Bytes h =
                rerazera::writer::make_bin_header(SubFile{7, "", "", {}}, 0x80000000u, 7);
            const QVFileDesc d{7, 0, length, 0, 0, 0};
            return QVPKG_ChkSubfile(h.data(), &d, s.msg, sizeof s.msg);
        };
    };
    const Call extCheck = [](Sandbox &s) {
        Package p;
        p.bytes = s.image;
        const QVFileDesc e = entry(p, 255);
        return QVPKG_ChkQVExtFileInfo(s.image.data(), &e, s.msg, sizeof s.msg);
    };
    const Call overN = [&](Sandbox &s) {
        std::strcpy(s.msg, "before");
        return extCheck(s);
    };
    PackageBuilder plain;
    PackageBuilder tailB;
    for (std::uint32_t i = 0; i < 255; ++i) {
        plain.add(SubFile{i + 1, "f", "f", Bytes(4, 1)});
        tailB.add(SubFile{i + 1, "f", "f", Bytes(4, 1)});
    }
    const Package tail = tailB.add_raw(RawDesc{DUMMY_DESC_FILE_ID, 0, 0, 0, 0, 0}).build();
    run_rows({
        {"map, walk, unmap", pkg(six), map, 0, L(), msg_is(kOk)},
        {"bare header maps and passes", raw(Bytes(6180, 0)), map, 0, L(), msg_is(kOk)},
        {"missing path", [](Sandbox &s) { s.pkg = s.dir.file("missing.qv"); }, map, 1, L(),
         msg_is("caller")},
        {"6179 bytes", raw(Bytes(6179, 0)), map, 1, L(),
         msg_is("File length is wrong, less than header.\n")},
        {"empty file", raw({}), map, 1, L(), msg_is("File length is wrong, less than header.\n")},
        {"a socket", [](Sandbox &s) { make_socket(s.pkg); }, map, 1, L(),
         msg_is("open qv file fail! \n")},
        {"2 GiB", [](Sandbox &s) { sparse_file(s.pkg, {}, 1ull << 31); }, map, 1, L(),
         msg_is("move qv file offset fail! \n")},
        {"header CRC", pkg(with(six, 6176, six.be32(6176) ^ 1, false)), walk, 11,
         L("[RERAZERA]Boot file CRC check not ok.\n\n"), msg_is(kHeaderFail)},
        {"257 entries", pkg(with(six, 4, 257)), walk, 11,
         L("[RERAZERA]File is wrong, file num is over upper limit\n\n"), msg_is(kHeaderFail)},
        {"length 100", pkg(ent(six, 1, kLength, 100)), walk, -1, L(),
         msg_is(failed("File length is less than head size, 100\n"))},
        {"length 351", pkg(ent(six, 1, kLength, 351)), walk, -1, L(),
         msg_is(failed("File length is less than head size, 351\n"))},
        {"head CRC", pkg(flip(six, six.entryOffsets[1] + 200)), walk, -1, L(),
         msg_is(failed("head crc is not correct. fileID =0x11\n"))},
        {"head CRC upper bit",
         pkg(with(six, six.entryOffsets[1] + 4, six.be32(six.entryOffsets[1] + 4) | 0x10000,
                  false)),
         walk, -1, L(), msg_is(failed("head crc is not correct. fileID =0x11\n"))},
        {"payload byte", pkg(flip(six, six.entryOffsets[1] + 402, 0x80)), walk, -1, L(),
         msg_is(failed("file crc is not correct. fileID =0x11\n"))},
        {"payload CRC upper bit",
         pkg(ent(six, 1, kCrc, six.be32(Package::entry_field(1, kCrc)) | 0x10000)), walk, -1, L(),
         msg_is(failed("file crc is not correct. fileID =0x11\n"))},
        {"dataLen one past its sub-file", pkg(bin(six, six.entryOffsets[1], 340, 137 + 1)), walk,
         -1, L(), msg_is(failed("data length is over file length. fileID =0x11\n"))},
        {"last ends one past the file", pkg(ent(six, 5, kLength, len - six.entryOffsets[5] + 1)),
         walk, 6, L(), msg_is(kOut)},
        {"offset + length wraps", pkg(ent(ent(six, 2, kOffset, 0xFFFFFF00u), 2, kLength, 512)),
         walk, 6, L(), msg_is(kOut)},
        {"empty entry at the very end", pkg(ent(ent(six, 3, kLength, 0), 3, kOffset, len)), walk, 0,
         L(), msg_is(kOk)},
        {"empty entry one past", pkg(ent(ent(six, 3, kLength, 0), 3, kOffset, len + 1)), walk, 6,
         L(), msg_is(kOut)},
        {"first failure in table order",
         pkg(ent(flip(six, six.entryOffsets[2] + 100), 5, kOffset, 0x7FFFFFFF)), walk, -1, L(),
         msg_is(failed("head crc is not correct. fileID =0x12\n"))},
        {"bounds before a later test", pkg(ent(ent(six, 1, kOffset, 0x7FFFFFFF), 3, kLength, 10)),
         walk, 6, L(), msg_is(kOut)},
        {"bare bin header, crc 0", pkg(PackageBuilder().add(SubFile{0x42, "", "", {}}).build()),
         walk, 0, L(), msg_is(kOk)},
        {"bare bin header, crc 1",
         pkg(ent(PackageBuilder().add(SubFile{0x42, "", "", {}}).build(), 0, kCrc, 1)), walk, -1,
         L(), msg_is(failed("file crc is not correct. fileID =0x42\n"))},
        {"verdict cut to the buffer", pkg(flip(six, six.entryOffsets[4] + 352)), cut, -2, L()},
        {"dataLen 2^31 sums nothing", raw({}), huge(0xFFFFFFFFu), 0, L()},
        {"dataLen 2^31 past its sub-file", raw({}), huge(0x80000000u + 351), -1, L(),
         msg_is("data length is over file length. fileID =0x7\n")},
        {"extension", pkg(ext), walk, 0, L(), msg_is(kOk)},
        {"empty extension", pkg(extended(0)), walk, 0, L(), msg_is(kOk)},
        {"256 ordinary entries", pkg(PackageBuilder(plain).add(SubFile{256, "", "", {}}).build()),
         walk, 0, L()},
        {"corrupt extend sub-file", pkg(flip(ext, ext.extOffsets[2] + 352 + 999)), walk, -1, L(),
         msg_is(failed("file crc is not correct. fileID =0x1002\n"))},
        {"dummy fileId", pkg(bin(ext, ext.dummyOffset, 8, 0x12CD0000u)), walk, -1,
         L("[RERAZERA]This is not extend file: 9, [ext]The dummy bin fileID is wrong!\n\n\n"),
         msg_is(failed("[ext]The dummy bin fileID is wrong!\n"))},
        {"table CRC upper bit",
         pkg(reseal255(with(ext, ext.ext_entry_field(3, 0),
                            ext.be32(ext.ext_entry_field(3, 0)) | 0x10000, false))),
         walk, -1,
         L("[RERAZERA]2nd file desc is not ok: 7 [ext]The sub header file CRC is wrong\n\n\n"),
         msg_is(failed("[ext]The sub header file CRC is wrong\n"))},
        {"last extend sub-file one past the end", pkg([&] {
             Package p =
                 with(ext, ext.ext_entry_field(2, kLength), extLen - ext.extOffsets[2] + 1, false);
             p.reseal_table();
             return reseal255(p);
         }()),
         walk, 6, L(), msg_is(kOut)},
        {"table past the end", pkg(bin(ext, ext.dummyOffset, 16, 0xFFFFF)), walk, 6, L(),
         msg_is(kOut)},
        {"dummy header across the end",
         pkg(ent(tail, 255, kOffset, static_cast<std::uint32_t>(tail.bytes.size()) - 351)), walk, 6,
         L(), msg_is(kOut)},
        {"exported check, N = 0", pkg(extended(0)), extCheck, 0, L(), msg_is("caller")},
        {"exported check, extend sub-file", pkg(flip(ext, ext.extOffsets[0] + 400)), extCheck, -1,
         L(), msg_is("file crc is not correct. fileID =0x1000\n")},
        {"exported check, not the dummy", pkg(ent(ext, 255, 0, 0xABEF0000u)), extCheck, -1,
         L("[RERAZERA]This is not extend file: 4294967295, [ext]The 256th file is not dummy "
           "file!\n\n\n"),
         msg_is("[ext]The 256th file is not dummy file!\n")},
        {"exported check, N over the limit", pkg(bin(ext, ext.dummyOffset, 16, 0x100000)), overN, 9,
         L("[RERAZERA]File is wrong, file num is over upper limit\n\n",
           "[RERAZERA]This is not extend file: 9, before\n\n"),
         msg_is("before")},
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
    const Package plain = package(false);
    const Package rpg = package(true);
    const Package corrupt = flip(plain, plain.entryOffsets[1] + 400);
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(SubFile{i + 1, "f", "f", {static_cast<std::uint8_t>(i)}});
    }
    const std::size_t big = rerazera::PageFeeder::kChunk + 12345;  // summed in two chunks
    const Package longExt = b.add_extend(SubFile{0x7001, "x", "x", Bytes(4000, 3)})
                                .add_extend(SubFile{0x7002, "y", "y", pattern(big, 4)})
                                .build();
    const Call rule = [](Sandbox &s) { return QVPKG_CheckFilename(s.p(), s.msg, sizeof s.msg); };
    const std::string walkFailed = "[RERAZERA]check subfile unsuccess @P, ";
    const Lines lookup{"[RERAZERA]file number less than 256, no extend subfiles!\n\n",
                       "[RERAZERA]File not found in package!\n\n", kRpgAbsent};
    const Lines gone{"[RERAZERA]Get @P's realpath unsuccess.\n\n",
                     "[RERAZERA]Read QV file header unsuccess 4.\n\n",
                     "[RERAZERA]Read QV header unsuccess.\n\n", kRpgAbsent};
    const auto plus = [](Lines lines, const std::string &line) {
        lines.push_back(line);
        return lines;
    };
    const std::string crcLine = failed("file crc is not correct. fileID =0x11\n");
    const std::string extLine = failed("file crc is not correct. fileID =0x7002\n");
    const std::string shortText = "File length is wrong, less than header.\n";
    const Input missing = [](Sandbox &s) { s.pkg = s.dir.file("missing.qv"); };
    run_rows({
        {"valid, without the rpg file", pkg(plain), check, 0, lookup, msg_is(kOk)},
        {"valid, with it", pkg(rpg), check, 0, L(), msg_is(kOk)},
        {"'@' in a directory", at_path(pkg(corrupt), "v5@lab/pkg.qv"), check, 13,
         plus(lookup, "[RERAZERA]Invalid file name @P\n\n"), msg_is(kNameRule)},
        {"the rule alone", at_path(pkg(corrupt), "@lab/pkg.qv"), rule, 13, lookup,
         msg_is(kNameRule)},
        {"the rpg file exempts", at_path(pkg(rpg), "v5@lab/rpg.qv"), check, 0, L(), msg_is(kOk)},
        {"exempt, then verified",
         at_path(pkg(flip(rpg, rpg.entryOffsets[2] + 400)), "v5@lab/rpg.qv"), check, -1,
         L(walkFailed + crcLine + "\n\n"), msg_is(crcLine)},
        {"no '@': msg untouched", pkg(plain), rule, 0, lookup, msg_is("caller")},
        {"no '@', rpg: msg untouched", pkg(rpg), rule, 0, L(), msg_is("caller")},
        {"missing file with '@'", [](Sandbox &s) { s.pkg = s.dir.file("no@such.qv"); }, check, 13,
         plus(gone, "[RERAZERA]Invalid file name @P\n\n"), msg_is(kNameRule)},
        {"missing file", missing, check, -1,
         plus(gone, "[RERAZERA]Map file unsuccess @P, caller\n\n"), msg_is("caller")},
        {"empty path", [](Sandbox &s) { s.pkg = ""; }, check, -1,
         plus(gone, "[RERAZERA]Map file unsuccess @P, caller\n\n"), msg_is("caller")},
        {"6179 bytes", raw(Bytes(6179, 0)), check, -1,
         L("[RERAZERA]Read file @R unsuccess 6179 6180.\n\n",
           "[RERAZERA]Read QV file header unsuccess 2.\n\n",
           "[RERAZERA]Read QV header unsuccess.\n\n", kRpgAbsent,
           "[RERAZERA]Map file unsuccess @P, " + shortText + "\n\n"),
         msg_is(shortText)},
        {"header CRC", pkg(with(plain, 6176, plain.be32(6176) ^ 0x40, false)), check, 11,
         L("[RERAZERA]Boot file CRC check not ok.\n\n",
           "[RERAZERA]Check QV header unsuccess 7.\n\n", "[RERAZERA]Read QV header unsuccess.\n\n",
           kRpgAbsent, "[RERAZERA]Boot file CRC check not ok.\n\n",
           walkFailed + kHeaderFail + "\n\n"),
         msg_is(kHeaderFail)},
        {"past the end", pkg(ent(plain, 1, kLength, plain.be32(Package::entry_field(1, 8)) + 1)),
         check, 6, plus(lookup, walkFailed + kOut + "\n\n"), msg_is(kOut)},
        {"extension", pkg(longExt), check, 0,
         L("[RERAZERA]File not found in package!\n\n", kRpgAbsent), msg_is(kOk)},
        {"corrupt extend sub-file, second chunk",
         pkg(flip(longExt, longExt.extOffsets[1] + 352 + big - 7, 0x10)), check, -1,
         L("[RERAZERA]File not found in package!\n\n", kRpgAbsent, walkFailed + extLine + "\n\n"),
         msg_is(extLine)},
    });
}

}  // namespace
