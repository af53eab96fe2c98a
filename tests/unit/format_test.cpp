// SPDX-License-Identifier: MIT
// The checksum: published and independent vectors, every kernel against a
// bit-by-bit reference at every length, start offset, split point and page
// edge, the CPU probe against the compiler's own detection, the
// bounds-checked memory helpers and the huge page bookkeeping of large buffers.
#include <gtest/gtest.h>
#if defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(__aarch64__)
#include <sys/auxv.h>
#endif
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/huge_pages.hpp"
#include "base/safe_memory.hpp"
#include "format/crc.hpp"
#include "format/crc_combine.hpp"
#include "format/crc_kernels.hpp"
#include "rerazera.h"
#include "support/scratch.hpp"

namespace rerazera {
void PrintTo(const CrcKernel &kernel, std::ostream *os) {
    *os << kernel.name;
}
}  // namespace rerazera

namespace {

using rerazera::CrcKernel;
using Bytes = std::vector<std::uint8_t>;

std::uint16_t bitwise_crc(std::uint16_t crc, const std::uint8_t *data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

Bytes random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(size);
    for (auto &b : out) {
        b = static_cast<std::uint8_t>(gen());
    }
    return out;
}

// Whether the CPU and the operating system can run a kernel, as the
// compiler's runtime sees it.
bool cpu_supports(const std::string &kernel) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool clmul = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1") &&
                       __builtin_cpu_supports("pclmul");
    if (kernel == "clmul") {
        return clmul;
    }
    if (kernel == "clmul_avx") {
        return clmul && __builtin_cpu_supports("avx");
    }
    const bool wide = clmul && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") &&
                      __builtin_cpu_supports("vpclmulqdq");
    if (kernel == "vpclmul256") {
        return wide;
    }
    if (kernel == "vpclmul") {
        return wide && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq");
    }
#endif
#if defined(__aarch64__)
    if (kernel == "pmull") {
        return (::getauxval(AT_HWCAP) & HWCAP_PMULL) != 0;
    }
#endif
    return kernel == "portable";
}

