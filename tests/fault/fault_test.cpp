// SPDX-License-Identifier: MIT
// Faults the library cannot provoke itself: every allocation failing in
// turn, reads and seeks failing or coming back short, files of 2 GiB and
// more (sparse), and descriptor 0 handed out by open(). Each call must end
// with its code and log lines and give back everything it took.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "inject.h"
#include "support/fixture.hpp"

namespace {

using namespace rztest;

constexpr char kHeaderMalloc[] = "Malloc buffer unsuccess.\n\n";
constexpr char kReadHeader[] = "Read QV header unsuccess.\n\n";
constexpr char kNotFound[] = "File not found in package!\n\n";
constexpr char kSubfile[] = "Get subfile from @P not success! \n\n";
constexpr char kRpgAbsent[] = "Get rpg file info from QV header unsuccess! \n\n";
constexpr char kLookup[] = "Get file info from QV header not success! \n\n";
constexpr char kTableMalloc[] = "Malloc buffer not success! \n\n";
constexpr char kCantAlloc[] = "Can't alloc memory.\n\n";

// A package whose rpg file only the extension lists.
Package rpg_package() {
    PackageBuilder b;
    b.add(SubFile{0x10, "boot.bin", "boot", Bytes(40, 1)});
    for (std::uint32_t i = 1; i < 255; ++i) {
        b.add_raw(RawDesc{0x100 + i, QVPKG_HEADER_SIZE, 0, 0, 0, 0});
    }
    return b.add_extend(SubFile{0x5000, "e0", "e0", {1}})
        .add_extend(SubFile{kRpg, "r", "r", {2}})
        .build();
}

// Fails the allocations of a call one after another: each run must give
// back every block, mapping and descriptor; run k ends as expected[k - 1]
// (the last entry stands for the later runs too).
using Expected = std::pair<int, Lines>;
Expected E(int code, Lines lines) {
    return {code, std::move(lines)};
}

template <class... T>
std::vector<Expected> Es(T... e) {
    return {e...};
}

struct Sweep {
    const char *name;
    Input input;
    Call call;
    unsigned allocations;
    std::vector<Expected> expected;
};

TEST(Faults, EveryAllocationFailsInTurn) {
    const Package three = three_files();
    const Package rpg = rpg_package();
    const Input at = [&](Sandbox &s) {
        s.pkg = s.dir.file("pkg@v5.qv");
        s.put(PackageBuilder()
                  .add(SubFile{0x10, "a", "a", Bytes(100, 1)})
                  .add(SubFile{kRpg, "r", "r", {1, 2}})
                  .build()
                  .bytes);
    };
    const Input bin = raw(bin_file(Bytes(500, 3), 500));
    const Call table = [&](Sandbox &s) {
        const QVFileDesc e{DUMMY_DESC_FILE_ID, rpg.dummyOffset, 0, 0, 0, 0};
        void *t = QVPKG_Get2ndFileDescContent(
            s.p(), &e, reinterpret_cast<const BinHeader *>(rpg.bytes.data() + rpg.dummyOffset));
        std::free(t);
        return t != nullptr ? 0 : 1;
    };
    const std::vector<Sweep> sweeps = {
        {"header", pkg(three),
         [](Sandbox &s) {
             QVHeader *h = QVPKG_GetQVHeader(s.p());
             std::free(h);
             return h != nullptr ? 0 : 1;
         },
         1, Es(E(1, L(kHeaderMalloc)))},
        {"product type", pkg(three),
         [](Sandbox &s) {
             std::uint32_t type = 77;
             const int r = QVPKG_ExtractProductTypeFromQV(s.p(), &type);
             return r != 0 && type != 77 ? 1000 : r;
         },
         1, Es(E(3, L("get product type malloc unsuccess.\n")))},
        {"mapping", pkg(three),
         [](Sandbox &s) {
             std::uint32_t len = 5;
             std::uint8_t *map = QVPKG_MapQVFile(s.p(), &len, s.msg, sizeof s.msg);
             if (map != nullptr) {
                 return QVPKG_UnmapQVFile(map, len);
             }
             return len == 5 && std::string(s.msg) == "Mmap Device space fail\n" ? 1 : 1000;
         },
         1, Es(E(1, L()))},
        {"ID lookup through the extension", pkg(rpg),
         [](Sandbox &s) { return QVPKG_GetQVFileInfo(s.p(), &s.info, RPG_FILE_ID); }, 3,
         Es(E(11, L(kHeaderMalloc, kReadHeader)),
            E(11, L(kHeaderMalloc, "Get QV header from @P unsuccess.\n\n", kNotFound)),
            E(1, L(kTableMalloc, kSubfile, kNotFound)))},
        {"rpg check", pkg(rpg), [](Sandbox &s) { return QVPKG_ChkqvTypeFromRpg(s.p()); }, 3,
         Es(E(-1, L(kHeaderMalloc, kReadHeader, kRpgAbsent)),
            E(-1, L(kHeaderMalloc, "Get QV header from @P unsuccess.\n\n", kNotFound, kRpgAbsent)),
            E(-1, L(kTableMalloc, kSubfile, kNotFound, kRpgAbsent)))},
        {"table reader", pkg(rpg), table, 1, Es(E(1, L(kTableMalloc)))},
        {"bin header scan", pkg(rpg),
         [](Sandbox &s) { return QVPKG_GetQVFileInfoByName(s.p(), &s.info, "boot.bin"); }, 2,
         Es(E(11, L(kHeaderMalloc, kReadHeader)), E(3, L("Malloc file header unsuccess.\n\n")))},
        {"check entry", at,
         [](Sandbox &s) { return QVPKG_ChkQVFileInfo(s.p(), s.msg, sizeof s.msg); }, 2,
         // The package is mapped before the name rule's lookup reads it.
         Es(E(-1, L("Map file unsuccess @P, Mmap Device space fail\n\n\n")),
            E(13, L(kHeaderMalloc, kReadHeader, kRpgAbsent, "Invalid file name @P\n\n")))},
        {"range", pkg(three),
         [&](Sandbox &s) {
             return QVPKG_ExtractSubFile(
                 s.p(), s.o(), static_cast<std::int32_t>(three.entryOffsets[0]), 452, 0600);
         },
         1, Es(E(3, L(kCantAlloc)))},
        {"by ID", pkg(three),
         [](Sandbox &s) { return QVPKG_ExtractFileFromQV(s.p(), s.o(), 0x10); }, 2,
         Es(E(11, L(kHeaderMalloc, kReadHeader, kLookup)), E(3, L(kCantAlloc)))},
        {"bin file", bin,
         [](Sandbox &s) {
             std::uint32_t len = 7;
             std::uint8_t *image = QVPKG_ReadBinFile(s.p(), &len);
             std::free(image);
             return image != nullptr ? 0 : len == 7 ? 1 : 1000;
         },
         1, Es(E(1, L("out of memory 852.\n")))},
        {"strip", bin, [](Sandbox &s) { return QVPKG_StripBinHeader(s.p(), s.o()); }, 1,
         Es(E(2, L("out of memory 852.\n")))},
    };
    for (const Sweep &sweep : sweeps) {
        for (unsigned k = 0; k <= sweep.allocations; ++k) {
            SCOPED_TRACE(std::string(sweep.name) + ", allocation " + std::to_string(k));
            Sandbox s;
            sweep.input(s);
            s.log.clear();
            alloc_fault_arm(k, 0);
            const int r = sweep.call(s);
            const alloc_report report = alloc_fault_disarm();
            EXPECT_EQ(report.live, 0u) << "heap blocks leaked";
            EXPECT_EQ(report.live_mapped, 0u) << "mapped bytes leaked";
            if (k == 0) {
                EXPECT_EQ(report.count, sweep.allocations);
                EXPECT_EQ(r, 0);
                continue;
            }
            const auto &[code, lines] =
                sweep.expected[std::min<std::size_t>(k, sweep.expected.size()) - 1];
            EXPECT_EQ(report.failed, 1u);
            EXPECT_EQ(r, code);
            EXPECT_EQ(s.log.lines(), s.expand(lines));
            EXPECT_TRUE(same(s.info, kUntouched));
            EXPECT_FALSE(file_exists(s.out));
        }
    }
}

TEST(Faults, LargeStagingNeedsMappingAndHeapToFail) {
    Sandbox s;
    // Exactly 2 MiB to stage: the smallest range that is mapped.
    const Package big =
        PackageBuilder().add(SubFile{0x20, "l", "l", Bytes((2u << 20) - 352, 2)}).build();
    s.put(big.bytes);
    const auto len = static_cast<std::uint32_t>(big.bytes.size() - 6180);
    alloc_fault_arm(1, 0);  // the mapping fails: the heap takes over
    EXPECT_EQ(QVPKG_ExtractSubFile(s.p(), s.o(), 6180, len, 0600), 0);
    alloc_report r = alloc_fault_disarm();
    EXPECT_EQ(r.count, 2u);
    EXPECT_EQ(r.live + r.live_mapped, 0u);
    EXPECT_EQ(read_file(s.out), slice(big.bytes, 6180, len));
    alloc_fault_arm(1, 1);  // both fail
    EXPECT_EQ(QVPKG_ExtractSubFile(s.p(), s.dir.file("o2").c_str(), 6180, len, 0600), 3);
    r = alloc_fault_disarm();
    EXPECT_EQ(r.failed, 2u);
    EXPECT_EQ(r.live + r.live_mapped, 0u);
    EXPECT_FALSE(file_exists(s.dir.file("o2")));
    alloc_fault_arm(0, 0);  // a mapped staging buffer is trimmed and released whole
    EXPECT_EQ(QVPKG_ExtractSubFile(s.p(), s.dir.file("o3").c_str(), 6180, len, 0600), 0);
    r = alloc_fault_disarm();
    EXPECT_EQ(r.live + r.live_mapped, 0u);
    // The injector sees what the library hands out until the caller releases it.
    alloc_fault_arm(0, 0);
    QVHeader *h = QVPKG_GetQVHeader(s.p());
    std::uint32_t n = 0;
    std::uint8_t *map = QVPKG_MapQVFile(s.p(), &n, s.msg, sizeof s.msg);
    r = alloc_fault_disarm();
    EXPECT_EQ(r.live, 1u);
    EXPECT_EQ(r.live_mapped, n);
    std::free(h);
    EXPECT_EQ(QVPKG_UnmapQVFile(map, n), 0);
}

// Runs call with the n-th read (or seek) of the library failing as told.
Call io(unsigned nthRead, unsigned nthSeek, io_fault what, Call call, unsigned nthOpen = 0) {
    return [=](Sandbox &s) {
        io_fault_arm(nthRead, nthSeek, nthOpen, what);
        const int r = call(s);
        io_fault_disarm();
        return r;
    };
}

TEST(Faults, ReadsAndSeeksThatFail) {
    const Package wide = long_ext(20000);  // the table comes in three pieces
    const std::string size = std::to_string(36 + 20000 * 24);
    const Call find = [&](Sandbox &s) {
        const int r = QVPKG_GetQVExtFileInfo(s.p(), &s.info, 0x100000 + 19999);
        return r == 0 && !same(s.info, entry(wide, 19999, true)) ? 99 : r;
    };
    const Call readAt = [](Sandbox &s) {
        std::uint8_t buf[4];
        return QVPKG_ReadFileByOffset(s.p(), 0, buf, 4);
    };
    const Call strip = [](Sandbox &s) { return QVPKG_StripBinHeader(s.p(), s.o()); };
    const Call type = [](Sandbox &s) {
        std::uint32_t t = 0;
        return QVPKG_ExtractProductTypeFromQV(s.p(), &t);
    };
    const Call map = [](Sandbox &s) {
        std::uint32_t n = 0;
        return QVPKG_MapQVFile(s.p(), &n, s.msg, sizeof s.msg) == nullptr ? 1 : 0;
    };
    const Input bin = raw(bin_file(Bytes(500, 3), 500));
    // Reads: the header, the dummy header, then the table's pieces.
    run_rows({
        {"table read interrupted", pkg(wide), io(3, 0, IO_EINTR, find), 0, L()},
        {"table read short", pkg(wide), io(3, 0, IO_SHORT, find), 0, L()},
        // An interrupted read leaves errno at EINTR; the end of the file after
        // it is still the end, not another interruption.
        {"table interrupted, then the file ends",
         raw(slice(wide.bytes, 0, wide.tableOffset + 200000)), io(3, 0, IO_EINTR, find), 1,
         L("Read file @R unsuccess 200000 " + size + ".\n\n", kSubfile, kSubfile)},
        {"table read fails at once", pkg(wide), io(3, 0, IO_EIO, find), 1,
         L("Read file @R unsuccess -1 " + size + ".\n\n", kSubfile, kSubfile)},
        {"table read fails later", pkg(wide), io(4, 0, IO_EIO, find), 1,
         L("Read file @R unsuccess 196640 " + size + ".\n\n", kSubfile, kSubfile)},
        {"table open fails", pkg(wide), io(0, 0, IO_EIO, find, 3), 1,
         L("Can't open file @R.\n\n", kSubfile, kSubfile)},
        {"table seek fails", pkg(wide), io(0, 3, IO_EIO, find), 1,
         L("seek file @R unsuccess " + std::to_string(wide.tableOffset) + ", errno(5)\n\n",
           kSubfile, kSubfile)},
        {"positioned read fails", pkg(wide), io(1, 0, IO_EIO, readAt), 2,
         L("Read file @R unsuccess -1 4.\n\n")},
        {"positioned seek fails", pkg(wide), io(0, 1, IO_EIO, readAt), 2,
         L("seek file @R unsuccess 0, errno(5)\n\n")},
        {"product type read fails", pkg(wide), io(1, 0, IO_EIO, type), 2,
         L("read pkg header unsuccess, ret 0xffffffff err 0x5\n")},
        {"mapping seek fails", pkg(wide), io(0, 1, IO_EIO, map), 1, L(),
         [](Sandbox &s) { EXPECT_STREQ(s.msg, "move qv file offset fail! \n"); }},
        {"bin file seek to the end", bin, io(0, 1, IO_EIO, strip), 2,
         L("move @P offset to end unsuccess 5.\n")},
        {"bin file seek to the start", bin, io(0, 2, IO_EIO, strip), 2,
         L("move @P offset to beginning unsuccess 5.\n")},
        {"bin file read fails", bin, io(1, 0, IO_EIO, strip), 2,
         L("read from @P unsuccess -1 852.\n")},
        {"bin file read short", bin, io(1, 0, IO_SHORT, strip), 2,
         L("read from @P unsuccess 100 852.\n")},
    });
}

TEST(Faults, FilesOf2GiBAndMore) {
    const Package three = three_files();
    const Call map = [](Sandbox &s) {
        std::uint32_t n = 5;
        std::uint8_t *base = QVPKG_MapQVFile(s.p(), &n, s.msg, sizeof s.msg);
        if (base == nullptr) {
            return n == 5 ? 1 : 98;
        }
        const int r = n == INT32_MAX ? QVPKG_ChkSubFileInfo(base, n, s.msg, sizeof s.msg) : 99;
        QVPKG_UnmapQVFile(base, n);
        return r;
    };
    const auto sparse = [&](const Bytes &head, std::uint64_t size) -> Input {
        return [=](Sandbox &s) { sparse_file(s.pkg, head, size); };
    };
    const Call strip = [](Sandbox &s) {
        alloc_fault_arm(1, 0);  // the image of 2 GiB - 1 would be read whole
        const int r = QVPKG_StripBinHeader(s.p(), s.o());
        alloc_fault_disarm();
        return r;
    };
    const Call longRange = [](Sandbox &s) {
        return QVPKG_ExtractSubFile(s.p(), s.o(), 0, 0x80000000u, 0600);
    };
    run_rows({
        {"package of 2 GiB - 1 maps", sparse(three.bytes, INT32_MAX), map, 0, L(),
         [](Sandbox &s) { EXPECT_STREQ(s.msg, "Info: System software CRC check OK!\n"); }},
        {"package of 4 GiB + 6180", sparse(three.bytes, (1ull << 32) + 6180), map, 1, L(),
         [](Sandbox &s) { EXPECT_STREQ(s.msg, "move qv file offset fail! \n"); }},
        {"bin file of 2 GiB - 1 is read", sparse(bin_file({}, 0), INT32_MAX), strip, 2,
         L("out of memory 2147483647.\n")},
        {"bin file of 2 GiB + 10", sparse(bin_file({}, 0), (1ull << 31) + 10), strip, 2,
         L("move @P offset to end unsuccess 75.\n")},
        {"a length of 2^31", pkg(three), longRange, 2,
         L("Read file @R unsuccess " + std::to_string(three.bytes.size()) + " 2147483648.\n\n",
           kSubfile)},
    });
    // A payload of exactly 2^31 - 1 bytes is summed: its CRC is not that of
    // no bytes.
    const std::size_t size = 352 + std::size_t{INT32_MAX};
    void *m = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(m, MAP_FAILED);
    auto *p = static_cast<std::uint8_t *>(m);
    const Bytes h = rerazera::writer::make_bin_header(SubFile{7, "", "", {}}, INT32_MAX, 7);
    std::memcpy(p, h.data(), h.size());
    p[352] = 1;
    const QVFileDesc d{7, 0, static_cast<std::uint32_t>(size), 0, 0, 0};
    char msg[64] = "";
    EXPECT_EQ(QVPKG_ChkSubfile(p, &d, msg, sizeof msg), QVPKG_ERR);
    EXPECT_STREQ(msg, "file crc is not correct. fileID =0x7\n");
    ::munmap(m, size);
}

// With standard input closed, open() hands out descriptor 0: a valid one.
TEST(Faults, DescriptorZeroIsValid) {
    Sandbox s;
    s.put(three_files().bytes);
    const std::string bin = s.dir.file("in.bin");
    write_file(bin, bin_file(Bytes(10, 1), 10));
    in_child([&]() -> std::string {
        ::close(0);
        std::uint8_t buf[4];
        std::uint32_t n = 0;
        if (QVPKG_ReadFileByOffset(s.p(), 0, buf, 4) != 0 ||
            QVPKG_ExtractProductTypeFromQV(s.p(), &n) != 0 ||
            QVPKG_StripBinHeader(bin.c_str(), s.o()) != 0 ||
            QVPKG_ExtractSubFile(s.p(), s.o(), 0, 100, 0600) != 0) {
            return "a call refused descriptor 0";
        }
        std::uint8_t *map = QVPKG_MapQVFile(s.p(), &n, s.msg, sizeof s.msg);
        if (map == nullptr || QVPKG_UnmapQVFile(map, n) != 0) {
            return "mapping refused descriptor 0";
        }
        return ::fcntl(0, F_GETFD) == -1 ? "" : "descriptor 0 left open";
    });
}

}  // namespace
