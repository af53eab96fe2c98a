// SPDX-License-Identifier: MIT
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/heap_buffer.hpp"
#include "output/staging_buffer.hpp"
#include "support/fixture.hpp"

namespace {

using namespace rztest;

constexpr char kLookup[] = "Get file info from QV header not success! \n\n";
constexpr char kSubfile[] = "Get subfile from @P not success! \n\n";
constexpr char kRealpath[] = "Get @P's realpath unsuccess.\n\n";
constexpr char kOpen[] = "Can't open file @O!\n\n";

Input out_at(Input in, const std::string &rel, bool mkdirs = false) {
    return [=](Sandbox &s) {
        in(s);
        if (mkdirs)
            ::mkdir(s.dir.file("sub").c_str(), 0700);
        s.out = rel.empty() ? s.dir.path() + "/" : rel[0] == '/' ? rel : s.dir.file(rel);
    };
}
Check holds(const Bytes &bytes, unsigned mode) {
    return [=](Sandbox &s) {
        EXPECT_EQ(read_file(s.out), bytes);
        EXPECT_EQ(file_mode(s.out), mode);
    };
}
Call sub(std::int32_t offset, std::uint32_t len, std::uint32_t mode = 0644) {
    return [=](Sandbox &s) { return QVPKG_ExtractSubFile(s.p(), s.o(), offset, len, mode); };
}
Call by_id(std::uint32_t id, std::uint32_t mode = 0) {
    return [=](Sandbox &s) {
        return mode == 0 ? QVPKG_ExtractFileFromQV(s.p(), s.o(), int(id))
                         : QVPKG_ExtractFileFromQVExt(s.p(), s.o(), int(id), mode);
    };
}
Call by_name(std::uint32_t mode = 0660) {
    return [=](Sandbox &s) { return QVPKG_ExtractFileByName(s.p(), s.o(), mode); };
}
Call capped(Call call, const std::string &line) {
    return [=](Sandbox &s) {
        in_child([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1000, 1000};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            const int r = call(s);
            const Lines log = s.log.lines();
            const bool ok = r == QVPKG_ERR_IO && log == s.expand(L(line));
            return ok ? std::string() : std::to_string(r) + (log.empty() ? "" : " " + log[0]);
        });
        return QVPKG_ERR_IO;
    };
}

