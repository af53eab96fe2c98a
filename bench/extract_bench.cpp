// SPDX-License-Identifier: MIT
// Extraction of a 512 MiB sub-file by its ID, and stripping the header of a
// 512 MiB bin file, each next to two plain copies of the same bytes:
//   - "floor": pread() and write() through one reused 1 MiB buffer;
//   - "one_buffer": malloc() of the whole range, one pread(), one write(),
//     the simplest program that, like the library, holds the whole range in
//     memory before the output is opened.
// Every way runs once per output directory (see output_dirs.hpp), tmpfs and
// a disk-backed file system by default, and writes a new file each
// iteration (the old one is removed with the clock stopped). The ratios
// hold the library to at most twice the floor and never slower than
// one_buffer. Each benchmark also reports, per iteration, the kernel's
// compaction stalls and transparent huge page faults and fallbacks
// (/proc/vmstat), the counters that tell a staging problem from a writeback
// one. Run with --benchmark_enable_random_interleaving=true to rotate the
// ways, so that drifting writeback state hits them alike.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "output_dirs.hpp"
#include "ratio.hpp"
#include "rerazera.h"
#include "writer/package_writer.hpp"

namespace {

constexpr std::int32_t kSubFileId = 0x5151;
constexpr std::uint32_t kSubFileSize = 512u << 20;
constexpr std::size_t kFloorChunk = 1u << 20;

// A package whose one header entry is a 512 MiB sub-file right behind the
// header, written once for the whole run and removed at exit.
class BigPackage {
  public:
    BigPackage() {
        std::string templ =
            (std::filesystem::temp_directory_path() / "rerazera-bench-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir_ = templ;
        path_ = dir_ + "/big.qv";

        using rerazera::writer::PackageBuilder;
        using rerazera::writer::RawDesc;
        const auto pkg =
            PackageBuilder().add_raw(RawDesc{kSubFileId, QVPKG_HEADER_SIZE, kSubFileSize}).build();
        pkg.write(path_);
        offset_ = static_cast<std::int32_t>(pkg.bytes.size());
        // The sub-file is a bin file in its own right, and a copy of it
        // stands alone for the stripping benchmark.
        bin_ = dir_ + "/big.bin";
        const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND);
        const int bfd = ::open(bin_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::uint8_t> chunk(kFloorChunk);
        for (std::uint32_t done = 0; done < kSubFileSize; done += kFloorChunk) {
            for (std::size_t i = 0; i < chunk.size(); i += 64) {
                chunk[i] = static_cast<std::uint8_t>(done >> 20 ^ i);
            }
            if (done == 0) {
                const auto header = rerazera::writer::make_bin_header(
                    rerazera::writer::SubFile{kSubFileId, "big.bin", "benchmark", {}},
                    kSubFileSize - BIN_HEADER_SIZE, kSubFileId);
                std::copy(header.begin(), header.end(), chunk.begin());
            }
            if (fd < 0 || bfd < 0 ||
                ::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()) ||
                ::write(bfd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
                throw std::runtime_error("cannot write " + path_);
            }
        }
        ::close(fd);
        ::close(bfd);
    }
    ~BigPackage() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    BigPackage(const BigPackage &) = delete;
    BigPackage &operator=(const BigPackage &) = delete;

    [[nodiscard]] const char *path() const { return path_.c_str(); }
    [[nodiscard]] const char *bin() const { return bin_.c_str(); }
    [[nodiscard]] std::int32_t offset() const { return offset_; }

  private:
    std::string dir_;
    std::string path_;
    std::string bin_;
    std::int32_t offset_ = 0;
};

BigPackage &package() {
    static BigPackage pkg;
    return pkg;
}

// Copies len bytes at offset of in to a new file out through one reused
// 1 MiB buffer.
bool copy_in_chunks(const char *in, off_t offset, std::uint32_t len, const char *out) {
    static std::vector<std::uint8_t> buf(kFloorChunk);
    const int ifd = ::open(in, O_RDONLY);
    const int ofd = ::open(out, O_RDWR | O_CREAT | O_TRUNC, 0600);
    bool ok = ifd >= 0 && ofd >= 0;
    for (std::uint32_t done = 0; ok && done < len; done += kFloorChunk) {
        const std::size_t n = std::min<std::size_t>(kFloorChunk, len - done);
        ok = ::pread(ifd, buf.data(), n, offset + off_t{done}) == static_cast<ssize_t>(n) &&
             ::write(ofd, buf.data(), n) == static_cast<ssize_t>(n);
    }
    ::close(ifd);
    ::close(ofd);
    return ok;
}

// Reads bytes [0, end) of in into one fresh malloc() buffer, closes in, then
// writes [offset, end) to a new file out in one call.
bool copy_one_buffer(const char *in, off_t offset, std::uint32_t end, const char *out) {
    auto *buf = static_cast<std::uint8_t *>(std::malloc(end));
    const int ifd = ::open(in, O_RDONLY);
    bool ok = buf != nullptr && ifd >= 0 && ::pread(ifd, buf, end, 0) == ssize_t{end};
    ::close(ifd);
    if (ok) {
        const int ofd = ::open(out, O_RDWR | O_CREAT | O_TRUNC, 0600);
        const auto n = static_cast<std::size_t>(end - offset);
        ok = ofd >= 0 && ::write(ofd, buf + offset, n) == static_cast<ssize_t>(n);
        ::close(ofd);
    }
    std::free(buf);
    return ok;
}

// The /proc/vmstat counters that show how the staging memory was faulted in.
struct VmCounters {
    static constexpr const char *kNames[] = {"compact_stall", "thp_fault_alloc",
                                             "thp_fault_fallback"};
    double values[3] = {0, 0, 0};

