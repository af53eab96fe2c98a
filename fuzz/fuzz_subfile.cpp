// SPDX-License-Identifier: MIT
// The sub-file test on a heap buffer exactly as long as its descriptor
// says: the input supplies flags, the descriptor and the sub-file bytes, and
// any read past the buffer is caught by the sanitizer.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "harness.hpp"

namespace {

std::uint16_t crc_of(const std::uint8_t *p, std::size_t n) {
    std::uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum(p, static_cast<std::int32_t>(n), &crc);
    return crc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    rzfuzz::Prefix prefix;
    std::vector<std::uint8_t> rest;
    if (!rzfuzz::split_input(data, size, prefix, rest) || rest.size() < 24) {
        return 0;
    }
    QVFileDesc desc{
        rzfuzz::be32_at(rest, 0),  rzfuzz::be32_at(rest, 4),  0,
        rzfuzz::be32_at(rest, 12), rzfuzz::be32_at(rest, 16), rzfuzz::be32_at(rest, 20)};
    const std::size_t n = rest.size() - 24;
    desc.length = static_cast<std::uint32_t>(n);
    // Exactly n bytes on the heap (a zero-length buffer is still a distinct
    // allocation, so any read of it is caught).
    auto *sub = static_cast<std::uint8_t *>(std::malloc(n == 0 ? 1 : n));
    std::memcpy(sub, rest.data() + 24, n);
    if ((prefix.flags & rzfuzz::kReseal) != 0 && n >= 352) {
        const std::uint16_t head = crc_of(sub + 8, 344);
        sub[4] = sub[5] = 0;
        sub[6] = static_cast<std::uint8_t>(head >> 8);
        sub[7] = static_cast<std::uint8_t>(head);
        const std::uint32_t dataLen = (std::uint32_t{sub[340]} << 24) |
                                      (std::uint32_t{sub[341]} << 16) |
                                      (std::uint32_t{sub[342]} << 8) | sub[343];
        if (dataLen <= n - 352) {
            desc.crc = crc_of(sub + 352, dataLen);
        }
    }
    // A message buffer of 1 to 256 bytes, exactly that large.
    const std::size_t msgSize = 1 + prefix.small % 256;
    auto *msg = static_cast<char *>(std::malloc(msgSize));
    msg[0] = '\0';
    const QVFileDesc before = desc;
    const std::int32_t r = QVPKG_ChkSubfile(sub, &desc, msg, static_cast<std::uint32_t>(msgSize));
    rzfuzz::expect(r == QVPKG_OK || r == QVPKG_ERR, "unexpected sub-file test result");
    rzfuzz::expect(std::memchr(msg, '\0', msgSize) != nullptr, "message left unterminated");
    rzfuzz::expect(std::memcmp(&before, &desc, sizeof desc) == 0, "the descriptor was changed");
    if (r == QVPKG_OK && n > 0) {
        rzfuzz::expect(n >= 352, "a sub-file shorter than its bin header passed");
    }
    std::free(msg);
    std::free(sub);
    return 0;
}
