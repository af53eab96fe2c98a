// SPDX-License-Identifier: MIT
// The package API next to the cheapest way to do the same work, in one run:
//   - opening a package and reading all 1,048,575 extension descriptors (and,
//     for information, whole entries with their bin headers), against
//     pread() of the second table into a reused buffer;
//   - the per-entry report of a 1 GiB package (255 sub-files, one of
//     512 MiB), against mapping the file and summing every byte;
//   - extraction of the 512 MiB sub-file to a descriptor, against pread()
//     and write() through one reused 1 MiB buffer; the anonymous memory the
//     extraction holds above its starting point is reported as extra_MiB.
// The packages are written once under $TMPDIR, hot in the page cache, and
// removed at exit; the extraction writes to /dev/shm (tmpfs) when present.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ratio.hpp"
#include "rerazera.h"
#include "rerazera/package.h"
#include "writer/bombs.hpp"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::RawDesc;

constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr std::uint32_t kExtendCount = 1048575;
constexpr std::uint32_t kBigLength = 512u << 20;
constexpr std::uint32_t kSmallLength = 2u << 20;  // 254 of them: about 508 MiB
constexpr std::uint32_t kBigId = 0x5151;

std::string temp_file(const char *name) {
    return (std::filesystem::temp_directory_path() /
            ("rerazera-pkgbench-" + std::to_string(::getpid()) + "-" + name))
        .string();
}

// A bin file of `length` bytes whose payload is a cheap pattern.
std::vector<std::uint8_t> bin_file(std::uint32_t id, std::uint32_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = BIN_HEADER_SIZE; i < bytes.size(); i += 61) {
        bytes[i] = static_cast<std::uint8_t>(i >> 9 ^ id);
    }
    const auto head = rerazera::writer::make_bin_header(
        rerazera::writer::SubFile{id, "f" + std::to_string(id), "benchmark", {}},
        length - BIN_HEADER_SIZE, id);
    std::copy(head.begin(), head.end(), bytes.begin());
    return bytes;
}

class Files {
  public:
    static const Files &get() {
        static const Files files;
        return files;
    }
    std::string extension;  // 1,048,575 extend subfiles over one small sub-file
    std::uint64_t tableOffset = 0, tableSize = 0;
    std::string big;  // 1 GiB, 255 sub-files
    rerazera_entry bigEntry{};

  private:
    Files() {
        extension = temp_file("ext.qv");
        const auto ext = rerazera::writer::identical_ranges(kExtendCount, 4096);
        ext.write(extension);
        tableOffset = ext.tableOffset;
        tableSize = QVPKG_2ND_TABLE_SIZE(kExtendCount);

        // The big package is written piece by piece: header, then each bin
        // file, its descriptor's checksum taken over its payload.
        big = temp_file("big.qv");
        rerazera::writer::PackageBuilder b;
        std::uint32_t at = QVPKG_HEADER_SIZE;
        std::FILE *out = std::fopen(big.c_str(), "wb");
        if (out == nullptr) {
            throw std::runtime_error("cannot write " + big);
        }
        std::vector<RawDesc> descs;
        for (std::uint32_t i = 0; i < 255; ++i) {
            const std::uint32_t len = i == 0 ? kBigLength : kSmallLength;
            descs.push_back(RawDesc{i == 0 ? kBigId : 0x100 + i, at, len, 0, 0, 0});
            at += len;
        }
        std::fseek(out, QVPKG_HEADER_SIZE, SEEK_SET);
        for (RawDesc &d : descs) {
            const auto bytes = bin_file(d.fileId, d.length);
            d.crc = rerazera::writer::crc16(bytes.data() + BIN_HEADER_SIZE,
                                            bytes.size() - BIN_HEADER_SIZE);
            std::fwrite(bytes.data(), 1, bytes.size(), out);
        }
        for (const RawDesc &d : descs) {
            b.add_raw(d);
        }
        const auto header = b.build();
        std::fseek(out, 0, SEEK_SET);
        std::fwrite(header.bytes.data(), 1, QVPKG_HEADER_SIZE, out);
        if (std::fclose(out) != 0) {
            throw std::runtime_error("cannot write " + big);
        }
        rerazera_package *pkg = nullptr;
        char msg[QVPKG_MSG_BUF_LEN] = "";
        std::int32_t code = -1;
        if (rerazera_package_open_path(big.c_str(), nullptr, &pkg) != RERAZERA_OK ||
            rerazera_package_verify(pkg, msg, sizeof msg, &code) != RERAZERA_OK ||
            rerazera_package_find_id(pkg, kBigId, &bigEntry) != RERAZERA_OK) {
            throw std::runtime_error(std::string("the 1 GiB package does not verify: ") + msg);
        }
        rerazera_package_free(pkg);
    }
    ~Files() {
        std::remove(extension.c_str());
        std::remove(big.c_str());
    }
};

