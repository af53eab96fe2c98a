// SPDX-License-Identifier: MIT
#include "support/fixture.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>

namespace rztest {

bool same(const QVFileDesc &a, const QVFileDesc &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

QVFileDesc entry(const Package &pkg, std::uint32_t i, bool ext) {
    const auto at = [&](std::uint32_t f) {
        return pkg.be32(ext ? pkg.ext_entry_field(i, f) : Package::entry_field(i, f));
    };
    return QVFileDesc{at(0), at(4), at(8), at(12), at(16), at(20)};
}

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 9));
    }
    return b;
}

Bytes slice(const Bytes &bytes, std::size_t offset, std::size_t len) {
    const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
    return Bytes(from, from + static_cast<std::ptrdiff_t>(len));
}

void sparse_file(const std::string &path, const Bytes &head, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ::close(fd);
}

Package with(Package pkg, std::size_t pos, std::uint32_t value, bool reseal) {
    pkg.set_be32(pos, value);
    if (reseal) {
        pkg.reseal_header();
    }
    return pkg;
}

Package ent(const Package &p, std::uint32_t i, std::uint32_t field, std::uint32_t v) {
    return with(p, Package::entry_field(i, field), v);
}

Package bin(Package p, std::size_t subFile, std::size_t field, std::uint32_t v) {
    p.set_be32(subFile + field, v);
    p.reseal_bin_header(subFile);
    return p;
}

Package flip(Package p, std::size_t at, std::uint8_t bits) {
    p.bytes[at] ^= bits;
    return p;
}

Package three_files() {
    return PackageBuilder()
        .product_type(0x1234)
        .add(SubFile{0x10, "boot.bin", "first stage bootloader", pattern(100, 1), 11, 12})
        .add(SubFile{0x20, "kernel.bin", "linux kernel image", pattern(5000, 2), 21, 22})
        .add(SubFile{0x30, "rootfs.img", "root file system", pattern(3000, 3), 31, 32})
        .build();
}

Package ext_package(std::uint32_t ext, bool dup) {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add(SubFile{0x1000 + i, "h" + std::to_string(i), "header file", {}, 0, 0});
    }
    if (ext == 0) {
        b.with_empty_extension();
    }
    for (std::uint32_t i = 0; i < ext; ++i) {
        b.add_extend(SubFile{0x5000 + i, "e" + std::to_string(i), "extend " + std::to_string(i),
                             pattern(i + 3, static_cast<std::uint8_t>(i)), 7 + i, 70 + i});
    }
    if (dup) {
        b.add_extend_raw(RawDesc{0x5000, 1, 2, 3, 4, 5});
    }
    return b.build();
}

Package read_twice_package() {
    Package p = ext_package(3);
    for (const std::uint32_t f : {4u, 8u, 12u}) {
        p.set_be32(p.ext_entry_field(0, f), p.be32(Package::entry_field(0, f)));
    }
    p.reseal_table();
    const std::uint32_t tableLen = p.be32(Package::entry_field(255, 8)) - 352;
    return ent(p, 255, 12, rerazera::writer::crc16(p.bytes.data() + p.tableOffset, tableLen));
}

Package long_ext(std::uint32_t n) {
    PackageBuilder b;
    for (std::uint32_t i = 0; i < 255; ++i) {
        b.add_raw(RawDesc{0x100 + i, 0, 0, 0, 0, 0});
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        b.add_extend_raw(RawDesc{0x100000u + i, i, i + 1, i + 2, i + 3, i + 4});
    }
    return b.build();
}

Bytes bin_file(const Bytes &payload, std::uint32_t dataLen, std::size_t trailer) {
    Bytes file = rerazera::writer::make_bin_file(SubFile{0x42, "app.bin", "application", payload});
    file.resize(file.size() + trailer, 0xA5);
    for (int i = 0; i < 4; ++i) {
        file[340 + i] = static_cast<std::uint8_t>(dataLen >> (24 - 8 * i));
    }
    return file;
}

void in_child(const std::function<std::string()> &body) {
    EXPECT_EXIT(
        {
            const std::string failure = body();
            std::fprintf(stderr, "%s", failure.c_str());
            std::_Exit(failure.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

void Sandbox::put(const Bytes &bytes) {
    image = bytes;
    write_file(pkg, bytes);
}

Lines Sandbox::expand(const Lines &lines) const {
    char real[PATH_MAX];
    const std::string values[] = {pkg, ::realpath(pkg.c_str(), real) ? real : pkg, out};
    Lines done = lines;
    for (std::string &line : done) {
        for (int v = 0; v < 3; ++v) {
            for (std::size_t at; (at = line.find(&"@P\0@R\0@O"[3 * v])) != std::string::npos;) {
                line.replace(at, 2, values[v]);
            }
        }
    }
    return done;
}

Input pkg(const Package &p) {
    return raw(p.bytes);
}
Input raw(const Bytes &b) {
    return [b](Sandbox &s) { s.put(b); };
}
Input missing() {
    return [](Sandbox &s) { s.pkg = s.dir.file("no/../missing.qv"); };
}
Input directory() {
    return [](Sandbox &s) { s.pkg = s.dir.path(); };
}
void make_socket(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);  // the socket file stays
}
Input socket_file() {
    return [](Sandbox &s) { make_socket(s.pkg); };
}
Check msg_is(const std::string &text) {
    return [text](Sandbox &s) { EXPECT_EQ(s.msg, text); };
}

__attribute__((noinline)) static void dirty_stack() {
    volatile char pad[64 * 1024];
    for (auto &c : pad) {
        c = 'Z';
    }
}

void run_rows(const std::vector<Row> &rows) {
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Sandbox s;
        row.input(s);
        s.log.clear();
        dirty_stack();
        EXPECT_EQ(row.call(s), row.code);
        EXPECT_EQ(s.log.lines(), s.expand(row.log));
        for (const LogLine &e : s.log.entries()) {
            EXPECT_EQ(e.priority, LOG_INFO);
        }
        EXPECT_EQ(mapping_of(s.dir.path()), "");  // nothing left mapped
        if (row.code != QVPKG_OK) {
            EXPECT_TRUE(same(s.info, kUntouched)) << "out-record written on failure";
            EXPECT_TRUE(row.outChanged || !file_exists(s.out)) << "output created on failure";
        }
        if (row.after) {
            row.after(s);
        }
    }
}

}  // namespace rztest
