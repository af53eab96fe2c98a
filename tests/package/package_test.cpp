// SPDX-License-Identifier: MIT
// Tables of the package API (librerazera-package), through its shared
// library; the one-call check of librerazera is the reference for verdicts.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "rerazera/package.h"
#include "support/fixture.hpp"
#include "writer/bombs.hpp"

namespace {

using namespace rztest;

struct Handle {
    rerazera_package *p = nullptr;
    ~Handle() { rerazera_package_free(p); }
};

struct LogLines {
    std::vector<std::string> lines;
    static void take(void *ctx, const char *line) {
        static_cast<LogLines *>(ctx)->lines.emplace_back(line);
    }
};

std::string verdict(const rerazera_package *h, int32_t &code, int32_t &r) {
    char msg[QVPKG_MSG_BUF_LEN] = {};
    r = rerazera_package_verify(h, msg, sizeof msg, &code);
    return msg;
}

Package with_rpg(bool inExtension) {
    PackageBuilder b;
    const SubFile rpg{kRpg, "rpg", "rpg file", pattern(10, 9)};
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(i == 7 && !inExtension ? rpg : SubFile{0x1000 + i, "h", "d", {}});
    }
    b.add_extend(inExtension ? rpg : SubFile{0x77, "x", "y", pattern(5, 1)});
    return b.build();
}

