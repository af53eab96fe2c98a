// SPDX-License-Identifier: MIT
// CRC-16 throughput at the sizes verification meets: a bin header (352 B), a
// small payload (4 KiB), one that ends within a register (4 KiB + 240 B: the
// kernels' tails) and a large image (64 MiB). Measured: every kernel
// compiled in and usable here, the dispatched crc16 ("auto"), the bit-by-bit
// definition, ISA-L's crc16_t10dif when available (a 16-bit, most significant
// bit first CRC like ours with another polynomial: the same work, done by a
// tuned library) and a memory read floor. Ratios compare kernel time with
// ISA-L's; the dispatched kernel must be at least as fast as ISA-L at every
// size (time ratio <= 1), and keep 0.9 of the memory read floor's throughput
// at 64 MiB (time ratio <= 1.11), where the buffer streams from memory.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "format/crc.hpp"
#include "format/crc_kernels.hpp"
#include "ratio.hpp"

#if defined(RERAZERA_BENCH_HAVE_ISAL)
#include <isa-l/crc.h>
#endif

namespace {

constexpr std::size_t kLarge = std::size_t{64} << 20;  // streams from memory
constexpr std::size_t kSizes[] = {352, 4096, 4336, kLarge};
constexpr double kTargetVsIsal = 1.0;
constexpr double kTargetVsMemory = 1.11;

// One random buffer, large enough for every size, filled once.
const std::uint8_t *input() {
    static const std::vector<std::uint8_t> buffer = [] {
        std::vector<std::uint8_t> b(kLarge);
        std::mt19937_64 gen(42);
        for (std::size_t i = 0; i + 8 <= b.size(); i += 8) {
            const std::uint64_t v = gen();
            std::memcpy(b.data() + i, &v, 8);
        }
        return b;
    }();
    return buffer.data();
}

std::uint16_t bitwise_crc(std::uint16_t crc, const std::uint8_t *data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

// Reading every byte once, summed as 64-bit words in four chains.
std::uint16_t memory_floor(std::uint16_t, const std::uint8_t *data, std::size_t size) {
    std::uint64_t s[4] = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        for (int j = 0; j < 4; ++j) {
            std::uint64_t w;
            std::memcpy(&w, data + i + 8 * j, 8);
            s[j] += w;
        }
    }
    for (; i < size; ++i) {
        s[0] += data[i];
    }
    const std::uint64_t total = s[0] + s[1] + s[2] + s[3];
    return static_cast<std::uint16_t>(total ^ (total >> 16) ^ (total >> 32) ^ (total >> 48));
}

std::uint16_t dispatched(std::uint16_t crc, const std::uint8_t *data, std::size_t size) {
    return rerazera::crc16_update(crc, data, size);
}

template <typename Fn>
void register_sizes(const std::string &name, Fn fn) {
    for (std::size_t size : kSizes) {
        benchmark::RegisterBenchmark(
            name.c_str(),
            [fn](benchmark::State &state) {
                const auto n = static_cast<std::size_t>(state.range(0));
                const std::uint8_t *data = input();
                for (auto _ : state) {
                    benchmark::DoNotOptimize(fn(0, data, n));
                }
                state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
            })
            ->Arg(static_cast<std::int64_t>(size))
            ->UseRealTime();
    }
}

std::string full_name(const std::string &name, std::size_t size) {
    return name + "/" + std::to_string(size) + "/real_time";
}

bool register_all() {
    register_sizes("BM_MemoryFloor", memory_floor);
    register_sizes("BM_CrcBitwise", bitwise_crc);
    register_sizes("BM_Crc/auto", dispatched);
    for (const rerazera::CrcKernel &k : rerazera::crc_kernels()) {
        if (k.usable()) {
            register_sizes(std::string("BM_Crc/") + k.name, k.update);
        }
    }
#if defined(RERAZERA_BENCH_HAVE_ISAL)
    register_sizes("BM_CrcIsal", [](std::uint16_t crc, const std::uint8_t *data, std::size_t size) {
        return crc16_t10dif(crc, data, size);
    });
#endif
    // Per size: the dispatched crc16 and every kernel this CPU runs, each
    // against ISA-L and against the memory read; the dispatched kernel is
    // marked in its label.
    const std::string chosen = rerazera::crc_active_kernel().name;
    for (std::size_t size : kSizes) {
        const std::string bytes = ", " + std::to_string(size) + " B";
        std::vector<std::pair<std::string, std::string>> rows{{"auto", "BM_Crc/auto"}};
        for (const rerazera::CrcKernel &k : rerazera::crc_kernels()) {
            if (k.usable()) {
                rows.emplace_back(k.name == chosen ? std::string(k.name) + " (dispatched)" : k.name,
                                  std::string("BM_Crc/") + k.name);
            }
        }
        for (const auto &[label, bench] : rows) {
            const bool dispatched = label == "auto";
#if defined(RERAZERA_BENCH_HAVE_ISAL)
            rzbench::add_ratio("crc " + label + " / isa-l" + bytes, full_name(bench, size),
                               full_name("BM_CrcIsal", size), dispatched ? kTargetVsIsal : 0.0);
#endif
            rzbench::add_ratio("crc " + label + " / memory read" + bytes, full_name(bench, size),
                               full_name("BM_MemoryFloor", size),
                               dispatched && size == kLarge ? kTargetVsMemory : 0.0);
        }
    }
    return true;
}

const bool kRegistered = register_all();

}  // namespace