// Whole pages with an inaccessible page on each side.
struct GuardedPages {
    explicit GuardedPages(std::size_t pages) : size(pages * page) {
        void *m = ::mmap(nullptr, size + 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base = static_cast<std::uint8_t *>(m);
        ::mprotect(base + page, size, PROT_READ | PROT_WRITE);
    }
    ~GuardedPages() { ::munmap(base, size + 2 * page); }
    std::uint8_t *begin() const { return base + page; }
    std::uint8_t *end() const { return base + page + size; }
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t size;
    std::uint8_t *base;
};

TEST(Checksum, PublicVectors) {  // computed with Python's binascii.crc_hqx(data, 0)
    Bytes ramp(256), ones(352, 0xFF), zeros(6176, 0);
    for (std::size_t i = 0; i < 256; ++i) {
        ramp[i] = static_cast<std::uint8_t>(i);
    }
    const std::tuple<const void *, std::int32_t, std::uint16_t> rows[] = {
        {"123456789", 9, 0x31C3},   {"A", 1, 0x58E5},        {ramp.data(), 256, 0x7E55},
        {ones.data(), 352, 0x96A9}, {zeros.data(), 6176, 0}, {nullptr, -1, 0}};
    for (const auto &[data, len, expected] : rows) {
        std::uint16_t crc = 0xBEEF;
        QVPKG_MakeCrcCheckSum(static_cast<const std::uint8_t *>(data), len, &crc);
        EXPECT_EQ(crc, expected) << len;
    }
}

// The CRC of a range from the running CRCs at its ends, at every split of a
// buffer, including empty halves and lengths past 2^32 of zero bytes.
TEST(Checksum, RangesFromRunningValues) {
    using rerazera::crc16, rerazera::crc16_between, rerazera::crc16_combine;
    using rerazera::crc16_shift, rerazera::crc16_update;
    Bytes data(1500);
    std::mt19937 rng(7);
    for (auto &b : data) {
        b = static_cast<std::uint8_t>(rng());
    }
    for (std::size_t a : {0, 1, 2, 351, 352, 1000}) {
        for (std::size_t b : {a, a + 1, a + 17, std::size_t{1500}}) {
            if (b > 1500) {
                continue;
            }
            const std::uint16_t before = crc16(data.data(), a), after = crc16(data.data(), b);
            EXPECT_EQ(crc16_between(before, after, b - a), crc16(data.data() + a, b - a))
                << a << ".." << b;
            EXPECT_EQ(crc16_combine(before, crc16(data.data() + a, b - a), b - a), after);
        }
    }
    // Zero bytes appended one by one against the shift's square-and-multiply.
    std::uint16_t reg = 0x1234;
    Bytes zero(1, 0);
    for (std::uint64_t n = 1; n <= 700; ++n) {
        reg = crc16_update(reg, zero.data(), 1);
        ASSERT_EQ(crc16_shift(0x1234, n), reg) << n;
    }
    // Counts past 32 bits are not cut: shifting in two steps agrees.
    const std::uint64_t big = (std::uint64_t{1} << 32) + 3;
    const std::uint64_t half = std::uint64_t{1} << 31;
    EXPECT_EQ(crc16_shift(crc16_shift(0x1234, half), big - half), crc16_shift(0x1234, big));
    EXPECT_NE(crc16_shift(0x1234, big), crc16_shift(0x1234, 3));
}

class CrcKernelTest : public ::testing::TestWithParam<CrcKernel> {
  protected:
    void SetUp() override {
        if (!GetParam().usable()) {
            // Skipped only where the CPU really lacks it, never quietly.
            ASSERT_FALSE(cpu_supports(GetParam().name)) << "the probe refuses a usable kernel";
            GTEST_SKIP() << "this CPU cannot run " << GetParam().name;
        }
    }
    static std::uint16_t run(std::uint16_t crc, const std::uint8_t *data, std::size_t size) {
        return GetParam().update(crc, data, size);
    }
};

TEST_P(CrcKernelTest, MatchesTheBitwiseReference) {
    EXPECT_EQ(run(0x1234, nullptr, 0), 0x1234);
    const Bytes data = random_bytes(1300, 1);
    for (std::size_t len = 0; len <= data.size(); ++len) {
        const auto start = static_cast<std::uint16_t>(len * 0x9E37u);
        ASSERT_EQ(run(start, data.data(), len), bitwise_crc(start, data.data(), len)) << len;
        const std::uint16_t first = run(0, data.data(), len);  // continued at every split
        ASSERT_EQ(run(first, data.data() + len, data.size() - len),
                  bitwise_crc(0, data.data(), data.size()))
            << "split " << len;
    }
    for (std::size_t offset = 0; offset < 64; ++offset) {
        for (std::size_t len : {15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 255, 256, 257,
                                352, 383, 1000, 1236}) {
            ASSERT_EQ(run(0, data.data() + offset, len), bitwise_crc(0, data.data() + offset, len))
                << "offset " << offset << " length " << len;
        }
    }
    const Bytes large = random_bytes((8u << 20) + 77, 2);
    for (std::size_t len : {std::size_t{1} << 20, (std::size_t{3} << 20) + 13, large.size()}) {
        EXPECT_EQ(run(0xBEEF, large.data(), len), bitwise_crc(0xBEEF, large.data(), len)) << len;
    }
    // Streamed buffers starting anywhere in a cache line: the first bytes up
    // to the line are summed apart from the rest.
    for (std::size_t offset : {1, 15, 16, 48, 63, 64}) {
        const std::size_t len = (std::size_t{256} << 10) + offset;
        EXPECT_EQ(run(0xBEEF, large.data() + offset, len),
                  bitwise_crc(0xBEEF, large.data() + offset, len))
            << "offset " << offset;
    }
}

TEST_P(CrcKernelTest, BuffersTouchingUnmappedPages) {
    GuardedPages pages(3);
    const Bytes fill = random_bytes(pages.size, 4);
    std::memcpy(pages.begin(), fill.data(), fill.size());
    std::vector<std::size_t> lengths{1023, 1024, 1025, 4095, 4096, 4097, 8191, 8192, 12287, 12288};
    for (std::size_t len = 0; len <= 700; ++len) {
        lengths.push_back(len);
    }
    for (std::size_t len : lengths) {
        const std::uint8_t *tail = pages.end() - len;
        ASSERT_EQ(run(7, tail, len), bitwise_crc(7, tail, len)) << "ending at the edge " << len;
        ASSERT_EQ(run(7, pages.begin(), len), bitwise_crc(7, pages.begin(), len)) << len;
    }
    for (std::int32_t len : {0, -1, INT32_MIN}) {  // nothing read
        std::uint16_t crc = 0xBEEF;
        QVPKG_MakeCrcCheckSum(pages.end(), len, &crc);
        EXPECT_EQ(crc, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, CrcKernelTest,
                         ::testing::ValuesIn(rerazera::crc_kernels().begin(),
                                             rerazera::crc_kernels().end()),
                         [](const auto &param) { return std::string(param.param.name); });

TEST(CrcDispatch, ProbeAgreesWithTheCompiler) {
    const auto kernels = rerazera::crc_kernels();
    ASSERT_STREQ(kernels.front().name, "portable");
    const CrcKernel *best = nullptr;
    for (const CrcKernel &k : kernels) {
        EXPECT_EQ(k.usable(), cpu_supports(k.name)) << k.name;
        best = k.usable() ? &k : best;
        EXPECT_EQ(&rerazera::crc_select_kernel(k.name), k.usable() ? &k : best) << k.name;
    }
    for (const char *other : {static_cast<const char *>(nullptr), "", "avx9000", "Portable"}) {
        EXPECT_EQ(&rerazera::crc_select_kernel(other), best);
    }
    EXPECT_EQ(&rerazera::crc_active_kernel(), best);
}

#if defined(__x86_64__)
// The probe's decision from what cpuid and XCR0 say: every instruction set
// and every register state the kernels need, each missing in turn.
TEST(CrcDispatch, FeaturesFollowEveryBitTheKernelsNeed) {
    constexpr unsigned kLeaf1 = bit_SSSE3 | bit_SSE4_1 | bit_PCLMUL | bit_OSXSAVE | bit_AVX;
    constexpr unsigned kLeaf7Ebx = bit_AVX2 | bit_AVX512F | bit_AVX512BW | bit_AVX512VL;
    constexpr std::uint64_t kZmmState = 0xE6;  // XMM, YMM, opmask, both ZMM halves
    const rerazera::CpuidReport all{kLeaf1, true, kLeaf7Ebx, bit_VPCLMULQDQ, kZmmState};
    const auto without = [&](unsigned leaf1, unsigned ebx, unsigned ecx, std::uint64_t xcr0) {
        return rerazera::CpuidReport{all.leaf1Ecx & ~leaf1, true, all.leaf7Ebx & ~ebx,
                                     all.leaf7Ecx & ~ecx, all.xcr0 & ~xcr0};
    };
    const rerazera::CpuidReport noLeaf7{kLeaf1, false, kLeaf7Ebx, bit_VPCLMULQDQ, kZmmState};
    const struct {
        const char *what;
        rerazera::CpuidReport report;
        bool clmul;
        bool clmulAvx;
        bool vpclmul256;
        bool vpclmul;
    } rows[] = {
        {"everything", all, true, true, true, true},
        {"no SSSE3", without(bit_SSSE3, 0, 0, 0), false, false, false, false},
        {"no SSE4.1", without(bit_SSE4_1, 0, 0, 0), false, false, false, false},
        {"no PCLMULQDQ", without(bit_PCLMUL, 0, 0, 0), false, false, false, false},
        {"no OSXSAVE: XMM only", without(bit_OSXSAVE, 0, 0, 0), true, false, false, false},
        {"XMM state off", without(0, 0, 0, 0x2), false, false, false, false},
        {"YMM state off", without(0, 0, 0, 0x4), true, false, false, false},
        {"opmask state off", without(0, 0, 0, 0x20), true, true, true, false},
        {"ZMM low state off", without(0, 0, 0, 0x40), true, true, true, false},
        {"ZMM high state off", without(0, 0, 0, 0x80), true, true, true, false},
        {"no leaf 7", noLeaf7, true, true, false, false},
        {"no AVX", without(bit_AVX, 0, 0, 0), true, false, false, false},
        {"no AVX2", without(0, bit_AVX2, 0, 0), true, true, false, false},
        {"no AVX512F", without(0, bit_AVX512F, 0, 0), true, true, true, false},
        {"no AVX512BW", without(0, bit_AVX512BW, 0, 0), true, true, true, false},
        {"no AVX512VL", without(0, bit_AVX512VL, 0, 0), true, true, true, false},
        {"no VPCLMULQDQ", without(0, 0, bit_VPCLMULQDQ, 0), true, true, false, false},
        {"nothing", {}, false, false, false, false},
    };
    for (const auto &row : rows) {
        const rerazera::CrcCpuFeatures f = rerazera::crc_features_from(row.report);
        EXPECT_EQ(f.clmul, row.clmul) << row.what;
        EXPECT_EQ(f.clmulAvx, row.clmulAvx) << row.what;
        EXPECT_EQ(f.vpclmul256, row.vpclmul256) << row.what;
        EXPECT_EQ(f.vpclmul, row.vpclmul) << row.what;
    }
}

// Prefetching ahead is off on AMD's cores with AVX-512 (Zen 4, Zen 5) and on
// nothing else, whatever kernel runs.
TEST(CrcDispatch, PrefetchIsOffOnAmdWithAvx512) {
    constexpr unsigned kLeaf1 = bit_SSSE3 | bit_SSE4_1 | bit_PCLMUL | bit_OSXSAVE | bit_AVX;
    constexpr unsigned kAvx512 = bit_AVX2 | bit_AVX512F | bit_AVX512BW | bit_AVX512VL;
    const auto cpu = [&](bool amd, unsigned ebx) {
        return rerazera::CpuidReport{kLeaf1, true, ebx, bit_VPCLMULQDQ, 0xE6, amd};
    };
    const struct {
        const char *what;
        rerazera::CpuidReport report;
        bool prefetch;
    } rows[] = {
        {"Zen 4 or Zen 5", cpu(true, kAvx512), false},
        {"AVX-512F alone", cpu(true, bit_AVX512F), false},
        {"Zen 3", cpu(true, bit_AVX2), true},
        {"Zen 3 with every AVX-512 bit but F", cpu(true, kAvx512 & ~bit_AVX512F), true},
        {"Ice Lake", cpu(false, kAvx512), true},
        {"AVX-512 but no leaf 7", {kLeaf1, false, kAvx512, bit_VPCLMULQDQ, 0xE6, true}, true},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(rerazera::crc_features_from(row.report).prefetchAhead, row.prefetch) << row.what;
    }
    // The vector kernels do not depend on it.
    EXPECT_TRUE(rerazera::crc_features_from(rows[0].report).vpclmul);
}

// The probe reads the vendor and AVX-512F itself (read here apart from the
// library's probe; an emulator such as valgrind may report another CPU than
// the host's).
TEST(CrcDispatch, PrefetchFollowsTheRunningCpu) {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    ASSERT_NE(__get_cpuid(0, &eax, &ebx, &ecx, &edx), 0);
    char id[13] = {};
    std::memcpy(id, &ebx, 4);
    std::memcpy(id + 4, &edx, 4);
    std::memcpy(id + 8, &ecx, 4);
    const std::string vendor = id;
    unsigned leaf7Ebx = 0;
    if (__get_cpuid_count(7, 0, &eax, &leaf7Ebx, &ecx, &edx) == 0) {
        leaf7Ebx = 0;
    }
    const bool avx512 = (leaf7Ebx & bit_AVX512F) != 0;
    const bool amd = vendor == "AuthenticAMD" || vendor == "HygonGenuine";
    EXPECT_EQ(rerazera::crc_prefetch_ahead(), !(amd && avx512)) << vendor;
}
#endif

#if defined(__aarch64__)
TEST(CrcDispatch, PmullNeedsAdvancedSimdAndPmull) {
    EXPECT_TRUE(rerazera::crc_pmull_from_hwcap(HWCAP_ASIMD | HWCAP_PMULL | HWCAP_AES));
    EXPECT_FALSE(rerazera::crc_pmull_from_hwcap(HWCAP_ASIMD | HWCAP_AES));
    EXPECT_FALSE(rerazera::crc_pmull_from_hwcap(HWCAP_PMULL));
    EXPECT_FALSE(rerazera::crc_pmull_from_hwcap(0));
}
#endif

TEST(SafeMemory, NeverWritesPastTheGivenSize) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(rerazera::memset_s(buf, 4, 0, 6), -1);  // fills 4, not 6
    EXPECT_EQ(std::string(buf, 5), std::string(4, '\0') + "x");
    EXPECT_EQ(rerazera::memset_s(nullptr, 4, 0, 4), -1);
    EXPECT_EQ(rerazera::memset_s(buf, 4, 0, 4), 0);  // fits exactly
    char dst[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(rerazera::memcpy_s(dst, sizeof dst, "0123456", 7), -1);
    EXPECT_EQ(std::string(dst, 4), std::string(4, '\0'));  // cleared, not overrun
    EXPECT_EQ(rerazera::memcpy_s(dst, sizeof dst, "wxyz", 4), 0);
    EXPECT_EQ(std::string(dst, 4), "wxyz");
    std::memset(buf, 'x', sizeof buf);
    rerazera::bounded_print(buf, 1, "%s", "anything");
    EXPECT_EQ(std::string(buf, 2), std::string("\0x", 2));
    rerazera::bounded_print(buf, sizeof buf, "File id %x\n", 0xABCDu);
    EXPECT_STREQ(buf, "File id");
    rerazera::bounded_print(buf, 0, "%s", "untouched");
    rerazera::bounded_print(nullptr, 8, "%s", "no buffer");
    EXPECT_STREQ(buf, "File id");
}

std::string read_text(const char *path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(HugePages, FreeBlocksAndPreparedBuffers) {
    using rerazera::free_huge_blocks;
    const struct {
        const char *table;
        std::size_t blocks;
    } rows[] = {
        // Orders 9 and 10 count 1 and 2 blocks of 2 MiB; smaller orders none.
        {"Node 0, zone      DMA      0      0      0      0      0      0      0      0      1"
         "      1      3 \n"
         "Node 0, zone    DMA32      1      5      3      3      2      3      1      4      5"
         "     12    295 \n"
         "Node 0, zone   Normal   3964   3684   7204  10346   3136   2372   1399    873    325"
         "    231      8 \n",
         7 + 602 + 247},
        {"Node 0, zone Normal 9 9 9 9 9 9 9 9 9 0 0\n", 0},
        {"Node 1, zone Normal 0 0 0 0 0 0 0 0 0 4 1 2", 4 + 2 + 8},  // a larger top order
        // Orders from 25 (64 GiB blocks) on are past any kernel and not counted.
        {"Node 0, zone Normal 0 0 0 0 0 0 0 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 7", 1},
        {"Node 0, zone Normal 0 0 0 0 0 0 0 0 0 1 99999999999999999999999\n", 0},  // no count
        {"Node 0, zone Normal 1 2 x 4 5 6 7 8 9 10 11\n", 0},                      // not a count
        {"no zones here\n\n", 0},
        {"", 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(free_huge_blocks(row.table), row.blocks) << row.table;
    }
    // Preparing a buffer for its read never changes what it holds.
    std::vector<std::uint8_t> bytes(5u << 20);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
    const std::vector<std::uint8_t> before = bytes;
    rerazera::prepare_for_fill(bytes.data(), bytes.size());
    EXPECT_EQ(bytes, before);
    // A fresh mapping comes back advised for huge pages when free blocks
    // cover it with room to spare (the library checks for them itself; twice
    // the need keeps the two readings from racing), and populated otherwise,
    // as a buffer that holds no whole huge page always is. Starts already on
    // a boundary lose no page of either size.
    constexpr std::size_t kLen = 8u << 20, kHuge = 2u << 20, kPage = 4096;
    const bool hugeExpected =
        ::access("/sys/kernel/mm/transparent_hugepage", F_OK) == 0 &&
        rerazera::free_huge_blocks(read_text("/proc/buddyinfo")) >= 2 * (kLen / kHuge);
    const struct {
        std::size_t offset, len;  // from the first 2 MiB boundary; huge: whole huge pages inside
        bool huge;
    } buffers[] = {
        {100, kLen, true},     {100, kHuge - 100, false},  // ends on 2 MiB
        {0, kLen, true},       {kPage, kHuge / 2, false},
        {kPage, kHuge, false},  // starts and ends on a page, holds no whole huge page
    };
    for (const auto &row : buffers) {
        auto *raw = static_cast<std::uint8_t *>(::mmap(
            nullptr, kLen + 2 * kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(raw, MAP_FAILED);
        std::uint8_t *const boundary =
            raw + (kHuge - reinterpret_cast<std::uintptr_t>(raw) % kHuge) % kHuge;
        std::uint8_t *const start = boundary + row.offset;
        rerazera::prepare_for_fill(start, row.len);
        // The first whole huge page, and the whole small pages, of the buffer.
        std::uint8_t *const firstHuge = boundary + (row.offset + kHuge - 1) / kHuge * kHuge;
        std::uint8_t *const firstPage = boundary + (row.offset + kPage - 1) / kPage * kPage;
        const std::size_t pages = (start + row.len - firstPage) / kPage * kPage;
        const bool advised = rztest::vm_flags(firstHuge).find(" hg") != std::string::npos;
        EXPECT_EQ(advised, hugeExpected && row.huge) << row.offset << "+" << row.len;
        EXPECT_EQ(rztest::all_resident(firstPage, pages), !advised) << row.offset << "+" << row.len;
        ::munmap(raw, kLen + 2 * kHuge);
    }
}

}  // namespace