TEST(Package, OpenErrors) {
    ScratchDir dir;
    const std::string fifo = dir.file("fifo"), sock = dir.file("sock"), shrt = dir.file("short"),
                      zeros = dir.file("zeros"), big = dir.file("big");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    make_socket(sock);
    write_file(shrt, Bytes(6179, 0));
    write_file(zeros, Bytes(6180, 0));
    sparse_file(big, three_files().bytes, std::uint64_t{1} << 31);
    struct {
        std::string path;
        int32_t code;
    } const rows[] = {
        {dir.file("missing"), RERAZERA_ERR_NO_SUCH_FILE},
        {dir.file("missing/x"), RERAZERA_ERR_NO_SUCH_FILE},
        {dir.path(), RERAZERA_ERR_NOT_REGULAR},
        {fifo, RERAZERA_ERR_NOT_REGULAR},
        {sock, RERAZERA_ERR_NOT_REGULAR},
        {shrt, RERAZERA_ERR_NOT_PACKAGE},
        {big, RERAZERA_ERR_TOO_LARGE},
        {zeros, RERAZERA_OK},  // opens; the header says it is broken
    };
    const rerazera_open_options copy{RERAZERA_OPEN_COPY, nullptr, nullptr};
    for (const auto &row : rows) {
        for (const rerazera_open_options *opt :
             {static_cast<const rerazera_open_options *>(nullptr), &copy}) {
            SCOPED_TRACE(row.path);
            Handle h;
            EXPECT_EQ(rerazera_package_open_path(row.path.c_str(), opt, &h.p), row.code);
            EXPECT_EQ(h.p != nullptr, row.code == RERAZERA_OK);
            const int fd = ::open(row.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                Handle f;
                EXPECT_EQ(rerazera_package_open_fd(fd, opt, &f.p), row.code);
                EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);  // still the caller's
                ::close(fd);
            }
        }
    }
    Handle h;
    Bytes b(6180, 0);
    b[100] = 1;  // the stored CRC, 0, no longer matches
    EXPECT_EQ(rerazera_package_open_memory(b.data(), 6179, nullptr, &h.p),
              RERAZERA_ERR_NOT_PACKAGE);
    EXPECT_EQ(rerazera_package_open_memory(b.data(), std::size_t{1} << 31, nullptr, &h.p),
              RERAZERA_ERR_TOO_LARGE);
    EXPECT_EQ(rerazera_package_open_memory(nullptr, 6180, nullptr, &h.p),
              RERAZERA_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(rerazera_package_open_path(nullptr, nullptr, &h.p), RERAZERA_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(rerazera_package_open_fd(-1, nullptr, &h.p), RERAZERA_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(h.p, nullptr);
    rerazera_header_info info{};
    ASSERT_EQ(rerazera_package_open_memory(b.data(), b.size(), nullptr, &h.p), RERAZERA_OK);
    ASSERT_EQ(rerazera_package_header(h.p, &info), RERAZERA_OK);
    EXPECT_EQ(info.header_result, QVPKG_ERR_CRC);
    EXPECT_EQ(info.header_crc_computed, std::uint32_t{rerazera::writer::crc16(b.data(), 6176)});
}

// The verdict through a handle is the one-call check's, on every door and
// for good and broken packages, with and without the extension.
TEST(Package, VerifyMatchesOneCallCheck) {
    const Package three = three_files(), ext = ext_package(3);
    std::vector<std::pair<std::string, Package>> rows = {
        {"good", three},
        {"payload flipped", flip(three, three.entryOffsets[1] + 400)},
        {"bin header flipped", flip(three, three.entryOffsets[2] + 100)},
        {"header crc", flip(three, 40)},
        {"file num over 256", with(three, 4, 257)},
        {"out of file", ent(three, 1, 8, 1u << 30)},
        {"offset wraps", ent(three, 0, 4, 0xFFFFFFF0u)},
        {"too short", ent(three, 0, 8, 100)},
        {"overrun", bin(three, three.entryOffsets[0], 340, 5000)},
        {"ext good", ext},
        {"ext empty", ext_package(0)},
        {"ext table flipped", flip(ext, ext.tableOffset + 40)},
        {"ext dummy id", bin(ext, ext.dummyOffset, 8, 7)},
        {"ext dummy out of file", ent(ext, 255, 4, 0x7FFFFF00u)},
        {"ext dummy payload crc", ent(ext, 255, 12, 0x1234)},
        {"ext subfile flipped", flip(ext, ext.extOffsets[2] + 352)},
        {"ext duplicate raw", ext_package(3, true)},
        {"rpg in header", with_rpg(false)},
        {"rpg in extension", with_rpg(true)},
    };
    for (auto &bomb : rerazera::writer::bomb_corpus()) {
        rows.emplace_back(bomb.name, std::move(bomb.pkg));
    }
    ScratchDir dir;
    ::mkdir(dir.file("a@b").c_str(), 0700);
    for (const auto &[name, p] : rows) {
        for (const std::string &path : {dir.file("pkg.qv"), dir.file("a@b/pkg.qv")}) {
            SCOPED_TRACE(name + " " + path);
            p.write(path);
            char want[QVPKG_MSG_BUF_LEN] = {};
            const int32_t wantCode = QVPKG_ChkQVFileInfo(path.c_str(), want, sizeof want);
            Handle h;
            ASSERT_EQ(rerazera_package_open_path(path.c_str(), nullptr, &h.p), RERAZERA_OK);
            int32_t code = 99, r = 99;
            EXPECT_EQ(verdict(h.p, code, r), want);
            EXPECT_EQ(code, wantCode);
            EXPECT_EQ(r, code == 0 ? RERAZERA_OK
                                   : (code == QVPKG_ERR_NAME ? RERAZERA_ERR_NAME_RULE
                                                             : RERAZERA_ERR_CORRUPT));
            if (path.find('@') == std::string::npos) {  // memory: no name rule
                Handle m;
                ASSERT_EQ(
                    rerazera_package_open_memory(p.bytes.data(), p.bytes.size(), nullptr, &m.p),
                    RERAZERA_OK);
                EXPECT_EQ(verdict(m.p, code, r), want);
                EXPECT_EQ(code, wantCode);
            }
        }
    }
}

TEST(Package, EntriesAndLookups) {
    const Package three = three_files(), ext = ext_package(3, true);
    Handle t, e;
    ASSERT_EQ(rerazera_package_open_memory(three.bytes.data(), three.bytes.size(), nullptr, &t.p),
              0);
    ASSERT_EQ(rerazera_package_open_memory(ext.bytes.data(), ext.bytes.size(), nullptr, &e.p), 0);
    rerazera_header_info info{};
    ASSERT_EQ(rerazera_package_header(e.p, &info), 0);
    EXPECT_EQ(info.extension_state, RERAZERA_EXT_VALID);
    EXPECT_EQ(info.extension_count, 4u);
    EXPECT_EQ(info.entry_count, 260u);
    EXPECT_EQ(rerazera_package_header(t.p, &info), 0);
    EXPECT_EQ(info.product_type, 0x1234u);
    EXPECT_EQ(info.file_num, 3u);
    EXPECT_EQ(info.header_crc_stored, info.header_crc_computed);
    EXPECT_EQ(info.extension_state, RERAZERA_EXT_NONE);

    using Find = std::function<int32_t(const rerazera_package *, rerazera_entry *)>;
    auto id = [](std::uint32_t v) -> Find {
        return [v](auto *h, auto *o) { return rerazera_package_find_id(h, v, o); };
    };
    auto nm = [](const char *v) -> Find {
        return [v](auto *h, auto *o) { return rerazera_package_find_name(h, v, o); };
    };
    auto ds = [](const char *v) -> Find {
        return [v](auto *h, auto *o) { return rerazera_package_find_description(h, v, o); };
    };
    auto at = [](std::uint64_t k) -> Find {
        return [k](auto *h, auto *o) { return rerazera_package_entry(h, k, o); };
    };
    struct {
        const rerazera_package *h;
        Find find;
        int32_t code;
        std::uint32_t table, index, fileId, flags;
        const char *name;
    } const rows[] = {
        {t.p, id(0x20), 0, 0, 1, 0x20, RERAZERA_ENTRY_BIN_HEADER, "kernel.bin"},
        {t.p, nm("rootfs.img"), 0, 0, 2, 0x30, RERAZERA_ENTRY_BIN_HEADER, "rootfs.img"},
        {t.p, nm("rootfs"), RERAZERA_ERR_NOT_FOUND, 0, 0, 0, 0, ""},
        {t.p, ds("stage"), 0, 0, 0, 0x10, RERAZERA_ENTRY_BIN_HEADER, "boot.bin"},
        {t.p, ds(""), RERAZERA_ERR_INVALID_ARGUMENT, 0, 0, 0, 0, ""},
        {t.p, id(0x40), RERAZERA_ERR_NOT_FOUND, 0, 0, 0, 0, ""},
        {t.p, at(3), RERAZERA_ERR_NOT_FOUND, 0, 0, 0, 0, ""},
        {e.p, at(255), 0, 0, 255, DUMMY_DESC_FILE_ID,
         RERAZERA_ENTRY_BIN_HEADER | RERAZERA_ENTRY_DUMMY, ""},
        {e.p, at(258), 0, 1, 2, 0x5002, RERAZERA_ENTRY_BIN_HEADER, "e2"},
        {e.p, id(0x5000), 0, 1, 0, 0x5000, RERAZERA_ENTRY_BIN_HEADER, "e0"},  // lowest index
        {e.p, id(0x1003), 0, 0, 3, 0x1003, RERAZERA_ENTRY_BIN_HEADER, "h3"},
        {e.p, id(DUMMY_DESC_FILE_ID), RERAZERA_ERR_NOT_FOUND, 0, 0, 0, 0, ""},
        {e.p, nm("e1"), 0, 1, 1, 0x5001, RERAZERA_ENTRY_BIN_HEADER, "e1"},
        {e.p, ds("extend 2"), 0, 1, 2, 0x5002, RERAZERA_ENTRY_BIN_HEADER, "e2"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        rerazera_entry out;
        std::memset(&out, 0xA5, sizeof out);
        ASSERT_EQ(row.find(row.h, &out), row.code);
        if (row.code != 0) {
            continue;
        }
        EXPECT_EQ(out.table, row.table);
        EXPECT_EQ(out.index, row.index);
        EXPECT_EQ(out.file_id, row.fileId);
        EXPECT_EQ(out.flags, row.flags);
        if (*row.name != '\0') {
            EXPECT_STREQ(out.name, row.name);
            EXPECT_EQ(out.name_len, std::strlen(row.name));
        }
    }
    rerazera_entry k1;
    ASSERT_EQ(rerazera_package_entry(t.p, 1, &k1), 0);
    const QVFileDesc d = entry(three, 1);
    EXPECT_TRUE(k1.offset == d.offset && k1.length == d.length && k1.crc == d.crc &&
                k1.aux0 == 21 && k1.aux1 == 22 && k1.data_len == 5000 && k1.bin_file_id == 0x20);
    EXPECT_STREQ(k1.description, "linux kernel image");

    // Descriptors in batches that straddle the two tables are the entries'
    // own fields; a batch past the end is cut short, one beyond it refused.
    std::vector<rerazera_descriptor> all(rerazera_package_entry_count(e.p) + 3);
    for (const std::size_t batch : {std::size_t{1}, std::size_t{7}, all.size()}) {
        std::size_t filled = 0, k = 0;
        const std::uint64_t n = rerazera_package_entry_count(e.p);
        while (k < n) {
            ASSERT_EQ(rerazera_package_descriptors(e.p, k, all.data() + k, batch, &filled), 0);
            ASSERT_EQ(filled, std::min<std::uint64_t>(batch, n - k));
            k += filled;
        }
        EXPECT_EQ(rerazera_package_descriptors(e.p, n, all.data(), batch, &filled), 0);
        EXPECT_EQ(filled, 0u);
        for (k = 0; k < n; ++k) {
            rerazera_entry x;
            ASSERT_EQ(rerazera_package_entry(e.p, k, &x), 0);
            const rerazera_descriptor &dk = all[k];
            EXPECT_TRUE(dk.table == x.table && dk.index == x.index && dk.file_id == x.file_id &&
                        dk.offset == x.offset && dk.length == x.length && dk.crc == x.crc &&
                        dk.aux0 == x.aux0 && dk.aux1 == x.aux1 &&
                        dk.flags == (x.flags & RERAZERA_ENTRY_DUMMY))
                << k << " in batches of " << batch;
        }
    }
    std::size_t filled = 5;
    EXPECT_EQ(rerazera_package_descriptors(e.p, 261, all.data(), 1, &filled),
              RERAZERA_ERR_NOT_FOUND);
    EXPECT_EQ(filled, 0u);
    EXPECT_EQ(rerazera_package_descriptors(e.p, 0, nullptr, 1, &filled),
              RERAZERA_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(rerazera_package_descriptors(e.p, 0, nullptr, 0, &filled), 0);
    EXPECT_EQ(rerazera_package_descriptors(nullptr, 0, all.data(), 1, &filled),
              RERAZERA_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(rerazera_package_descriptors(e.p, 0, all.data(), 1, nullptr),
              RERAZERA_ERR_INVALID_ARGUMENT);
}

// Why an extension is invalid, and the snapshot's raw bytes.
TEST(Package, ExtensionMessageAndBytes) {
    const Package ext = ext_package(3);
    const struct {
        const char *name;
        Package p;
        std::uint32_t state;
        const char *text;
    } rows[] = {
        {"valid", ext, RERAZERA_EXT_VALID, ""},
        {"none", three_files(), RERAZERA_EXT_NONE, ""},
        {"dummy out of file", ent(ext, 255, 4, 0x7FFFFF00u), RERAZERA_EXT_INVALID,
         "the dummy bin file lies past the end of the package"},
        {"table flipped", flip(ext, ext.tableOffset + 40), RERAZERA_EXT_INVALID,
         "[ext]The sub header file CRC is wrong"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Handle h;
        ASSERT_EQ(
            rerazera_package_open_memory(row.p.bytes.data(), row.p.bytes.size(), nullptr, &h.p), 0);
        rerazera_header_info info{};
        ASSERT_EQ(rerazera_package_header(h.p, &info), 0);
        EXPECT_EQ(info.extension_state, row.state);
        char msg[QVPKG_MSG_BUF_LEN];
        ASSERT_EQ(rerazera_package_extension_message(h.p, msg, sizeof msg), 0);
        const std::string text = msg;
        EXPECT_EQ(text.empty(), *row.text == '\0') << text;
        EXPECT_NE(text.find(row.text), std::string::npos) << text;
        EXPECT_TRUE(text.empty() || text.back() != '\n') << text;
        char small[6];
        ASSERT_EQ(rerazera_package_extension_message(h.p, small, sizeof small), 0);
        EXPECT_EQ(std::string(small), text.substr(0, 5));
    }
    EXPECT_EQ(rerazera_package_extension_message(nullptr, nullptr, 0),
              RERAZERA_ERR_INVALID_ARGUMENT);

    ScratchDir dir;
    ext.write(dir.file("pkg"));
    Handle m, f;
    const std::uint64_t n = ext.bytes.size();
    ASSERT_EQ(rerazera_package_open_memory(ext.bytes.data(), n, nullptr, &m.p), 0);
    ASSERT_EQ(rerazera_package_open_path(dir.file("pkg").c_str(), nullptr, &f.p), 0);
    for (const rerazera_package *h : {m.p, f.p}) {
        EXPECT_EQ(rerazera_package_bytes(h, n, 1), nullptr);
        EXPECT_EQ(rerazera_package_bytes(h, UINT64_MAX, 2), nullptr);
        EXPECT_NE(rerazera_package_bytes(h, n, 0), nullptr);
        EXPECT_EQ(rerazera_package_release(h, 1, n), RERAZERA_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(rerazera_package_release(h, 0, n), RERAZERA_OK);
        const std::uint8_t *all = rerazera_package_bytes(h, 0, n);
        ASSERT_NE(all, nullptr);
        EXPECT_TRUE(std::equal(all, all + n, ext.bytes.begin()));  // still there after release
    }
    EXPECT_EQ(rerazera_package_bytes(m.p, 0, n), ext.bytes.data());  // memory is not copied

    // A mapped file gives back exactly the whole pages inside the range:
    // the partial pages at either end are still mapped, the bytes still read.
    constexpr std::size_t kPage = 4096;
    const Package big = PackageBuilder().add(SubFile{1, "big", "", pattern(16 * kPage, 3)}).build();
    big.write(dir.file("big"));
    Handle b;
    ASSERT_EQ(rerazera_package_open_path(dir.file("big").c_str(), nullptr, &b.p), 0);
    const std::uint8_t *base = rerazera_package_bytes(b.p, 0, big.bytes.size());
    ASSERT_NE(base, nullptr);
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(base) % kPage, 0u);
    EXPECT_TRUE(std::equal(base, base + big.bytes.size(), big.bytes.begin()));  // all touched
    ASSERT_EQ(pages_mapped(base, 8 * kPage), 8u);
    EXPECT_EQ(rerazera_package_release(b.p, 100, 6 * kPage), RERAZERA_OK);
    EXPECT_EQ(pages_mapped(base, kPage), 1u);  // holds byte 100
    EXPECT_EQ(pages_mapped(base + kPage, 5 * kPage), 0u);
    EXPECT_EQ(pages_mapped(base + 6 * kPage, 2 * kPage), 2u);  // holds the range's last byte
    EXPECT_EQ(rerazera_package_release(b.p, 8 * kPage, 2 * kPage), RERAZERA_OK);
    EXPECT_EQ(pages_mapped(base + 8 * kPage, 2 * kPage), 0u);
    EXPECT_TRUE(std::equal(base, base + big.bytes.size(), big.bytes.begin()));
}

struct Reports {
    std::vector<rerazera_entry_report> all;
    static int take(void *ctx, const rerazera_entry_report *r) {
        static_cast<Reports *>(ctx)->all.push_back(*r);
        return 0;
    }
};

TEST(Package, ReportPerReason) {
    const Package three = three_files();
    const std::uint32_t at0 = three.entryOffsets[0], at2 = three.entryOffsets[2];
    struct {
        const char *name;
        Package p;
        std::vector<std::uint32_t> reasons;
    } const rows[] = {
        {"good", three, {0, 0, 0}},
        {"empty", ent(three, 1, 8, 0), {0, 1, 0}},
        {"out of bounds and payload", flip(ent(three, 0, 8, 1u << 31), at2 + 360), {2, 0, 6}},
        {"too short", ent(three, 2, 8, 351), {0, 0, 3}},
        {"header crc", flip(three, at0 + 20), {4, 0, 0}},
        {"overrun", bin(three, at2, 340, 3001), {0, 0, 5}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Handle h;
        ASSERT_EQ(
            rerazera_package_open_memory(row.p.bytes.data(), row.p.bytes.size(), nullptr, &h.p), 0);
        Reports got;
        const bool allOk =
            std::all_of(row.reasons.begin(), row.reasons.end(), [](auto r) { return r <= 1; });
        EXPECT_EQ(rerazera_package_report(h.p, Reports::take, &got),
                  allOk ? 0 : RERAZERA_ERR_CORRUPT);
        ASSERT_EQ(got.all.size(), row.reasons.size());
        for (std::size_t i = 0; i < got.all.size(); ++i) {
            const rerazera_entry_report &r = got.all[i];
            EXPECT_EQ(r.reason, row.reasons[i]) << i;
            EXPECT_EQ(r.ok, row.reasons[i] <= 1 ? 1 : 0);
            const bool head = r.reason == 0 || r.reason >= 4, crc = r.reason == 0 || r.reason == 6;
            EXPECT_EQ(r.computed,
                      (head ? RERAZERA_REPORT_HEAD_CRC : 0u) | (crc ? RERAZERA_REPORT_CRC : 0u));
            EXPECT_EQ(r.head_crc_stored == r.head_crc_computed, r.reason != 4);
            EXPECT_EQ(r.crc_stored == r.crc_computed && crc, r.reason == 0);
            rerazera_entry_report one;
            EXPECT_EQ(rerazera_package_check_entry(h.p, &r.entry, &one),
                      r.ok ? 0 : RERAZERA_ERR_CORRUPT);
            EXPECT_EQ(std::memcmp(&one, &r, sizeof one), 0);
        }
        rerazera_entry foreign = got.all[0].entry;
        foreign.crc ^= 1;
        rerazera_entry_report one;
        EXPECT_EQ(rerazera_package_check_entry(h.p, &foreign, &one), RERAZERA_ERR_INVALID_ARGUMENT);
    }
    // Entries that share a descriptor: each report is the entry's own.
    for (const auto &bomb : rerazera::writer::bomb_corpus()) {
        SCOPED_TRACE(bomb.name);
        Handle b;
        ASSERT_EQ(rerazera_package_open_memory(bomb.pkg.bytes.data(), bomb.pkg.bytes.size(),
                                               nullptr, &b.p),
                  0);
        Reports got;
        (void)rerazera_package_report(b.p, Reports::take, &got);
        for (const rerazera_entry_report &r : got.all) {
            rerazera_entry_report one;
            ASSERT_EQ(rerazera_package_check_entry(b.p, &r.entry, &one) == 0, r.ok == 1);
            ASSERT_EQ(std::memcmp(&one, &r, sizeof one), 0)
                << r.entry.table << " " << r.entry.index;
        }
    }
    Handle h;
    ASSERT_EQ(rerazera_package_open_memory(three.bytes.data(), three.bytes.size(), nullptr, &h.p),
              0);
    int calls = 0;
    EXPECT_EQ(
        rerazera_package_report(
            h.p, [](void *c, const rerazera_entry_report *) { return ++*static_cast<int *>(c); },
            &calls),
        RERAZERA_ERR_STOPPED);
    EXPECT_EQ(calls, 1);
}

struct Collect {
    Bytes bytes;
    int failAfter = -1;
    static int take(void *ctx, const void *data, std::size_t len) {
        auto *c = static_cast<Collect *>(ctx);
        if (c->failAfter-- == 0) {
            return 1;
        }
        const auto *p = static_cast<const std::uint8_t *>(data);
        c->bytes.insert(c->bytes.end(), p, p + len);
        return 0;
    }
};

TEST(Package, Extraction) {
    const Bytes big = pattern(3u << 20, 5);  // several pieces
    const Package good = PackageBuilder()
                             .add(SubFile{0x10, "a", "b", pattern(10, 1)})
                             .add(SubFile{0x20, "big", "c", big})
                             .build();
    const std::uint32_t at1 = good.entryOffsets[1];
    const Package bad = flip(good, at1 + 352 + (2u << 20));
    const Package badHead = flip(good, at1 + 200);  // in the bin header's description
    const Bytes whole = slice(good.bytes, at1, 352 + big.size()),
                badWhole = slice(bad.bytes, at1, 352 + big.size());
    struct {
        const char *name;
        const Package &p;
        std::uint32_t flags;
        int32_t code;
        const Bytes &out;
    } const rows[] = {
        {"whole", good, 0, 0, whole},
        {"strip", good, RERAZERA_EXTRACT_STRIP, 0, big},
        {"verify first", good, RERAZERA_EXTRACT_VERIFY_FIRST | RERAZERA_EXTRACT_STRIP, 0, big},
        {"bad, checked while copying", bad, 0, RERAZERA_ERR_CORRUPT, badWhole},
        {"bad, verify first writes nothing",
         bad,
         RERAZERA_EXTRACT_VERIFY_FIRST,
         RERAZERA_ERR_CORRUPT,
         {}},
        {"bad, unchecked", bad, RERAZERA_EXTRACT_NO_CHECK, 0, badWhole},
        {"bad bin header, stripped unchecked", badHead,
         RERAZERA_EXTRACT_NO_CHECK | RERAZERA_EXTRACT_STRIP, 0, big},
    };
    ScratchDir dir;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        row.p.write(dir.file("pkg"));
        Handle h;
        ASSERT_EQ(rerazera_package_open_path(dir.file("pkg").c_str(), nullptr, &h.p), 0);
        rerazera_entry e;
        ASSERT_EQ(rerazera_package_find_name(h.p, "big", &e), 0);
        Collect c;
        EXPECT_EQ(rerazera_package_extract(h.p, &e, row.flags, Collect::take, &c), row.code);
        EXPECT_TRUE(c.bytes == row.out);
        const int fd =
            ::open(dir.file("out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_EQ(rerazera_package_extract_fd(h.p, &e, row.flags, fd), row.code);
        ::close(fd);
        EXPECT_TRUE(read_file(dir.file("out")) == row.out);
    }
    Handle h;
    ASSERT_EQ(rerazera_package_open_memory(good.bytes.data(), good.bytes.size(), nullptr, &h.p), 0);
    rerazera_entry e;
    ASSERT_EQ(rerazera_package_entry(h.p, 1, &e), 0);
    Collect c{{}, 1};
    EXPECT_EQ(rerazera_package_extract(h.p, &e, 0, Collect::take, &c), RERAZERA_ERR_SINK);
    EXPECT_EQ(c.bytes.size(), std::size_t{1} << 20);
    const int ro = ::open(dir.file("out").c_str(), O_RDONLY | O_CLOEXEC);
    errno = 0;
    EXPECT_EQ(rerazera_package_extract_fd(h.p, &e, 0, ro), RERAZERA_ERR_SINK);
    EXPECT_EQ(errno, EBADF);
    ::close(ro);
    const Package empty = ent(good, 0, 8, 0);
    Handle z;
    ASSERT_EQ(rerazera_package_open_memory(empty.bytes.data(), empty.bytes.size(), nullptr, &z.p),
              0);
    ASSERT_EQ(rerazera_package_entry(z.p, 0, &e), 0);
    EXPECT_EQ(rerazera_package_extract(z.p, &e, 0, Collect::take, &c),
              RERAZERA_ERR_INVALID_ARGUMENT);
}

TEST(Package, LogsOnlyOnFailure) {
    const Package three = three_files();
    for (const bool good : {true, false}) {
        const Package p = good ? three : flip(three, three.entryOffsets[1] + 400);
        LogLines log;
        const rerazera_open_options opt{0, LogLines::take, &log};
        Handle h;
        ASSERT_EQ(rerazera_package_open_memory(p.bytes.data(), p.bytes.size(), &opt, &h.p), 0);
        int32_t code = 0, r = 0;
        verdict(h.p, code, r);
        Reports rep;
        rerazera_package_report(h.p, Reports::take, &rep);
        EXPECT_EQ(log.lines.empty(), good);
        for (const std::string &line : log.lines) {
            EXPECT_TRUE(line.find('\n') == std::string::npos) << line;
        }
    }
}

TEST(Package, ThreadsShareOneHandle) {
    const Package ext = ext_package(40);
    Handle h;
    ASSERT_EQ(rerazera_package_open_memory(ext.bytes.data(), ext.bytes.size(), nullptr, &h.p), 0);
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                int32_t code = -5, r = -5;
                verdict(h.p, code, r);
                Reports rep;
                rerazera_entry e;
                Collect c;
                failures[t] += code != 0 ||
                               rerazera_package_report(h.p, Reports::take, &rep) != 0 ||
                               rerazera_package_find_name(h.p, "e39", &e) != 0 ||
                               rerazera_package_extract(h.p, &e, 0, Collect::take, &c) != 0 ||
                               c.bytes.size() != 352 + 42;
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
