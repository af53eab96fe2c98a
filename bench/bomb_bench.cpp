// SPDX-License-Identifier: MIT
// Verification of a package whose entries claim far more than the file,
// next to a plain package of the same size: 255 empty header entries and an
// extension of 1,048,575 entries that all describe one 8 MiB sub-file
// (about 33 MB, claiming some 8.8 TB), against one sub-file filling 33 MB.
// The per-entry report is also timed on the same table over a 64-byte
// sub-file: its cost is one report per entry either way, and that anchor
// shows what the 8 MiB the entries claim adds, and nothing else.
// The files live under /tmp, hot in the page cache, removed at exit. Each
// benchmark also reports the process's peak resident memory during the
// checks (the mapped file included) as peak_MiB.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "ratio.hpp"
#include "rerazera.h"
#include "rerazera/package.h"
#include "writer/bombs.hpp"

namespace {

constexpr std::uint32_t kCopies = 1048575;
constexpr std::size_t kPayload = std::size_t{8} << 20;

class Files {
  public:
    static const std::string &path(int bomb) {
        static Files files;
        return files.paths_[bomb];
    }

  private:
    Files() {
        const std::string base = "/tmp/rerazera-bomb-" + std::to_string(::getpid());
        paths_[0] = base + "-plain.qv";
        paths_[1] = base + "-bomb.qv";
        paths_[2] = base + "-same-table.qv";
        rerazera::writer::identical_ranges(kCopies, 64).write(paths_[2]);
        std::size_t size = 0;
        {
            const auto bomb = rerazera::writer::identical_ranges(kCopies, kPayload);
            size = bomb.bytes.size();
            bomb.write(paths_[1]);
        }
        rerazera::writer::PackageBuilder plain;
        plain.add(rerazera::writer::SubFile{0x10, "plain", "",
                                            std::vector<std::uint8_t>(size - 6180 - 352, 0x5A)});
        plain.build().write(paths_[0]);
    }
    ~Files() {
        for (const std::string &p : paths_) {
            std::remove(p.c_str());
        }
    }
    std::string paths_[3];
};

// Resets the peak resident size, so the next reading covers what follows.
void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}
double peak_mib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return -1;
}

void BM_BombCheck(benchmark::State &state) {
    const std::string &path = Files::path(static_cast<int>(state.range(0)));
    reset_peak();
    for (auto _ : state) {
        char msg[256] = "";
        if (QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg) != QVPKG_OK) {
            state.SkipWithError(msg);
            break;
        }
    }
    state.counters["peak_MiB"] = peak_mib();
}

BENCHMARK(BM_BombCheck)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The per-entry report through a handle: every entry, not one verdict.
void BM_BombReport(benchmark::State &state) {
    const std::string &path = Files::path(static_cast<int>(state.range(0)));
    reset_peak();
    for (auto _ : state) {
        rerazera_package *pkg = nullptr;
        if (rerazera_package_open_path(path.c_str(), nullptr, &pkg) != RERAZERA_OK) {
            state.SkipWithError("open");
            break;
        }
        std::uint64_t ok = 0;
        const int r = rerazera_package_report(
            pkg,
            [](void *ctx, const rerazera_entry_report *rep) {
                *static_cast<std::uint64_t *>(ctx) += rep->ok;
                return 0;
            },
            &ok);
        rerazera_package_free(pkg);
        if (r != RERAZERA_OK) {
            state.SkipWithError("report");
            break;
        }
        benchmark::DoNotOptimize(ok);
    }
    state.counters["peak_MiB"] = peak_mib();
}

BENCHMARK(BM_BombReport)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

const bool kRatios = rzbench::add_ratio("33 MB bomb / plain 33 MB, QVPKG_ChkQVFileInfo",
                                        "BM_BombCheck/1/repeats:5/real_time",
                                        "BM_BombCheck/0/repeats:5/real_time", 3.0) &&
                     rzbench::add_ratio("33 MB bomb / plain 33 MB, per-entry report",
                                        "BM_BombReport/1/repeats:5/real_time",
                                        "BM_BombReport/0/repeats:5/real_time") &&
                     rzbench::add_ratio("33 MB bomb / same table, 64 B sub-file, report",
                                        "BM_BombReport/1/repeats:5/real_time",
                                        "BM_BombReport/2/repeats:5/real_time", 3.0);

}  // namespace
