// SPDX-License-Identifier: MIT
// Whole-package verification of a 1 GiB package hot in the page cache,
// next to the floor for the same work: map the file and read every byte
// once. The package is written twice, in one write (the page cache then
// holds it in large folios, which the kernel maps by 2 MiB entries) and in
// 4 KiB writes, as a download would (4 KiB pages, each mapped on its own).
// Both files live under /tmp and are removed when the program ends.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "format/crc.hpp"
#include "gib_package.hpp"
#include "ratio.hpp"
#include "rerazera.h"
#include "verify/mapping.hpp"
#include "writer/package_writer.hpp"

namespace {

enum Shape { kLargeFolios = 0, kSmallPages = 1 };

// The two package files, made on first use and removed at exit.
class Packages {
  public:
    static const std::string &path(int shape) {
        static Packages packages;
        return packages.paths_[shape];
    }

  private:
    Packages() {
        const std::vector<std::uint8_t> bytes = rzbench::gib_package();
        const std::string base = "/tmp/rerazera-bench-" + std::to_string(::getpid());
        paths_[kLargeFolios] = base + "-large.qv";
        paths_[kSmallPages] = base + "-small.qv";
        write_in_chunks(paths_[kLargeFolios], bytes, bytes.size());
        write_in_chunks(paths_[kSmallPages], bytes, 4096);
    }
    ~Packages() {
        for (const std::string &p : paths_) {
            std::remove(p.c_str());
        }
    }

    // Writes and syncs, so that no writeback runs during the measurements.
    static void write_in_chunks(const std::string &path, const std::vector<std::uint8_t> &bytes,
                                std::size_t chunk) {
        const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        for (std::size_t at = 0; fd >= 0 && at < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + at, std::min(chunk, bytes.size() - at));
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

    std::string paths_[2];
};

__attribute__((noinline)) std::uint64_t sum_words(const std::uint8_t *p, std::size_t n) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        std::uint64_t w;
        __builtin_memcpy(&w, p + i, 8);
        sum += w;
    }
    return sum;
}

