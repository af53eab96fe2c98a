// SPDX-License-Identifier: MIT
// Choosing the CRC-16 kernel: the list of kernels compiled in, a CPU probe
// for each, and crc16_update, which picks once and caches the choice.
//
// The probe asks two questions for every vector kernel: does the CPU have the
// instructions (cpuid), and has the operating system enabled the registers
// they use (xgetbv reads XCR0, which the kernel sets for the state it saves on
// a context switch). A CPU with AVX-512 under a kernel that does not save the
// ZMM state must not run AVX-512 code.
#include <atomic>
#include <cstring>

#include "format/crc.hpp"
#include "format/crc_kernels.hpp"

#if defined(RERAZERA_CRC_X86)
#include <cpuid.h>
#endif
#if defined(__aarch64__)
#include <sys/auxv.h>
#endif

namespace rerazera {
namespace {

bool always_usable() noexcept {
    return true;
}

#if defined(RERAZERA_CRC_X86)

// XCR0 bits: 1 XMM, 2 YMM upper halves, 5 opmask, 6 ZMM upper halves of
// registers 0-15, 7 registers 16-31.
constexpr std::uint64_t kXcr0Xmm = 1u << 1;
constexpr std::uint64_t kXcr0Ymm = kXcr0Xmm | (1u << 2);
constexpr std::uint64_t kXcr0Avx512 = kXcr0Xmm | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);

constexpr bool has_all(std::uint64_t word, std::uint64_t bits) noexcept {
    return (word & bits) == bits;
}

std::uint64_t read_xcr0() noexcept {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    // XGETBV with ECX = 0, written as assembly so this file needs no -mxsave.
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t{hi} << 32) | lo;
}

CrcCpuFeatures probe() noexcept {
    CpuidReport r;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned edx = 0;
    unsigned ecx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
        char vendor[12];
        std::memcpy(vendor, &ebx, 4);
        std::memcpy(vendor + 4, &edx, 4);
        std::memcpy(vendor + 8, &ecx, 4);
        r.amd = std::memcmp(vendor, "AuthenticAMD", 12) == 0 ||
                std::memcmp(vendor, "HygonGenuine", 12) == 0;
    }
    if (__get_cpuid(1, &eax, &ebx, &r.leaf1Ecx, &edx) == 0) {
        return {};
    }
    if (has_all(r.leaf1Ecx, bit_OSXSAVE)) {
        r.xcr0 = read_xcr0();
    }
    r.hasLeaf7 = __get_cpuid_count(7, 0, &eax, &r.leaf7Ebx, &r.leaf7Ecx, &edx) != 0;
    return crc_features_from(r);
}

// Probed once; the answer cannot change while the process runs.
const CrcCpuFeatures &features() noexcept {
    static const CrcCpuFeatures cached = probe();
    return cached;
}

bool clmul_usable() noexcept {
    return features().clmul;
}
bool clmul_avx_usable() noexcept {
    return features().clmulAvx;
}
bool vpclmul256_usable() noexcept {
    return features().vpclmul256;
}
bool vpclmul_usable() noexcept {
    return features().vpclmul;
}

}  // namespace

bool crc_prefetch_ahead() noexcept {
    return features().prefetchAhead;
}

namespace {

#endif  // RERAZERA_CRC_X86

#if defined(RERAZERA_CRC_AARCH64)

// The kernel reports the CPU's features to every process in the auxiliary
// vector; unlike cpuid, nothing else needs asking.
bool pmull_usable() noexcept {
    static const bool cached = crc_pmull_from_hwcap(getauxval(AT_HWCAP));
    return cached;
}

#endif  // RERAZERA_CRC_AARCH64

constexpr CrcKernel kKernels[] = {
    {"portable", crc16_update_portable, always_usable},
#if defined(RERAZERA_CRC_X86)
    {"clmul", crc16_update_clmul, clmul_usable},
    {"clmul_avx", crc16_update_clmul_avx, clmul_avx_usable},
    {"vpclmul256", crc16_update_vpclmul256, vpclmul256_usable},
    {"vpclmul", crc16_update_vpclmul, vpclmul_usable},
#endif
#if defined(RERAZERA_CRC_AARCH64)
    {"pmull", crc16_update_pmull, pmull_usable},
#endif
};

}  // namespace

