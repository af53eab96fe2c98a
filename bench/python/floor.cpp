// SPDX-License-Identifier: MIT
// The C side of the Python module's benchmark (python_bench.py):
//   floor million PATH       writes a package with 1,048,575 extend subfiles
//   floor verify PATH RUNS   median seconds of rerazera_package_verify
//   floor stream PATH RUNS   median seconds of feeding it in 1 MiB pieces
#include <rerazera/package.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;

constexpr std::uint32_t kExtend = 1048575;
constexpr std::uint32_t kHeaderSize = 6180;
constexpr std::uint32_t kBinHeaderSize = 352;
constexpr std::size_t kPiece = std::size_t{1} << 20;

// 255 header sub-files, then extend subfiles that all describe the first of
// them under distinct IDs (the names come from its bin header).
void write_million(const std::string &path) {
    PackageBuilder builder;
    const std::vector<std::uint8_t> payload(64, 0x5A);
    for (std::uint32_t i = 0; i < 255; ++i) {
        builder.add(
            SubFile{i + 1, "part" + std::to_string(i) + ".bin", "header sub-file", payload, 0, 0});
    }
    const RawDesc shared{0,
                         kHeaderSize,
                         static_cast<std::uint32_t>(kBinHeaderSize + payload.size()),
                         rerazera::writer::crc16(payload.data(), payload.size()),
                         0,
                         0};
    for (std::uint32_t i = 0; i < kExtend; ++i) {
        RawDesc d = shared;
        d.fileId = 0x100000 + i;
        builder.add_extend_raw(d);
    }
    builder.build().write(path);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int run(const char *mode, const char *path, int runs) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        std::perror(path);
        return 2;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void *map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        std::perror("mmap");
        return 2;
    }
    rerazera_package *pkg = nullptr;
    if (rerazera_package_open_fd(fd, nullptr, &pkg) != RERAZERA_OK) {
        std::fprintf(stderr, "%s: cannot open\n", path);
        return 2;
    }
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        char msg[1024];
        std::int32_t code = 0;
        const auto t0 = std::chrono::steady_clock::now();
        if (std::strcmp(mode, "verify") == 0) {
            rerazera_package_verify(pkg, msg, sizeof msg, &code);
        } else {
            rerazera_stream *s = nullptr;
            if (rerazera_stream_new(nullptr, &s) != RERAZERA_OK) {
                return 2;
            }
            const auto *bytes = static_cast<const unsigned char *>(map);
            for (std::size_t at = 0; at < size; at += kPiece) {
                rerazera_stream_feed(s, bytes + at, std::min(kPiece, size - at));
            }
            rerazera_stream_finish(s, -1, msg, sizeof msg, &code);
            rerazera_stream_free(s);
        }
        times.push_back(seconds_since(t0));
    }
    std::sort(times.begin(), times.end());
    std::printf("%.6f\n", times[times.size() / 2]);
    rerazera_package_free(pkg);
    ::munmap(map, size);
    ::close(fd);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "million") == 0) {
        write_million(argv[2]);
        return 0;
    }
    if (argc == 4 && (std::strcmp(argv[1], "verify") == 0 || std::strcmp(argv[1], "stream") == 0)) {
        return run(argv[1], argv[2], std::max(1, std::atoi(argv[3])));
    }
    std::fprintf(stderr, "usage: floor million PATH | floor verify|stream PATH RUNS\n");
    return 2;
}
