// SPDX-License-Identifier: MIT
// What the library's tables share: the packages they start from, a sandbox
// per row (scratch directory, log, descriptor check, umask 022), and the
// runner that checks a row's code, log lines and side effects. Expected
// lines name paths by placeholder: @P the package path as given, @R its
// resolved form, @O the output path.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "rerazera.h"
#include "support/log_capture.hpp"
#include "support/scratch.hpp"
#include "writer/package_writer.hpp"

namespace rztest {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;

// Expected log lines, each given without the library's "[RERAZERA]" tag.
template <class... T>
Lines L(const T &...lines) {
    return Lines{"[RERAZERA]" + std::string(lines)...};
}
inline constexpr QVFileDesc kUntouched{0xA5A5A5A5u, 1, 2, 3, 4, 5};
inline constexpr auto kRpg = static_cast<std::uint32_t>(RPG_FILE_ID);

bool same(const QVFileDesc &a, const QVFileDesc &b);
// Header entry i (or second-table entry i), decoded from the package bytes.
QVFileDesc entry(const Package &pkg, std::uint32_t i, bool ext = false);
Bytes pattern(std::size_t n, std::uint8_t seed);
Bytes slice(const Bytes &bytes, std::size_t offset, std::size_t len);
void sparse_file(const std::string &path, const Bytes &head, std::uint64_t size);
// Sets a big-endian word, then (unless told not to) the header CRC again.
Package with(Package pkg, std::size_t pos, std::uint32_t value, bool reseal = true);
// Sets field (4 offset, 8 length, 12 crc...) of header entry i, resealed.
Package ent(const Package &p, std::uint32_t i, std::uint32_t field, std::uint32_t v);
// Sets a word of the bin header at subFile and reseals that bin header.
Package bin(Package p, std::size_t subFile, std::size_t field, std::uint32_t v);
Package flip(Package p, std::size_t at, std::uint8_t bits = 1);

// 0x10 boot.bin (100 bytes), 0x20 kernel.bin (5000), 0x30 rootfs.img (3000).
Package three_files();
// 255 header sub-files (0x1000 + i, "h<i>"), the dummy bin file, `ext`
// extend sub-files 0x5000 + i ("e<i>"); with dup, a raw extend entry
// {0x5000, 1, 2, 3, 4, 5} lists 0x5000 again.
Package ext_package(std::uint32_t ext = 3, bool dup = false);
// ext_package(3) with extend entry 0 naming header entry 0's sub-file, which
// lies before the second table: a stream needs these bytes twice.
Package read_twice_package();
// 255 raw header entries and n raw extend entries 0x100000 + i.
Package long_ext(std::uint32_t n);
// A bin file of payload, its dataLen set to dataLen, `trailer` bytes after.
Bytes bin_file(const Bytes &payload, std::uint32_t dataLen, std::size_t trailer = 0);

// Runs body in a child process (process-wide limits); fails the test unless
// body returns an empty text.
void in_child(const std::function<std::string()> &body);

struct UmaskScope {
    explicit UmaskScope(mode_t mask) : old(::umask(mask)) {}
    ~UmaskScope() { ::umask(old); }
    mode_t old;
};

struct Sandbox {
    void put(const Bytes &bytes);  // writes the package, kept as image
    [[nodiscard]] Lines expand(const Lines &lines) const;
    [[nodiscard]] const char *p() const { return pkg.c_str(); }
    [[nodiscard]] const char *o() const { return out.c_str(); }

    ScratchDir dir;
    LogCapture log;
    FdLeakCheck fds;
    UmaskScope umask{022};
    std::string pkg = dir.file("pkg.qv"), out = dir.file("out.bin");
    Bytes image;
    QVFileDesc info = kUntouched;
    char msg[QVPKG_MSG_BUF_LEN] = "caller";
};

using Input = std::function<void(Sandbox &)>;
using Call = std::function<int(Sandbox &)>;
using Check = std::function<void(Sandbox &)>;
Input pkg(const Package &p);
Input raw(const Bytes &b);
Input missing();  // a path that does not resolve
// A Unix socket: open() refuses it (ENXIO), even for root.
void make_socket(const std::string &path);
Input socket_file();
Input directory();
Check msg_is(const std::string &text);

// A row of a failure table. On failure the out-record stays kUntouched and
// (unless outChanged) nothing appears at the output path.
struct Row {
    const char *name;
    Input input;
    Call call;
    int code;
    Lines log;
    Check after = nullptr;
    bool outChanged = false;
};
// Runs each row in a fresh sandbox, after filling 64 KiB of stack with a
// non-zero pattern so that a buffer the library forgets to clear shows.
void run_rows(const std::vector<Row> &rows);

}  // namespace rztest
