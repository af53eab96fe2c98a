#include "support/fixture.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace rztest {

bool same(const QVFileDesc &a, const QVFileDesc &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

QVFileDesc entry(const Package &pkg, std::uint32_t i, bool ext) {
    const auto at = [&](std::uint32_t field) {
        return pkg.be32(ext ? pkg.ext_entry_field(i, field) : Package::entry_field(i, field));
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
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + len));
}

std::string resolved(const std::string &path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

void sparse_file(const std::string &path, const Bytes &head, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ::close(fd);
}

void make_socket(const std::string &path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);  // the socket file stays
}

Package with(Package pkg, std::size_t pos, std::uint32_t value, bool reseal) {
    pkg.set_be32(pos, value);
    if (reseal) {
        pkg.reseal_header();
    }
    return pkg;
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

__attribute__((noinline)) void dirty_stack() {
    volatile char pad[64 * 1024];
    for (auto &c : pad) {
        c = 'Z';
    }
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

Sandbox::Sandbox() : pkg(dir.file("pkg.qv")), out(dir.file("out.bin")) {}

void Sandbox::put(const Bytes &bytes) {
    image = bytes;
    write_file(pkg, bytes);
}

Lines Sandbox::expand(const Lines &lines) const {
    Lines done;
    for (std::string line : lines) {
        for (const auto &[mark, value] :
             {std::pair<std::string, std::string>{"@P", pkg}, {"@R", resolved(pkg)}, {"@O", out}}) {
            for (std::size_t at; (at = line.find(mark)) != std::string::npos;) {
                line.replace(at, 2, value);
            }
        }
        done.push_back(line);
    }
    return done;
}

Input pkg(const Package &p) {
    return [bytes = p.bytes](Sandbox &s) { s.put(bytes); };
}

Input raw(const Bytes &b) {
    return [b](Sandbox &s) { s.put(b); };
}

namespace {

int mappings_under(const std::string &dir) {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) {
        count += line.find(dir) != std::string::npos;
    }
    return count;
}

}  // namespace

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
        EXPECT_EQ(mappings_under(s.dir.path()), 0) << "a mapping was left behind";
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
