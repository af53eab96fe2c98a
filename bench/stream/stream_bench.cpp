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

#include "gib_package.hpp"
#include "ratio.hpp"
#include "rerazera.h"
#include "rerazera/package.h"
#include "stream/plain_stream.hpp"

namespace {

// The package, in memory and in a file under /tmp removed at exit.
class Package {
  public:
    static const Package &get() {
        static const Package package;
        return package;
    }
    std::vector<std::uint8_t> bytes = rzbench::gib_package();
    std::string path = "/tmp/rerazera-stream-bench-" + std::to_string(::getpid()) + ".qv";

  private:
    Package() { (void)rzbench::write_package(path, bytes); }
    ~Package() { std::remove(path.c_str()); }
};

void BM_StreamFeed(benchmark::State &state) {
    const Package &pkg = Package::get();
    for (auto _ : state) {
        if (!rzbench::plain_stream_accepts(pkg.bytes)) {
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