TEST(Tables, Extraction) {
    const Package three = three_files();
    const Package ext = ext_package();
    const auto at = [&](std::uint32_t i) { return std::int32_t(three.entryOffsets[i]); };
    const auto size = static_cast<std::uint32_t>(three.bytes.size());
    const Bytes kernel = slice(three.bytes, three.entryOffsets[1], 352 + 5000);
    const Bytes boot = slice(three.bytes, three.entryOffsets[0], 352 + 100);
    const Package odd = PackageBuilder()
                            .add(SubFile{0x10, "boot.bin", "bootloader", pattern(100, 1)})
                            .add_raw(RawDesc{0x11, 6180, 0})
                            .add_raw(RawDesc{0x12, 6180, 100})
                            .add_raw(RawDesc{0x13, 6180, 1u << 20})
                            .build();
    const Package oddBad = with(odd, odd.entryOffsets[0] + 4, 0xDEAD, false);  // headCrc
    const Package big = PackageBuilder().add(SubFile{1, "big", "", pattern(5u << 20, 9)}).build();
    const Lines missingById = L(kRealpath, "Read QV file header unsuccess 4.\n\n",
                                "Read QV header unsuccess.\n\n", kLookup);
    const Check stripped = [](Sandbox &s) {
        const std::string payload = s.dir.file("payload");
        ASSERT_EQ(QVPKG_StripBinHeader(s.o(), payload.c_str()), QVPKG_OK);
        EXPECT_EQ(read_file(payload), pattern(5000, 2));
    };
    const Check existing = [&](Sandbox &s) {
        ASSERT_EQ(::chmod(s.o(), 0600), 0);
        EXPECT_EQ(by_id(0x10, 0777)(s), 0);
        EXPECT_EQ(file_mode(s.o()), 0600u);  // an existing file keeps its bits
        EXPECT_EQ(read_file(s.o()), boot);
    };
    const Check strict = [&](Sandbox &s) {
        UmaskScope mask(027);
        ::unlink(s.o());
        EXPECT_EQ(by_id(0x10)(s), 0);
        EXPECT_EQ(file_mode(s.o()), 0640u & ~027u);
    };
    const Call cwd = [](Sandbox &s) {
        const std::string here = std::filesystem::current_path();
        EXPECT_EQ(::chdir(s.dir.file("sub").c_str()), 0);
        const int r = QVPKG_ExtractFileByName(s.p(), "rootfs.img", 0600);
        EXPECT_EQ(::chdir(here.c_str()), 0);
        s.out = s.dir.file("sub/rootfs.img");
        return r;
    };
    run_rows({
        {"a range with its bin header", pkg(three), sub(at(1), 352 + 5000), 0, L(),
         [&](Sandbox &s) { holds(kernel, 0644)(s), stripped(s); }},
        {"len 0", missing(), sub(0, 0), 12, L("Input len is invalid(0).\n\n")},
        {"one byte past the end", pkg(three), sub(6180, size - 6180 + 1), 2,
         L("Read file @R unsuccess " + std::to_string(size - 6180) + " " +
               std::to_string(size - 6179) + ".\n\n",
           kSubfile)},
        {"past the end", pkg(three), sub(static_cast<std::int32_t>(size), 10), 2,
         L("Read file @R unsuccess 0 10.\n\n", kSubfile)},
        {"at 2^31", pkg(three), sub(INT32_MIN, 10), 2,
         L("seek file @R unsuccess 2147483648, errno(22)\n\n", kSubfile)},
        {"missing package", missing(), sub(0, 10), 4, L(kRealpath, kSubfile)},
        {"output in a missing directory", out_at(pkg(three), "no/such/out"), sub(0, 100), 2,
         L(kOpen), nullptr, true},
        {"output is a directory", out_at(pkg(three), ""), sub(0, 100), 2, L(kOpen), nullptr, true},
        {"output is a socket", [&](Sandbox &s) { pkg(three)(s), make_socket(s.out); }, sub(0, 100),
         2, L(kOpen), nullptr, true},
        {"output on a full device", out_at(pkg(three), "/dev/full"), sub(0, 100), 2,
         L("Write subfile /dev/full not success! \n\n"), nullptr, true},
        {"write cut short", pkg(three), capped(sub(0, 4000), "Write subfile @O not success! \n\n"),
         2, L(), [&](Sandbox &s) { EXPECT_EQ(read_file(s.out), slice(three.bytes, 0, 1000)); },
         true},
        {"large range, unaligned", pkg(big), sub(4097, (5u << 20) + 300), 0, L(),
         [&](Sandbox &s) {
             EXPECT_EQ(read_file(s.out), slice(big.bytes, 4097, (5u << 20) + 300));
         }},
        {"by ID, 0640", pkg(three), by_id(0x20), 0, L(), holds(kernel, 0640)},
        {"by ID, 0640 less the umask", pkg(three), by_id(0x20), 0, L(), strict},
        {"by ID, the caller's mode", pkg(three), by_id(0x30, 0604), 0, L(),
         [&](Sandbox &s) { holds(slice(three.bytes, at(2), 3352), 0604)(s), existing(s); }},
        {"an extend sub-file", pkg(ext), by_id(0x5001), 0, L(),
         holds(slice(ext.bytes, ext.extOffsets[1], 352 + 4), 0640)},
        {"the dummy bin file", pkg(ext), by_id(DUMMY_DESC_FILE_ID), 0, L(),
         holds(slice(ext.bytes, ext.dummyOffset, 352 + 36 + 3 * 24), 0640)},
        {"nowhere", pkg(ext), by_id(0x7777), -1, L("File not found in package!\n\n", kLookup)},
        {"missing package by ID", missing(), by_id(0x10), 11, missingById},
        {"no extension", pkg(three), by_id(0x40, 0600), 8,
         L("file number less than 256, no extend subfiles!\n\n", "File not found in package!\n\n",
           kLookup)},
        {"length below 352, copied as it stands", pkg(oddBad), by_id(0x12), 0, L(),
         holds(slice(oddBad.bytes, 6180, 100), 0640)},
        {"empty entry", pkg(odd), by_id(0x11), 12, L("Input len is invalid(0).\n\n")},
        {"entry past the end", pkg(odd), by_id(0x13), 2,
         L("Read file @R unsuccess " + std::to_string(odd.bytes.size() - 6180) + " 1048576.\n\n",
           kSubfile)},
        {"out = package", out_at(pkg(three), "pkg.qv"), by_id(0x20), 0, L(), holds(kernel, 0644)},
        {"by name", out_at(pkg(three), "sub/kernel.bin", true), by_name(), 0, L(),
         holds(kernel, 0640)},
        {"by name in the working directory", out_at(pkg(three), "x", true), cwd, 0, L(),
         holds(slice(three.bytes, at(2), 3352), 0600)},
        {"name ends in '/'", out_at(pkg(ext), ""), by_name(), 12, L("invalid argument: @O.\n\n"),
         nullptr, true},
        {"'/' before the package is opened", out_at(missing(), "/"), by_name(), 12,
         L("invalid argument: /.\n\n"), nullptr, true},
        {"an extend sub-file's name", out_at(pkg(ext), "e1"), by_name(), 14, L(kLookup)},
        {"missing package by name", missing(), by_name(), 11, missingById},
    });
    for (const char *path : {"/tmp/dir/app.bin", "app.bin"})
        EXPECT_EQ(QVPKG_GetNameFromPath(path), path + std::strlen(path) - 7) << path;
    EXPECT_EQ(QVPKG_GetNameFromPath(""), std::string());
    EXPECT_STREQ(QVPKG_GetNameFromPath("a/.."), "..");
    EXPECT_EQ(QVPKG_GetNameFromPath("/"), nullptr);
    EXPECT_EQ(QVPKG_GetNameFromPath("dir//"), nullptr);
}

