// SPDX-License-Identifier: MIT
#include "harness.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rzfuzz {
namespace {

constexpr std::uint32_t kHeaderSize = QVPKG_HEADER_SIZE;
constexpr std::uint32_t kBinSize = BIN_HEADER_SIZE;
constexpr std::uint32_t kFileDesc = 32;
constexpr std::uint32_t kDescSize = 24;
constexpr std::uint32_t kBinFileNum = 16;
constexpr std::uint32_t kBinDataLen = 340;
constexpr std::uint32_t kHeadCrc = 4;

// Checksumming is the harness's main cost; past this many bytes per input
// the remaining sub-files are left as they are.
constexpr std::uint64_t kResealBudget = 8u << 20;

void put_be32(std::vector<std::uint8_t> &b, std::uint64_t pos, std::uint32_t v) {
    if (pos + 4 <= b.size()) {
        b[pos] = static_cast<std::uint8_t>(v >> 24);
        b[pos + 1] = static_cast<std::uint8_t>(v >> 16);
        b[pos + 2] = static_cast<std::uint8_t>(v >> 8);
        b[pos + 3] = static_cast<std::uint8_t>(v);
    }
}

std::uint16_t crc_of(const std::vector<std::uint8_t> &b, std::uint64_t pos, std::uint64_t len) {
    std::uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum(b.data() + pos, static_cast<std::int32_t>(len), &crc);
    return crc;
}

// Fixes the bin header checksum of the sub-file at `offset` and the payload
// checksum stored in its descriptor at `descPos`.
void reseal_sub_file(std::vector<std::uint8_t> &b, std::uint64_t descPos, std::uint64_t &budget) {
    const std::uint64_t offset = be32_at(b, descPos + 4);
    const std::uint64_t length = be32_at(b, descPos + 8);
    if (length < kBinSize || offset + kBinSize > b.size()) {
        return;
    }
    put_be32(b, offset + kHeadCrc, crc_of(b, offset + 8, kBinSize - 8));
    const std::uint64_t dataLen = be32_at(b, offset + kBinDataLen);
    const std::uint64_t payload = offset + kBinSize;
    if (payload + dataLen <= b.size() && dataLen <= budget) {
        budget -= dataLen;
        put_be32(b, descPos + 12, crc_of(b, payload, dataLen));
    }
}

// Position of the second table's first byte, and its count, when entry 255
// is the dummy and the whole table lies inside the image.
bool locate_table(const std::vector<std::uint8_t> &b, std::uint64_t &tablePos, std::uint32_t &n) {
    if (b.size() < kHeaderSize || be32_at(b, 4) != QVPKG_MAX_FILE_NUM) {
        return false;
    }
    const std::uint64_t entry255 = kFileDesc + 255u * kDescSize;
    if (be32_at(b, entry255) != DUMMY_DESC_FILE_ID) {
        return false;
    }
    const std::uint64_t dummy = be32_at(b, entry255 + 4);
    if (dummy + kBinSize > b.size()) {
        return false;
    }
    n = be32_at(b, dummy + kBinFileNum);
    tablePos = dummy + kBinSize;
    return tablePos + kFileDesc + std::uint64_t{n} * kDescSize + 4 <= b.size();
}

// Removes a directory holding only plain files (and an already emptied
// subdirectory).
void remove_flat_dir(const std::string &d) {
    if (DIR *dp = ::opendir(d.c_str())) {
        while (const dirent *e = ::readdir(dp)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                ::unlink((d + "/" + name).c_str());
            }
        }
        ::closedir(dp);
    }
    ::rmdir(d.c_str());
}

}  // namespace

bool split_input(const std::uint8_t *data, std::size_t size, Prefix &prefix,
                 std::vector<std::uint8_t> &package) {
    if (size < kPrefixSize || size > kMaxInput) {
        return false;
    }
    prefix.flags = data[0];
    prefix.pick = data[1];
    prefix.small = static_cast<std::uint16_t>((data[2] << 8) | data[3]);
    prefix.key = (std::uint32_t{data[4]} << 24) | (std::uint32_t{data[5]} << 16) |
                 (std::uint32_t{data[6]} << 8) | std::uint32_t{data[7]};
    package.assign(data + kPrefixSize, data + size);
    return true;
}

