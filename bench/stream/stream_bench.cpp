// SPDX-License-Identifier: MIT
// The streaming verifier fed a 1 GiB package from memory in 1 MiB pieces,
// next to the whole-file check of the same package mapped from a file hot in
// the page cache (the time a host pays today once the download is stored).
// Its own program: it links the package API's archive, whose diagnostics
// route differs from librerazera's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ratio.hpp"
#include "rerazera.h"
#include "rerazera/package.h"
#include "writer/package_writer.hpp"

namespace {

constexpr std::size_t kSubFiles = 16;
constexpr std::size_t kPayload = (std::size_t{1} << 30) / kSubFiles - 352;  // 1 GiB in all
constexpr std::size_t kPiece = std::size_t{1} << 20;

// The package, in memory and in a file under /tmp removed at exit.
class Package {
  public:
    static const Package &get() {
        static const Package package;
        return package;
    }
    std::vector<std::uint8_t> bytes;
    std::string path;

  private:
    Package() {
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
        bytes = builder.build().bytes;
        path = "/tmp/rerazera-stream-bench-" + std::to_string(::getpid()) + ".qv";
        const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        for (std::size_t at = 0; fd >= 0 && at < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
            if (n <= 0) {
                break;
            }
            at += static_cast<std::size_t>(n);
        }
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
    ~Package() { std::remove(path.c_str()); }
};

void BM_StreamFeed(benchmark::State &state) {
    const Package &pkg = Package::get();
    for (auto _ : state) {
        rerazera_stream *s = nullptr;
        if (rerazera_stream_new(nullptr, &s) != RERAZERA_OK) {
            state.SkipWithError("no stream");
            break;
        }
        for (std::size_t at = 0; at < pkg.bytes.size(); at += kPiece) {
            (void)rerazera_stream_feed(s, pkg.bytes.data() + at,
                                       std::min(kPiece, pkg.bytes.size() - at));
        }
        int32_t code = -1;
        const int32_t r = rerazera_stream_finish(s, -1, nullptr, 0, &code);
        rerazera_stream_free(s);
        if (r != RERAZERA_OK || code != QVPKG_OK) {
            state.SkipWithError("the stream refused the package");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

void BM_MappedVerify(benchmark::State &state) {
    const Package &pkg = Package::get();
    for (auto _ : state) {
        char msg[256] = "";
        if (QVPKG_ChkQVFileInfo(pkg.path.c_str(), msg, sizeof msg) != QVPKG_OK) {
            state.SkipWithError(msg);
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

BENCHMARK(BM_MappedVerify)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StreamFeed)->Unit(benchmark::kMillisecond)->UseRealTime();

const bool kRatio = rzbench::add_ratio("stream, 1 MiB pieces / mapped whole-file check",
                                       "BM_StreamFeed/real_time", "BM_MappedVerify/real_time", 1.1);

}  // namespace