TEST(Tables, Stripping) {
    const Bytes payload = pattern(500, 9);
    const Call strip = [](Sandbox &s) { return QVPKG_StripBinHeader(s.p(), s.o()); };
    const Call self = [](Sandbox &s) { return QVPKG_StripBinHeader(s.p(), s.p()); };
    Bytes crcWrong = bin_file(pattern(1000, 3), 900, 40);
    crcWrong[4] ^= 0xFF;  // never looked at
    const Bytes large = pattern((6u << 20) + 5, 11);
    const Call whole = [](Sandbox &s) {
        std::uint32_t len = 0;
        std::uint8_t *image = QVPKG_ReadBinFile(s.p(), &len);
        const bool ok = image && len == s.image.size() && !std::memcmp(image, s.image.data(), len);
        const int r =
            !ok ? 99
                : QVPKG_CheckBinHeader(image, len) * 10 + QVPKG_WriteBuf2File(s.o(), image, 352, 5);
        std::free(image);
        return r;
    };
    const Call short_buffer = [](Sandbox &) {
        auto *small = static_cast<std::uint8_t *>(std::calloc(100, 1));
        const int r = QVPKG_CheckBinHeader(small, 100) * 10 + QVPKG_CheckBinHeader(small, 0);
        std::free(small);
        return r;
    };
    const Check strict = [](Sandbox &s) {
        UmaskScope mask(077);
        ::unlink(s.o());
        EXPECT_EQ(QVPKG_StripBinHeader(s.p(), s.o()), 0);
        EXPECT_EQ(file_mode(s.o()), 0700u);
    };
    const auto sparse = [](std::uint64_t size) -> Input {
        return [=](Sandbox &s) { sparse_file(s.pkg, bin_file({}, 0), size); };
    };
    const std::string tooLong = "move @P offset to end unsuccess 75.\n";
    run_rows({
        {"dataLen bytes of payload", raw(crcWrong), strip, 0, L(),
         [&](Sandbox &s) {
             holds(slice(crcWrong, 352, 900), 0750)(s);
             EXPECT_EQ(read_file(s.pkg), crcWrong);
         }},
        {"exactly the space after the header", raw(bin_file(payload, 500)), strip, 0, L(),
         holds(payload, 0750)},
        {"several MiB", raw(bin_file(large, static_cast<std::uint32_t>(large.size()))), strip, 0,
         L(), holds(large, 0750)},
        {"header only, dataLen 0", raw(bin_file({}, 0)), strip, 0, L(), holds({}, 0750)},
        {"umask 077", raw(bin_file(payload, 10)), strip, 0, L(), strict},
        {"an existing file keeps its bits", raw(bin_file(payload, 10)),
         [](Sandbox &s) {
             write_file(s.out, {1, 2});
             return ::chmod(s.o(), 0604) + QVPKG_StripBinHeader(s.p(), s.o());
         },
         0, L(), holds(slice(payload, 0, 10), 0604)},
        {"input and output the same", raw(bin_file(payload, 400, 10)), self, 0, L(),
         [&](Sandbox &s) { EXPECT_EQ(read_file(s.pkg), slice(payload, 0, 400)); }},
        {"1 more", raw(bin_file(payload, 501)), strip, 6, L("bin file length mismatch 852 501.\n")},
        {"352, dataLen 1", raw(bin_file({}, 1)), strip, 6, L("bin file length mismatch 352 1.\n")},
        {"dataLen 2^32 - 1", raw(bin_file(payload, 0xFFFFFFFFu)), strip, 6,
         L("bin file length mismatch 852 4294967295.\n")},
        {"missing input", missing(), strip, 2, L("file @P path invalid\n")},
        {"351 B", raw(Bytes(351, 0)), strip, 2, L("File @P length small than header size 351.\n")},
        {"empty input", raw({}), strip, 2, L("File @P length small than header size 0.\n")},
        {"input is a socket", [](Sandbox &s) { make_socket(s.pkg); }, strip, 2,
         L("open file @P unsuccess 6.\n")},
        {"input of 2 GiB", sparse(1ull << 31), strip, 2, L(tooLong)},
        {"input of 4 GiB + 400", sparse((1ull << 32) + 400), strip, 2, L(tooLong)},
        {"output in a missing directory", out_at(raw(bin_file(payload, 64)), "no/such/out"), strip,
         2, L("Can't create file @O 2\n"), nullptr, true},
        {"output names a directory", out_at(raw(bin_file(payload, 64)), ""), strip, 2,
         L("Can't create file @O 21\n"), nullptr, true},
        {"output on a full device", out_at(raw(bin_file(payload, 64)), "/dev/full"), strip, 2,
         L("Write subfile /dev/full unsuccess -1 64.\n"), nullptr, true},
        {"write cut short", raw(bin_file(pattern(4000, 1), 4000)),
         capped(strip, "Write subfile @O unsuccess 1000 4000.\n"), 2, L(),
         [](Sandbox &s) { EXPECT_EQ(read_file(s.out), pattern(1000, 1)); }, true},
        {"whole file to the caller", raw(bin_file(payload, 400, 3)), whole, 0, L(),
         holds(slice(payload, 0, 5), 0750)},
        {"a length below the header", raw({}), short_buffer, 66,
         L("bin file length 100 small than header size 352.\n",
           "bin file length 0 small than header size 352.\n")},
    });
}

