// SPDX-License-Identifier: MIT
#include "stream/gib_package.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "rerazera.h"
#include "rerazera/package.h"
#include "writer/package_writer.hpp"

namespace rzbench {

std::vector<std::uint8_t> gib_package() {
    constexpr std::size_t kSubFiles = 16;
    constexpr std::size_t kPayload = (std::size_t{1} << 30) / kSubFiles - 352;
    rerazera::writer::PackageBuilder builder;
    std::uint32_t seed = 0x9E3779B9u;
    for (std::size_t i = 0; i < kSubFiles; ++i) {
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

bool plain_stream_accepts(const std::vector<std::uint8_t> &bytes) {
    rerazera_stream *s = nullptr;
    if (rerazera_stream_new(nullptr, &s) != RERAZERA_OK) {
        return false;
    }
    for (std::size_t at = 0; at < bytes.size(); at += kStreamPiece) {
        (void)rerazera_stream_feed(s, bytes.data() + at, std::min(kStreamPiece, bytes.size() - at));
    }
    int32_t code = -1;
    const int32_t r = rerazera_stream_finish(s, -1, nullptr, 0, &code);
    rerazera_stream_free(s);
    return r == RERAZERA_OK && code == QVPKG_OK;
}

}  // namespace rzbench