    static VmCounters read() {
        VmCounters c;
        std::ifstream in("/proc/vmstat");
        std::string name;
        double value = 0;
        while (in >> name >> value) {
            for (std::size_t i = 0; i < 3; ++i) {
                if (name == kNames[i]) {
                    c.values[i] = value;
                }
            }
        }
        return c;
    }
};

using Way = std::function<bool(const BigPackage &, const char *out)>;

struct NamedWay {
    const char *name;
    Way run;
};

const NamedWay kWays[] = {
    {"extract/library",
     [](const BigPackage &p, const char *out) {
         return QVPKG_ExtractFileFromQV(p.path(), out, kSubFileId) == QVPKG_OK;
     }},
    {"extract/one_buffer",
     [](const BigPackage &p, const char *out) {
         return copy_one_buffer(p.path(), p.offset(), p.offset() + kSubFileSize, out);
     }},
    {"extract/floor",
     [](const BigPackage &p, const char *out) {
         return copy_in_chunks(p.path(), p.offset(), kSubFileSize, out);
     }},
    {"strip/library",
     [](const BigPackage &p, const char *out) {
         return QVPKG_StripBinHeader(p.bin(), out) == QVPKG_OK;
     }},
    {"strip/one_buffer",
     [](const BigPackage &p, const char *out) {
         return copy_one_buffer(p.bin(), BIN_HEADER_SIZE, kSubFileSize, out);
     }},
    {"strip/floor",
     [](const BigPackage &p, const char *out) {
         return copy_in_chunks(p.bin(), BIN_HEADER_SIZE, kSubFileSize - BIN_HEADER_SIZE, out);
     }},
};

void run_way(benchmark::State &state, const Way &way, const std::string &out) {
    const BigPackage &pkg = package();
    VmCounters total;
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(out.c_str());
        const VmCounters before = VmCounters::read();
        state.ResumeTiming();
        const bool ok = way(pkg, out.c_str());
        state.PauseTiming();
        const VmCounters after = VmCounters::read();
        for (std::size_t i = 0; i < 3; ++i) {
            total.values[i] += after.values[i] - before.values[i];
        }
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError("copy failed");
            break;
        }
    }
    ::unlink(out.c_str());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kSubFileSize);
    for (std::size_t i = 0; i < 3; ++i) {
        state.counters[VmCounters::kNames[i]] =
            benchmark::Counter(total.values[i], benchmark::Counter::kAvgIterations);
    }
}

std::string full_name(const std::string &way, const std::string &label) {
    return "BM_" + way + "/" + label + "/iterations:1/repeats:9/real_time";
}

const bool kRegistered = rzbench::add_registration([] {
    for (const rzbench::OutputDir &dir : rzbench::output_dirs()) {
        const std::string out =
            dir.path + "/rerazera-bench-out-" + std::to_string(::getpid()) + ".bin";
        for (const NamedWay &way : kWays) {
            benchmark::RegisterBenchmark(
                ("BM_" + std::string(way.name) + "/" + dir.label).c_str(),
                [run = way.run, out](benchmark::State &state) { run_way(state, run, out); })
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(1)
                ->Repetitions(9);
        }
        for (const char *job : {"extract", "strip"}) {
            const std::string library = full_name(std::string(job) + "/library", dir.label);
            rzbench::add_ratio(std::string(job) + " 512 MiB, " + dir.label + " / floor", library,
                               full_name(std::string(job) + "/floor", dir.label), 2.0);
            rzbench::add_ratio(std::string(job) + " 512 MiB, " + dir.label + " / one buffer",
                               library, full_name(std::string(job) + "/one_buffer", dir.label),
                               1.0);
        }
    }
});

}  // namespace