// Anonymous resident memory of the process, in bytes.
std::uint64_t rss_anon() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("RssAnon:", 0) == 0) {
            return std::stoull(line.substr(8)) * 1024;
        }
    }
    return 0;
}

void BM_PackageEntries(benchmark::State &state) {
    const Files &f = Files::get();
    for (auto _ : state) {
        rerazera_package *pkg = nullptr;
        if (rerazera_package_open_path(f.extension.c_str(), nullptr, &pkg) != RERAZERA_OK) {
            state.SkipWithError("open");
            break;
        }
        std::uint64_t sum = 0;
        const std::uint64_t n = rerazera_package_entry_count(pkg);
        rerazera_entry e;
        for (std::uint64_t k = 0; k < n; ++k) {
            (void)rerazera_package_entry(pkg, k, &e);
            sum += e.file_id + e.offset + e.length + e.crc;
        }
        rerazera_package_free(pkg);
        benchmark::DoNotOptimize(sum);
    }
}

// The same scan through the descriptor batches, 256 at a time.
void BM_PackageDescriptors(benchmark::State &state) {
    const Files &f = Files::get();
    for (auto _ : state) {
        rerazera_package *pkg = nullptr;
        if (rerazera_package_open_path(f.extension.c_str(), nullptr, &pkg) != RERAZERA_OK) {
            state.SkipWithError("open");
            break;
        }
        std::uint64_t sum = 0;
        rerazera_descriptor batch[256];
        std::size_t filled = 0;
        for (std::uint64_t k = 0;
             rerazera_package_descriptors(pkg, k, batch, 256, &filled) == RERAZERA_OK && filled > 0;
             k += filled) {
            for (std::size_t i = 0; i < filled; ++i) {
                sum += batch[i].file_id + batch[i].offset + batch[i].length + batch[i].crc;
            }
        }
        rerazera_package_free(pkg);
        benchmark::DoNotOptimize(sum);
    }
}

void BM_PackageEntriesFloor(benchmark::State &state) {
    const Files &f = Files::get();
    std::vector<std::uint8_t> table(f.tableSize);
    for (auto _ : state) {
        const int fd = ::open(f.extension.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::pread(fd, table.data(), table.size(), static_cast<off_t>(f.tableOffset)) !=
                          static_cast<ssize_t>(table.size())) {
            state.SkipWithError("pread");
        }
        ::close(fd);
        std::uint64_t sum = 0;
        for (std::size_t i = 32; i + 24 <= table.size(); i += 24) {
            sum += table[i] + table[i + 4] + table[i + 8] + table[i + 12];
        }
        benchmark::DoNotOptimize(sum);
    }
}

void BM_PackageReport(benchmark::State &state) {
    const Files &f = Files::get();
    for (auto _ : state) {
        rerazera_package *pkg = nullptr;
        if (rerazera_package_open_path(f.big.c_str(), nullptr, &pkg) != RERAZERA_OK) {
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
        if (r != RERAZERA_OK || ok != 255) {
            state.SkipWithError("report");
            break;
        }
    }
}

// Map the file and add up every 8-byte word.
void BM_PackageReportFloor(benchmark::State &state) {
    const Files &f = Files::get();
    for (auto _ : state) {
        const int fd = ::open(f.big.c_str(), O_RDONLY | O_CLOEXEC);
        const auto size = static_cast<std::size_t>(std::filesystem::file_size(f.big));
        void *map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (map == MAP_FAILED) {
            state.SkipWithError("mmap");
            break;
        }
        const auto *words = static_cast<const std::uint64_t *>(map);
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < size / 8; ++i) {
            sum += words[i];
        }
        benchmark::DoNotOptimize(sum);
        ::munmap(map, size);
    }
}