bool take_package(const std::uint8_t *data, std::size_t size, Prefix &prefix,
                  std::vector<std::uint8_t> &package) {
    if (!split_input(data, size, prefix, package)) {
        return false;
    }
    if ((prefix.flags & kReseal) != 0) {
        reseal(package);
    }
    return true;
}

std::vector<std::uint8_t> join_input(const Prefix &prefix,
                                     const std::vector<std::uint8_t> &package) {
    std::vector<std::uint8_t> out;
    out.reserve(kPrefixSize + package.size());
    for (const std::uint32_t byte :
         {std::uint32_t{prefix.flags}, std::uint32_t{prefix.pick}, std::uint32_t{prefix.small} >> 8,
          std::uint32_t{prefix.small}, prefix.key >> 24, prefix.key >> 16, prefix.key >> 8,
          prefix.key}) {
        out.push_back(static_cast<std::uint8_t>(byte));
    }
    for (const std::uint8_t byte : package) {
        out.push_back(byte);
    }
    return out;
}

std::uint32_t be32_at(const std::vector<std::uint8_t> &b, std::uint64_t pos) {
    if (pos + 4 > b.size()) {
        return 0;
    }
    return (std::uint32_t{b[pos]} << 24) | (std::uint32_t{b[pos + 1]} << 16) |
           (std::uint32_t{b[pos + 2]} << 8) | std::uint32_t{b[pos + 3]};
}

void reseal(std::vector<std::uint8_t> &b) {
    if (b.size() < kHeaderSize) {
        return;
    }
    std::uint64_t budget = kResealBudget;
    // The extension first: its sub-files' checksums live in the table, the
    // table's checksum covers them, and entry 255's payload checksum covers
    // the table.
    std::uint64_t tablePos = 0;
    std::uint32_t n = 0;
    if (locate_table(b, tablePos, n)) {
        for (std::uint32_t i = 0; i < n && budget > 0; ++i) {
            reseal_sub_file(b, tablePos + kFileDesc + std::uint64_t{i} * kDescSize, budget);
        }
        const std::uint64_t crcLen = kFileDesc + std::uint64_t{n} * kDescSize;
        put_be32(b, tablePos + crcLen, crc_of(b, tablePos, crcLen));
    }
    const std::uint32_t count = std::min<std::uint32_t>(be32_at(b, 4), QVPKG_MAX_FILE_NUM);
    for (std::uint32_t i = 0; i < count; ++i) {
        reseal_sub_file(b, kFileDesc + std::uint64_t{i} * kDescSize, budget);
    }
    put_be32(b, QVPKG_HEADER_CRC_LEN, crc_of(b, 0, QVPKG_HEADER_CRC_LEN));
}

QVFileDesc header_entry(const std::vector<std::uint8_t> &pkg, std::uint32_t i) {
    const std::uint64_t p = kFileDesc + std::uint64_t{i % 256} * kDescSize;
    return QVFileDesc{be32_at(pkg, p),      be32_at(pkg, p + 4),  be32_at(pkg, p + 8),
                      be32_at(pkg, p + 12), be32_at(pkg, p + 16), be32_at(pkg, p + 20)};
}

std::uint32_t extension_count(const std::vector<std::uint8_t> &pkg) {
    std::uint64_t tablePos = 0;
    std::uint32_t n = 0;
    return locate_table(pkg, tablePos, n) ? n : 0;
}

bool extension_entry(const std::vector<std::uint8_t> &pkg, std::uint32_t i, QVFileDesc &out) {
    std::uint64_t tablePos = 0;
    std::uint32_t n = 0;
    if (!locate_table(pkg, tablePos, n) || i >= n) {
        return false;
    }
    const std::uint64_t p = tablePos + kFileDesc + std::uint64_t{i} * kDescSize;
    out = QVFileDesc{be32_at(pkg, p),      be32_at(pkg, p + 4),  be32_at(pkg, p + 8),
                     be32_at(pkg, p + 12), be32_at(pkg, p + 16), be32_at(pkg, p + 20)};
    return true;
}