// The owners of the library's large buffers: sizes as asked, zero-filled,
// huge-page aligned when mapped, and every block given back exactly once.
TEST(Buffers, OwnersHoldWhatTheyPromise) {
    using rerazera::HeapBuffer;
    using rerazera::StagingBuffer;
    const auto unmapped = [](const std::uint8_t *p) { return vm_flags(p).empty(); };
    for (std::size_t size : {std::size_t{0}, std::size_t{100}, (std::size_t{3} << 20) + 5}) {
        for (auto make :
             {HeapBuffer::allocate, HeapBuffer::allocate_zeroed, HeapBuffer::allocate_cleared}) {
            const HeapBuffer h = make(size);
            ASSERT_TRUE(h) << size;
            EXPECT_EQ(h.size(), size);
        }
        if (size > 0) {
            HeapBuffer::allocate(size).data()[0] = 0xAB;  // memory the next block may reuse
            EXPECT_EQ(HeapBuffer::allocate_zeroed(size).data()[0], 0) << size;
        }
        const StagingBuffer s = StagingBuffer::allocate_zeroed(size);
        ASSERT_TRUE(s) << size;
        EXPECT_EQ(s.size(), size);
        EXPECT_EQ(s.mapped(), size >= StagingBuffer::kMapThreshold);
        // A mapped buffer comes prepared for its read: huge pages advised, or small ones in.
        EXPECT_TRUE(!s.mapped() || vm_flags(s.data()).find(" hg") != std::string::npos ||
                    all_resident(s.data(), size / 4096 * 4096));
        EXPECT_EQ(std::count(s.data(), s.data() + size, 0), static_cast<long>(size));
        if (s.mapped()) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s.data()) % StagingBuffer::kHugePage, 0u);
            s.data()[size - 1] = 1;  // writable to its last byte
        }
    }
    StagingBuffer a = StagingBuffer::allocate_zeroed(4u << 20);
    StagingBuffer b = StagingBuffer::allocate_zeroed(4u << 20);
    std::uint8_t *const first = a.data();
    std::uint8_t *const second = b.data();
    StagingBuffer &alias = a;
    a = std::move(alias);  // a self-move keeps the block
    EXPECT_EQ(a.data(), first);
    a = std::move(b);  // the old block is unmapped, the new one taken over
    EXPECT_TRUE(unmapped(first));
    EXPECT_EQ(a.data(), second);
    EXPECT_FALSE(b);
    { const StagingBuffer gone = std::move(a); }
    EXPECT_TRUE(unmapped(second));
}

}  // namespace