std::string sink_path() {
    return std::filesystem::is_directory("/dev/shm")
               ? "/dev/shm/rerazera-pkgbench-" + std::to_string(::getpid())
               : temp_file("out");
}

void BM_PackageExtractFd(benchmark::State &state) {
    const Files &f = Files::get();
    const std::string out = sink_path();
    rerazera_package *pkg = nullptr;
    if (rerazera_package_open_path(f.big.c_str(), nullptr, &pkg) != RERAZERA_OK) {
        state.SkipWithError("open");
        return;
    }
    for (auto _ : state) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int r = rerazera_package_extract_fd(pkg, &f.bigEntry, 0, fd);
        ::close(fd);
        state.PauseTiming();
        std::remove(out.c_str());
        state.ResumeTiming();
        if (r != RERAZERA_OK) {
            state.SkipWithError("extract");
            break;
        }
    }
    // Once more, untimed, through a sink that reads the process's anonymous
    // memory at every piece: the most the extraction held above its start.
    struct Peak {
        std::uint64_t before, most;
    } peak{rss_anon(), 0};
    (void)rerazera_package_extract(
        pkg, &f.bigEntry, 0,
        [](void *ctx, const void *, std::size_t) {
            auto *p = static_cast<Peak *>(ctx);
            const std::uint64_t now = rss_anon();
            p->most = std::max(p->most, now > p->before ? now - p->before : 0);
            return 0;
        },
        &peak);
    rerazera_package_free(pkg);
    state.counters["extra_MiB"] = static_cast<double>(peak.most) / (1 << 20);
}

void BM_PackageExtractFloor(benchmark::State &state) {
    const Files &f = Files::get();
    const std::string out = sink_path();
    std::vector<std::uint8_t> buffer(kChunk);
    for (auto _ : state) {
        const int in = ::open(f.big.c_str(), O_RDONLY | O_CLOEXEC);
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = in >= 0 && fd >= 0;
        for (std::uint64_t done = 0; ok && done < f.bigEntry.length; done += kChunk) {
            const std::size_t n = std::min<std::uint64_t>(kChunk, f.bigEntry.length - done);
            ok = ::pread(in, buffer.data(), n, static_cast<off_t>(f.bigEntry.offset + done)) ==
                     static_cast<ssize_t>(n) &&
                 ::write(fd, buffer.data(), n) == static_cast<ssize_t>(n);
        }
        ::close(in);
        ::close(fd);
        state.PauseTiming();
        std::remove(out.c_str());
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError("copy");
            break;
        }
    }
}

#define RERAZERA_PACKAGE_BENCH(fn)      \
    BENCHMARK(fn)                       \
        ->Unit(benchmark::kMillisecond) \
        ->UseRealTime()                 \
        ->Repetitions(5)                \
        ->ReportAggregatesOnly(true)

RERAZERA_PACKAGE_BENCH(BM_PackageEntries);
RERAZERA_PACKAGE_BENCH(BM_PackageDescriptors);
RERAZERA_PACKAGE_BENCH(BM_PackageEntriesFloor);
RERAZERA_PACKAGE_BENCH(BM_PackageReport);
RERAZERA_PACKAGE_BENCH(BM_PackageReportFloor);
RERAZERA_PACKAGE_BENCH(BM_PackageExtractFd);
RERAZERA_PACKAGE_BENCH(BM_PackageExtractFloor);

const bool kRatios =
    rzbench::add_ratio("open + 1,048,575 descriptors in batches / pread of the table",
                       "BM_PackageDescriptors/repeats:5/real_time",
                       "BM_PackageEntriesFloor/repeats:5/real_time", 1.2) &&
    rzbench::add_ratio("open + 1,048,575 entries with bin headers / pread of the table",
                       "BM_PackageEntries/repeats:5/real_time",
                       "BM_PackageEntriesFloor/repeats:5/real_time") &&
    rzbench::add_ratio("per-entry report, 1 GiB / mmap and sum",
                       "BM_PackageReport/repeats:5/real_time",
                       "BM_PackageReportFloor/repeats:5/real_time", 1.1) &&
    rzbench::add_ratio("extract 512 MiB to a descriptor / pread + write",
                       "BM_PackageExtractFd/repeats:5/real_time",
                       "BM_PackageExtractFloor/repeats:5/real_time", 1.2);

}  // namespace