std::string bin_text(const std::vector<std::uint8_t> &pkg, std::uint32_t offset,
                     std::uint32_t field, std::uint32_t width) {
    const std::uint64_t start = std::uint64_t{offset} + field;
    if (start >= pkg.size()) {
        return {};
    }
    const std::uint64_t end = std::min<std::uint64_t>(start + width, pkg.size());
    std::string text;
    for (std::uint64_t p = start; p < end && pkg[p] != 0; ++p) {
        text.push_back(static_cast<char>(pkg[p]));
    }
    return text;
}

// The directories' names live for the whole process (never destroyed), so
// the clean-up at exit can still use them.
const std::string &scratch_dir() {
    static const std::string *const dir = [] {
        std::string base = "/dev/shm";
        if (::access(base.c_str(), W_OK) != 0) {
            const char *tmp = std::getenv("TMPDIR");
            base = tmp != nullptr ? tmp : "/tmp";
        }
        auto *templ = new std::string(base + "/rzfuzz-XXXXXX");
        if (::mkdtemp(templ->data()) == nullptr) {
            fail("cannot create the scratch directory");
        }
        std::atexit([] {
            remove_flat_dir(scratch_dir() + "/out");
            remove_flat_dir(scratch_dir());
        });
        return templ;
    }();
    return *dir;
}

const std::string &output_dir() {
    static const std::string *const dir = [] {
        auto *d = new std::string(scratch_dir() + "/out");
        if (::mkdir(d->c_str(), 0700) != 0) {
            fail("cannot create the output directory");
        }
        return d;
    }();
    return *dir;
}

std::string put_file(const std::string &name, const std::uint8_t *data, std::size_t size) {
    const std::string path = scratch_dir() + "/" + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Name the file and the reason: a scratch directory removed from
        // under a running fuzzer must not pass for a finding in the library.
        const std::string what = "cannot create scratch file " + path + ": " + std::strerror(errno);
        fail(what.c_str());
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            fail("cannot write a scratch file");
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return path;
}

bool get_file(const std::string &path, std::vector<std::uint8_t> &out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    out.clear();
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    ::close(fd);
    return true;
}

void drop_file(const std::string &path) {
    ::unlink(path.c_str());
}

int open_fd_count() {
    int count = 0;
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (const dirent *e = ::readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count - 1;
}

void fail(const char *what) {
    std::fprintf(stderr, "rzfuzz: %s\n", what);
    std::abort();
}

}  // namespace rzfuzz

// ---- The system log --------------------------------------------------------
//
// The library logs every failure; a fuzzer fails nearly every call. The
// targets define the logger themselves, so nothing reaches the real system
// log, and every line is still formatted: a text field printed with %s that
// lacks its terminator is then read to its end and caught by the sanitizer.
// RZFUZZ_LOG=1 echoes the lines to stderr when reproducing a finding.

namespace {

void format_line(const char *format, va_list args) {
    static const bool echo = std::getenv("RZFUZZ_LOG") != nullptr;
    char line[2048];
    std::vsnprintf(line, sizeof line, format, args);
    if (echo) {
        std::fputs(line, stderr);
    }
}

}  // namespace

extern "C" {

void vsyslog(int /*priority*/, const char *format, va_list args) {
    format_line(format, args);
}

void syslog(int /*priority*/, const char *format, ...) {
    va_list args;
    va_start(args, format);
    format_line(format, args);
    va_end(args);
}

void __vsyslog_chk(int /*priority*/, int /*flag*/, const char *format, va_list args) {
    format_line(format, args);
}

void __syslog_chk(int /*priority*/, int /*flag*/, const char *format, ...) {
    va_list args;
    va_start(args, format);
    format_line(format, args);
    va_end(args);
}

}  // extern "C"
