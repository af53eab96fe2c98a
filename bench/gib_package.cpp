// SPDX-License-Identifier: MIT
#include "gib_package.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "writer/package_writer.hpp"

namespace rzbench {

std::vector<std::uint8_t> gib_package(std::uint32_t seed) {
    constexpr std::size_t kPayload = (std::size_t{1} << 30) / kGibSubFiles - 352;
    rerazera::writer::PackageBuilder builder;
    for (std::size_t i = 0; i < kGibSubFiles; ++i) {
        std::vector<std::uint8_t> payload(kPayload);
        for (std::uint8_t &b : payload) {
            seed = seed * 1664525u + 1013904223u;
            b = static_cast<std::uint8_t>(seed >> 24);
        }
        builder.add(rerazera::writer::SubFile{static_cast<std::uint32_t>(0x100 + i),
                                              "part" + std::to_string(i), "bench",
                                              std::move(payload)});
    }
    return builder.build().bytes;
}

bool write_package(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n <= 0) {
            break;
        }
        at += static_cast<std::size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced && at == bytes.size();
}

}  // namespace rzbench
