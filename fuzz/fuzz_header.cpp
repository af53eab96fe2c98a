// SPDX-License-Identifier: MIT
// Header access on a package file: header loading and checking, the product
// type query, and a positioned read at an offset and length from the input.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    rzfuzz::Prefix prefix;
    std::vector<std::uint8_t> pkg;
    if (!rzfuzz::take_package(data, size, prefix, pkg)) {
        return 0;
    }
    const std::string path = rzfuzz::put_file("header.qv", pkg);
    const int fds = rzfuzz::open_fd_count();

    if (QVHeader *header = QVPKG_GetQVHeader(path.c_str())) {
        rzfuzz::expect(pkg.size() >= QVPKG_HEADER_SIZE, "a header loaded from a short file");
        rzfuzz::expect(std::memcmp(header, pkg.data(), QVPKG_HEADER_SIZE) == 0,
                       "the header image differs from the file");
        rzfuzz::expect(QVPKG_ChkQvHeader(header) == QVPKG_OK, "a loaded header fails its check");
        std::free(header);
    }

    std::uint32_t type = 0xA5A5A5A5u;
    const std::int32_t r = QVPKG_ExtractProductTypeFromQV(path.c_str(), &type);
    if (r == QVPKG_OK) {
        rzfuzz::expect(
            pkg.size() >= QVPKG_HEADER_SIZE && type == ((std::uint32_t{pkg[30]} << 8) | pkg[31]),
            "wrong product type");
    } else {
        rzfuzz::expect(type == 0xA5A5A5A5u, "product type written on failure");
    }

    // A read of `small` bytes at `key`, into a buffer of exactly that size
    // (one byte for a read of nothing, so the pointer is never null).
    std::vector<std::uint8_t> buf(prefix.small == 0 ? 1 : prefix.small);
    const auto offset = static_cast<std::int32_t>(prefix.key);
    if (QVPKG_ReadFileByOffset(path.c_str(), offset, buf.data(), prefix.small) == QVPKG_OK) {
        // A read of nothing succeeds at any position the seek accepts, even
        // past the end of the file.
        rzfuzz::expect(offset >= 0, "positioned read at a negative position");
        rzfuzz::expect(
            prefix.small == 0 || (std::uint64_t(offset) + prefix.small <= pkg.size() &&
                                  std::memcmp(buf.data(), pkg.data() + offset, prefix.small) == 0),
            "positioned read returned the wrong bytes");
    }

    // The check on an image of exactly 6180 heap bytes.
    if (pkg.size() >= QVPKG_HEADER_SIZE) {
        std::vector<std::uint8_t> image(pkg.begin(), pkg.begin() + QVPKG_HEADER_SIZE);
        (void)QVPKG_ChkQvHeader(reinterpret_cast<const QVHeader *>(image.data()));
    }
    rzfuzz::expect(rzfuzz::open_fd_count() == fds, "a descriptor leaked");
    return 0;
}