#if defined(RERAZERA_CRC_X86)

CrcCpuFeatures crc_features_from(const CpuidReport &r) noexcept {
    // Without OSXSAVE, XCR0 cannot be read; the XMM registers are part of the
    // x86-64 baseline and always saved, but nothing wider is.
    const bool osxsave = has_all(r.leaf1Ecx, bit_OSXSAVE);
    const std::uint64_t xcr0 = osxsave ? r.xcr0 : kXcr0Xmm;
    CrcCpuFeatures f;
    f.clmul = has_all(r.leaf1Ecx, bit_SSSE3 | bit_SSE4_1 | bit_PCLMUL) && has_all(xcr0, kXcr0Xmm);
    // AVX2 is leaf 7 EBX bit 5; AVX itself (leaf 1 ECX) is what makes the
    // VEX-encoded 256-bit forms legal at all.
    f.clmulAvx = f.clmul && osxsave && has_all(xcr0, kXcr0Ymm) && has_all(r.leaf1Ecx, bit_AVX);
    f.vpclmul256 = f.clmulAvx && r.hasLeaf7 && has_all(r.leaf7Ebx, bit_AVX2) &&
                   has_all(r.leaf7Ecx, bit_VPCLMULQDQ);
    f.vpclmul = f.vpclmul256 && has_all(xcr0, kXcr0Avx512) &&
                has_all(r.leaf7Ebx, bit_AVX512F | bit_AVX512BW | bit_AVX512VL);
    f.prefetchAhead = !(r.amd && r.hasLeaf7 && has_all(r.leaf7Ebx, bit_AVX512F));
    return f;
}

#endif  // RERAZERA_CRC_X86

#if defined(__aarch64__)

bool crc_pmull_from_hwcap(unsigned long hwcap) noexcept {
    constexpr unsigned long kNeeded = HWCAP_ASIMD | HWCAP_PMULL;
    return (hwcap & kNeeded) == kNeeded;
}

#endif  // __aarch64__

std::span<const CrcKernel> crc_kernels() noexcept {
    return kKernels;
}

const CrcKernel &crc_select_kernel(const char *requested) noexcept {
    if (requested != nullptr) {
        for (const CrcKernel &k : kKernels) {
            if (std::strcmp(k.name, requested) == 0 && k.usable()) {
                return k;
            }
        }
    }
    const CrcKernel *best = &kKernels[0];
    for (const CrcKernel &k : kKernels) {
        if (k.usable()) {
            best = &k;
        }
    }
    return *best;
}

const CrcKernel &crc_active_kernel() noexcept {
    // Chosen on first use; the initialisation of a local static is
    // thread-safe. Nothing outside the process's CPU can change the choice.
    static const CrcKernel &active = crc_select_kernel(nullptr);
    return active;
}

namespace {

[[gnu::noinline, gnu::cold]] CrcUpdateFn resolve_update() noexcept {
    return crc_active_kernel().update;
}

}  // namespace

std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t *data, std::size_t size) noexcept {
    // Every bin header goes through here, so the call stays a load and a jump:
    // a guarded local static kept the slow path's register saves on the fast
    // one. The pointer only ever changes from null to the one kernel this CPU
    // gets, so threads racing to set it store the same value.
    static std::atomic<CrcUpdateFn> update{nullptr};
    CrcUpdateFn fn = update.load(std::memory_order_relaxed);
    if (fn == nullptr) [[unlikely]] {
        fn = resolve_update();
        update.store(fn, std::memory_order_relaxed);
    }
    return fn(crc, data, size);
}

}  // namespace rerazera
