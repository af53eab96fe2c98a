// SPDX-License-Identifier: MIT
// Extraction by ID and by name to an output file, compared with the package
// bytes it must copy.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

constexpr std::uint32_t kName = 244;
constexpr std::uint32_t kNameWidth = 96;

// The staging buffer is as long as the descriptor says (up to 4 GiB) and is
// zero-filled before the read finds that the package is shorter: by design,
// extraction takes as much memory as the sub-file is long. The harness keeps
// to lengths a package of the input's size could hold, with a margin so
// that ranges past the end still reach the short read.
constexpr std::uint64_t kMaxExtract = 2 * rzfuzz::kMaxInput;

void expect_copy(const std::vector<std::uint8_t> &pkg, const QVFileDesc &d,
                 const std::string &out) {
    std::vector<std::uint8_t> got;
    rzfuzz::expect(rzfuzz::get_file(out, got), "no output after a successful extraction");
    rzfuzz::expect(std::uint64_t{d.offset} + d.length <= pkg.size() && got.size() == d.length &&
                       std::equal(got.begin(), got.end(), pkg.begin() + d.offset),
                   "the extracted file differs from the package bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    rzfuzz::Prefix prefix;
    std::vector<std::uint8_t> pkg;
    if (!rzfuzz::take_package(data, size, prefix, pkg)) {
        return 0;
    }
    const std::string path = rzfuzz::put_file("extract.qv", pkg);
    const int fds = rzfuzz::open_fd_count();

    auto id = static_cast<std::int32_t>(prefix.key);
    QVFileDesc entry = rzfuzz::header_entry(pkg, prefix.pick);
    if ((prefix.flags & rzfuzz::kKeyFromPackage) != 0) {
        const std::uint32_t n = rzfuzz::extension_count(pkg);
        if ((prefix.flags & rzfuzz::kKeyFromExtension) != 0 && n > 0) {
            rzfuzz::extension_entry(pkg, prefix.key % n, entry);
        }
        id = static_cast<std::int32_t>(entry.fileId);
    }

    // By ID: the descriptor the lookup finds decides what must be copied.
    QVFileDesc found{};
    if (QVPKG_GetQVFileInfo(path.c_str(), &found, id) == QVPKG_OK && found.length <= kMaxExtract) {
        const std::string out = rzfuzz::scratch_dir() + "/by-id.out";
        rzfuzz::drop_file(out);
        const std::int32_t r = QVPKG_ExtractFileFromQV(path.c_str(), out.c_str(), id);
        if (r == QVPKG_OK) {
            expect_copy(pkg, found, out);
        } else {
            std::vector<std::uint8_t> got;
            rzfuzz::expect(!rzfuzz::get_file(out, got), "a failed extraction created its output");
        }
    }

    // By name: the output file's own name is the key. Names that are not a
    // plain file name are replaced, and the output goes to a directory of its
    // own, so nothing is written over the package or outside the scratch
    // directory.
    std::string name = rzfuzz::bin_text(pkg, entry.offset, kName, kNameWidth);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        name = "sub.bin";
    }
    found = QVFileDesc{};
    const std::string out = rzfuzz::output_dir() + "/" + name;
    if (QVPKG_GetQVFileInfoByName(path.c_str(), &found, name.c_str()) == QVPKG_OK &&
        found.length <= kMaxExtract) {
        rzfuzz::drop_file(out);
        if (QVPKG_ExtractFileByName(path.c_str(), out.c_str(), 0600) == QVPKG_OK) {
            expect_copy(pkg, found, out);
        }
    }
    rzfuzz::drop_file(out);

    // A raw range from the input: offset `key`, length `small`.
    const std::string raw = rzfuzz::scratch_dir() + "/range.out";
    if (QVPKG_ExtractSubFile(path.c_str(), raw.c_str(), static_cast<std::int32_t>(prefix.key),
                             prefix.small, 0600) == QVPKG_OK) {
        expect_copy(pkg, QVFileDesc{0, prefix.key, prefix.small, 0, 0, 0}, raw);
    }
    rzfuzz::drop_file(raw);
    rzfuzz::expect(rzfuzz::open_fd_count() == fds, "a descriptor leaked");
    return 0;
}
