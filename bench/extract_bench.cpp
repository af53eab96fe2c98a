// Extraction of a 512 MiB sub-file by its ID next to its floor: the same bytes copied
// with pread() and write() through one reused 1 MiB buffer into a new file.
// Both write a new output file each iteration (the old one is removed with
// the clock stopped), so both pay for the output's page cache alike; what
// the library adds is staging the whole range in memory, as it must to read
// the package completely before the output is opened.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

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
        out_ = dir_ + "/out.bin";

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
    [[nodiscard]] const char *out() const { return out_.c_str(); }
    [[nodiscard]] std::int32_t offset() const { return offset_; }

  private:
    std::string dir_;
    std::string path_;
    std::string bin_;
    std::string out_;
    std::int32_t offset_ = 0;
};

BigPackage &package() {
    static BigPackage pkg;
    return pkg;
}

void BM_ExtractFileById512MiB(benchmark::State &state) {
    const BigPackage &pkg = package();
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(pkg.out());
        state.ResumeTiming();
        const std::int32_t r = QVPKG_ExtractFileFromQV(pkg.path(), pkg.out(), kSubFileId);
        if (r != QVPKG_OK) {
            state.SkipWithError("extraction failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kSubFileSize);
}

void BM_FloorPreadWrite512MiB(benchmark::State &state) {
    const BigPackage &pkg = package();
    std::vector<std::uint8_t> buf(kFloorChunk);
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(pkg.out());
        state.ResumeTiming();
        const int in = ::open(pkg.path(), O_RDONLY);
        const int out = ::open(pkg.out(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        bool ok = in >= 0 && out >= 0;
        for (std::uint32_t done = 0; ok && done < kSubFileSize; done += kFloorChunk) {
            ok = ::pread(in, buf.data(), kFloorChunk, pkg.offset() + off_t{done}) ==
                     static_cast<ssize_t>(kFloorChunk) &&
                 ::write(out, buf.data(), kFloorChunk) == static_cast<ssize_t>(kFloorChunk);
        }
        ::close(in);
        ::close(out);
        if (!ok) {
            state.SkipWithError("floor copy failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kSubFileSize);
}

// Stripping a 512 MiB bin file (the same sub-file, standing alone).
void BM_StripBinHeader512MiB(benchmark::State &state) {
    const BigPackage &pkg = package();
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(pkg.out());
        state.ResumeTiming();
        if (QVPKG_StripBinHeader(pkg.bin(), pkg.out()) != QVPKG_OK) {
            state.SkipWithError("stripping failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kSubFileSize);
}

BENCHMARK(BM_ExtractFileById512MiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(9);
BENCHMARK(BM_FloorPreadWrite512MiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(9);

BENCHMARK(BM_StripBinHeader512MiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(9);

const bool kRegistered =
    rzbench::add_ratio("extract 512 MiB sub-file / pread+write 1 MiB",
                       "BM_ExtractFileById512MiB/iterations:1/repeats:9/real_time",
                       "BM_FloorPreadWrite512MiB/iterations:1/repeats:9/real_time", 2.5);

const bool kStripRegistered =
    rzbench::add_ratio("strip 512 MiB bin file / pread+write 1 MiB",
                       "BM_StripBinHeader512MiB/iterations:1/repeats:9/real_time",
                       "BM_FloorPreadWrite512MiB/iterations:1/repeats:9/real_time");

}  // namespace