// The library's check entry, whole: name rule, map, walk, release.
void BM_Verify(benchmark::State &state) {
    const std::string &path = Packages::path(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        char msg[256] = "";
        if (QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg) != QVPKG_OK) {
            state.SkipWithError(msg);
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

// A host's own steps through the exported functions: map, walk, unmap. The
// same checks without the check entry's hints and chunked feeding.
void BM_MapWalk(benchmark::State &state) {
    const std::string &path = Packages::path(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        char msg[256] = "";
        std::uint32_t len = 0;
        std::uint8_t *base = QVPKG_MapQVFile(path.c_str(), &len, msg, sizeof msg);
        const std::int32_t r =
            base != nullptr ? QVPKG_ChkSubFileInfo(base, len, msg, sizeof msg) : -1;
        if (base != nullptr) {
            QVPKG_UnmapQVFile(base, len);
        }
        if (r != QVPKG_OK) {
            state.SkipWithError(msg);
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

// The floor: map the file plainly and read every byte once.
void BM_MapSum(benchmark::State &state) {
    const std::string &path = Packages::path(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        const off_t len = ::lseek(fd, 0, SEEK_END);
        void *p = ::mmap(nullptr, static_cast<std::size_t>(len), PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        benchmark::DoNotOptimize(
            sum_words(static_cast<const std::uint8_t *>(p), static_cast<std::size_t>(len)));
        ::munmap(p, static_cast<std::size_t>(len));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

// The check entry's way of bringing the mapping in (hints, then chunks fed
// just before they are read), read once: what verification would cost with
// a checksum as cheap as an addition.
void BM_MapFedSum(benchmark::State &state) {
    const std::string &path = Packages::path(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rerazera::Mapping m = rerazera::map_package(path.c_str(), nullptr, 0);
        rerazera::advise_whole_read(m);
        const rerazera::PageFeeder feeder(m);
        std::uint64_t sum = 0;
        for (std::size_t at = 0; at < m.size(); at += rerazera::PageFeeder::kChunk) {
            const std::size_t n =
                std::min<std::size_t>(rerazera::PageFeeder::kChunk, m.size() - at);
            feeder.feed(m.data() + at, n);
            sum += sum_words(m.data() + at, n);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) << 30);
}

// Bringing the mapping in alone, without reading it: plainly by touching
// one byte per 4 KiB page, or fed in chunks as the check entry does.
void BM_MapTouch(benchmark::State &state) {
    const std::string &path = Packages::path(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rerazera::Mapping m = rerazera::map_package(path.c_str(), nullptr, 0);
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < m.size(); i += 4096) {
            sum += m.data()[i];
        }
        benchmark::DoNotOptimize(sum);
    }
}

void BM_MapFeed(benchmark::State &state) {
    const std::string &path = Packages::path(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rerazera::Mapping m = rerazera::map_package(path.c_str(), nullptr, 0);
        rerazera::advise_whole_read(m);
        const rerazera::PageFeeder feeder(m);
        for (std::size_t at = 0; at < m.size(); at += rerazera::PageFeeder::kChunk) {
            feeder.feed(m.data() + at, rerazera::PageFeeder::kChunk);
        }
        benchmark::DoNotOptimize(m.data());
    }
}

// The CRC kernel on 64 MiB of heap memory already in cache and TLB.
void BM_Crc64MiB(benchmark::State &state) {
    std::vector<std::uint8_t> buf(std::size_t{64} << 20, 0x5A);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rerazera::crc16(buf.data(), buf.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}

constexpr int kReps = 5;

void on_both_shapes(benchmark::internal::Benchmark *b) {
    b->Arg(kLargeFolios)->Arg(kSmallPages)->Unit(benchmark::kMillisecond)->UseRealTime();
    b->Repetitions(kReps)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_Verify)->Apply(on_both_shapes);
BENCHMARK(BM_MapWalk)->Apply(on_both_shapes);
BENCHMARK(BM_MapSum)->Apply(on_both_shapes);
BENCHMARK(BM_MapFedSum)->Apply(on_both_shapes);
BENCHMARK(BM_MapTouch)->Apply(on_both_shapes);
BENCHMARK(BM_MapFeed)->Apply(on_both_shapes);
BENCHMARK(BM_Crc64MiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(kReps)
    ->ReportAggregatesOnly(true);

#define RUN(name, shape) #name "/" #shape "/repeats:5/real_time"
const bool kRatios = rzbench::add_ratio("verify 1 GiB, large folios / map+sum", RUN(BM_Verify, 0),
                                        RUN(BM_MapSum, 0), 1.25) &&
                     rzbench::add_ratio("verify 1 GiB, 4 KiB pages / map+sum", RUN(BM_Verify, 1),
                                        RUN(BM_MapSum, 1), 1.25) &&
                     rzbench::add_ratio("verify / exported map+walk, large folios",
                                        RUN(BM_Verify, 0), RUN(BM_MapWalk, 0)) &&
                     rzbench::add_ratio("verify / exported map+walk, 4 KiB pages",
                                        RUN(BM_Verify, 1), RUN(BM_MapWalk, 1)) &&
                     rzbench::add_ratio("fed map+sum, large folios / map+sum", RUN(BM_MapFedSum, 0),
                                        RUN(BM_MapSum, 0)) &&
                     rzbench::add_ratio("fed map+sum, 4 KiB pages / map+sum", RUN(BM_MapFedSum, 1),
                                        RUN(BM_MapSum, 1)) &&
                     rzbench::add_ratio("map+feed / map+touch, large folios", RUN(BM_MapFeed, 0),
                                        RUN(BM_MapTouch, 0)) &&
                     rzbench::add_ratio("map+feed / map+touch, 4 KiB pages", RUN(BM_MapFeed, 1),
                                        RUN(BM_MapTouch, 1));
#undef RUN

}  // namespace
