// SPDX-License-Identifier: MIT
// Whole-package verification by path, as a host calls it, and the same walk
// on a heap copy of exactly the file's length: the two must agree, and the
// heap copy lets the sanitizer catch any read past the end of the package
// (a read past the end of a mapping stays unnoticed up to the page's end).
// On that copy, ranges summed from the table of running checksums and
// ranges summed one by one must give the same code and text.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.hpp"
#include "verify/walk.hpp"

namespace {

constexpr char kOk[] = "Info: System software CRC check OK!\n";

// A message buffer of exactly `size` bytes holding an empty text.
struct Msg {
    explicit Msg(std::size_t n) : size(n), text(static_cast<char *>(std::malloc(n))) {
        text[0] = '\0';
    }
    ~Msg() { std::free(text); }
    Msg(const Msg &) = delete;
    Msg &operator=(const Msg &) = delete;
    [[nodiscard]] bool terminated() const { return std::memchr(text, '\0', size) != nullptr; }
    std::size_t size;
    char *text;
};

// True when the extension check may be called on this image: entry 255 is
// there, and the dummy bin file, its whole table and every sub-file the
// table lists lie inside it.
bool extension_within(const std::vector<std::uint8_t> &pkg, QVFileDesc &ext) {
    if (pkg.size() < QVPKG_HEADER_SIZE || rzfuzz::be32_at(pkg, 4) != QVPKG_MAX_FILE_NUM) {
        return false;
    }
    ext = rzfuzz::header_entry(pkg, 255);
    const std::uint64_t dummy = ext.offset;
    if (dummy + BIN_HEADER_SIZE > pkg.size()) {
        return false;
    }
    const std::uint64_t n = rzfuzz::be32_at(pkg, dummy + 16);
    if (n > EXT_MAX_FILE_NUM || dummy + BIN_HEADER_SIZE + 36 + 24 * n > pkg.size()) {
        return false;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        QVFileDesc d{};
        rzfuzz::extension_entry(pkg, i, d);
        if (std::uint64_t{d.offset} + d.length > pkg.size()) {
            return false;
        }
        if (d.length >= BIN_HEADER_SIZE &&
            BIN_HEADER_SIZE + std::uint64_t{rzfuzz::be32_at(pkg, d.offset + 340)} > d.length) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    rzfuzz::Prefix prefix;
    std::vector<std::uint8_t> pkg;
    if (!rzfuzz::take_package(data, size, prefix, pkg)) {
        return 0;
    }
    const bool at = (prefix.flags & rzfuzz::kAtInPath) != 0;
    const std::string path = rzfuzz::put_file(at ? "pkg@v5.qv" : "pkg.qv", pkg);
    const int fds = rzfuzz::open_fd_count();
    const std::size_t msgSize = 1 + prefix.small % 512;

    Msg msg(msgSize);
    const std::int32_t r =
        QVPKG_ChkQVFileInfo(path.c_str(), msg.text, static_cast<std::uint32_t>(msgSize));
    rzfuzz::expect(r == QVPKG_OK || r == QVPKG_ERR || r == QVPKG_ERR_LENGTH ||
                       r == QVPKG_ERR_HEADER || r == QVPKG_ERR_NAME,
                   "unexpected verification result");
    rzfuzz::expect(msg.terminated(), "verdict left unterminated");
    if (r == QVPKG_OK) {
        rzfuzz::expect(std::strncmp(msg.text, kOk, msgSize - 1) == 0,
                       "success without its verdict");
    }
    rzfuzz::expect(r != QVPKG_ERR_NAME || at, "name rule refused a path without '@'");
    rzfuzz::expect(rzfuzz::open_fd_count() == fds, "a descriptor leaked");

    if (pkg.size() < QVPKG_HEADER_SIZE) {
        rzfuzz::expect(r == QVPKG_ERR || r == QVPKG_ERR_NAME, "a short file was not refused");
        return 0;
    }
    // The walk on exactly the package's bytes, with a full-sized verdict.
    auto *copy = static_cast<std::uint8_t *>(std::malloc(pkg.size()));
    std::memcpy(copy, pkg.data(), pkg.size());
    Msg verdict(QVPKG_MSG_BUF_LEN);
    const std::int32_t walk = QVPKG_ChkSubFileInfo(copy, static_cast<std::uint32_t>(pkg.size()),
                                                   verdict.text, QVPKG_MSG_BUF_LEN);
    if (r != QVPKG_ERR_NAME) {
        rzfuzz::expect(walk == r, "the walk on memory and the check by path disagree");
    }

    // The bounded summing against the straightforward one.
    Msg direct(QVPKG_MSG_BUF_LEN);
    Msg tabled(QVPKG_MSG_BUF_LEN);
    const auto len = static_cast<std::uint32_t>(pkg.size());
    const std::int32_t d = rerazera::check_package(copy, len, direct.text, QVPKG_MSG_BUF_LEN,
                                                   nullptr, rerazera::CrcMode::Direct);
    const std::int32_t t = rerazera::check_package(copy, len, tabled.text, QVPKG_MSG_BUF_LEN,
                                                   nullptr, rerazera::CrcMode::Tabled);
    rzfuzz::expect(d == walk && t == d, "summing modes disagree on the code");
    rzfuzz::expect(std::strcmp(direct.text, tabled.text) == 0,
                   "summing modes disagree on the text");

    // The extension check, where its preconditions hold.
    QVFileDesc ext{};
    if (extension_within(pkg, ext)) {
        (void)QVPKG_ChkQVExtFileInfo(copy, &ext, verdict.text, QVPKG_MSG_BUF_LEN);
    }
    std::free(copy);
    return 0;
}
