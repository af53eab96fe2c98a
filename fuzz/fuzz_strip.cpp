// SPDX-License-Identifier: MIT
// Bin header stripping: the input is a standalone bin file; the stripped
// payload is written to a second scratch file and compared with the input.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > rzfuzz::kMaxInput) {
        return 0;
    }
    const std::vector<std::uint8_t> bin(data, data + size);
    const std::string in = rzfuzz::put_file("strip.bin", bin);
    const std::string out = rzfuzz::scratch_dir() + "/strip.out";
    rzfuzz::drop_file(out);
    const int fds = rzfuzz::open_fd_count();

    const std::uint32_t dataLen = rzfuzz::be32_at(bin, 340);
    const std::int32_t r = QVPKG_StripBinHeader(in.c_str(), out.c_str());
    std::vector<std::uint8_t> got;
    if (r == QVPKG_OK) {
        rzfuzz::expect(size >= 352 && dataLen <= size - 352, "a payload past the end was accepted");
        rzfuzz::expect(rzfuzz::get_file(out, got) && got.size() == dataLen &&
                           std::equal(got.begin(), got.end(), bin.begin() + 352),
                       "the stripped payload differs from the input");
    } else {
        rzfuzz::expect(r == QVPKG_ERR_IO || r == QVPKG_ERR_LENGTH, "unexpected strip result");
        rzfuzz::expect(!rzfuzz::get_file(out, got), "a refused input created an output");
    }

    // The pieces on their own: the reader's image, and the length test on it.
    std::uint32_t len = 0xA5A5A5A5u;
    if (std::uint8_t *image = QVPKG_ReadBinFile(in.c_str(), &len)) {
        rzfuzz::expect(len == size && std::memcmp(image, bin.data(), size) == 0,
                       "the bin file image differs from the file");
        (void)QVPKG_CheckBinHeader(image, len);
        std::free(image);
    } else {
        rzfuzz::expect(len == 0xA5A5A5A5u, "fileLen written on failure");
    }
    rzfuzz::expect(rzfuzz::open_fd_count() == fds, "a descriptor leaked");
    return 0;
}
