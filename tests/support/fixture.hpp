// What the library's test tables share: the packages they start from, a
// sandbox per row (scratch directory, log, descriptor check, an output
// path), and the runner that checks a row's code, log lines and
// side effects. Expected lines name paths by placeholder: @P the package
// path as given, @R its resolved form, @O the output path.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// Expected log lines, written without braces so that table rows stay compact.
template <class... T>
Lines L(const T &...lines) {
    return Lines{std::string(lines)...};
}

inline constexpr QVFileDesc kUntouched{0xA5A5A5A5u, 1, 2, 3, 4, 5};
inline constexpr auto kRpg = static_cast<std::uint32_t>(RPG_FILE_ID);

bool same(const QVFileDesc &a, const QVFileDesc &b);
// Header entry i (or second-table entry i), decoded from the package bytes.
QVFileDesc entry(const Package &pkg, std::uint32_t i, bool ext = false);
Bytes pattern(std::size_t n, std::uint8_t seed);
Bytes slice(const Bytes &bytes, std::size_t offset, std::size_t len);
std::string resolved(const std::string &path);
// A file of `size` bytes (sparse beyond `head`).
void sparse_file(const std::string &path, const Bytes &head, std::uint64_t size);
// A Unix socket bound at path: open() refuses it (ENXIO), even for root.
void make_socket(const std::string &path);
// Sets a big-endian word and, unless told otherwise, the header CRC again.
Package with(Package pkg, std::size_t pos, std::uint32_t value, bool reseal = true);

// Three sub-files: 0x10 boot.bin (100 bytes), 0x20 kernel.bin (5000),
// 0x30 rootfs.img (3000).
Package three_files();
// 255 header sub-files (0x1000 + i, "h<i>"), the dummy bin file, and `ext`
// extend sub-files 0x5000 + i ("e<i>", i + 3 bytes); with dup, a last raw
// extend entry {0x5000, 1, 2, 3, 4, 5} lists 0x5000 again.
Package ext_package(std::uint32_t ext = 3, bool dup = false);
// 255 raw header entries and n raw extend entries 0x100000 + i.
Package long_ext(std::uint32_t n);
// A bin file of `payload`, its dataLen set to dataLen, `trailer` bytes after.
Bytes bin_file(const Bytes &payload, std::uint32_t dataLen, std::size_t trailer = 0);

// Fills 64 KiB of stack below the caller with a non-zero pattern, so that
// a buffer a callee forgets to clear shows in its output.
void dirty_stack();
// Runs body in a child process (for process-wide limits); the test fails
// unless body returns an empty text.
void in_child(const std::function<std::string()> &body);

class UmaskScope {
  public:
    explicit UmaskScope(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskScope() { ::umask(old_); }
    UmaskScope(const UmaskScope &) = delete;
    UmaskScope &operator=(const UmaskScope &) = delete;

  private:
    mode_t old_;
};

struct Sandbox {
    Sandbox();
    // Writes the package image and remembers it (image) for in-memory calls.
    void put(const Bytes &bytes);
    [[nodiscard]] Lines expand(const Lines &lines) const;
    [[nodiscard]] const char *p() const { return pkg.c_str(); }
    [[nodiscard]] const char *o() const { return out.c_str(); }

    ScratchDir dir;
    LogCapture log;
    FdLeakCheck fds;
    UmaskScope umask{022};
    std::string pkg, out;
    Bytes image;
    QVFileDesc info = kUntouched;
    char msg[QVPKG_MSG_BUF_LEN] = "caller";
};

using Input = std::function<void(Sandbox &)>;
Input pkg(const Package &p);
Input raw(const Bytes &b);

// A row of a failure table. On failure the out-record stays kUntouched and
// (unless outChanged) nothing is created at the output path.
struct Row {
    const char *name;
    Input input;
    std::function<int(Sandbox &)> call;
    int code;
    Lines log;
    std::function<void(Sandbox &)> after = nullptr;
    bool outChanged = false;
};
void run_rows(const std::vector<Row> &rows);

}  // namespace rztest
