// Choosing the CRC-16 kernel: the list of kernels compiled in, a CPU probe
// for each, and crc16_update, which picks once and caches the choice.
//
// The probe asks two questions for every vector kernel: does the CPU have the
// instructions (cpuid), and has the operating system enabled the registers
// they use (xgetbv reads XCR0, which the kernel sets for the state it saves on
// a context switch). A CPU with AVX-512 under a kernel that does not save the
// ZMM state must not run AVX-512 code.
#include <cstdlib>
#include <cstring>

#include "format/crc.hpp"
#include "format/crc_kernels.hpp"

#if defined(RERAZERA_CRC_X86)
#include <cpuid.h>
#endif

namespace rerazera {
namespace {

// The diagnostics override: names one kernel to use instead of the automatic
// choice. Testing and measurement only; the default needs no setting.
constexpr char kKernelVariable[] = "RERAZERA_CRC_KERNEL";

bool always_usable() noexcept {
    return true;
}

#if defined(RERAZERA_CRC_X86)

struct CpuFeatures {
    bool clmul = false;    // SSSE3, SSE4.1, PCLMULQDQ, XMM state enabled
    bool vpclmul = false;  // plus AVX-512 F/BW/VL, VPCLMULQDQ, YMM and ZMM state
};

// XCR0 bits: 1 XMM, 2 YMM upper halves, 5 opmask, 6 ZMM upper halves of
// registers 0-15, 7 registers 16-31.
constexpr std::uint64_t kXcr0Xmm = 1u << 1;
constexpr std::uint64_t kXcr0Avx512 = kXcr0Xmm | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);

std::uint64_t read_xcr0() noexcept {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    // XGETBV with ECX = 0, written as assembly so this file needs no -mxsave.
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t{hi} << 32) | lo;
}

CpuFeatures probe() noexcept {
    CpuFeatures f;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return f;
    }
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    const bool pclmul = (ecx & bit_PCLMUL) != 0;
    const bool osxsave = (ecx & bit_OSXSAVE) != 0;
    // Without OSXSAVE, XCR0 cannot be read; the XMM registers are part of the
    // x86-64 baseline and always saved, but nothing wider is.
    const std::uint64_t xcr0 = osxsave ? read_xcr0() : kXcr0Xmm;
    f.clmul = ssse3 && sse41 && pclmul && (xcr0 & kXcr0Xmm) != 0;

    if (!f.clmul || !osxsave || (xcr0 & kXcr0Avx512) != kXcr0Avx512) {
        return f;
    }
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return f;
    }
    const bool avx512f = (ebx & bit_AVX512F) != 0;
    const bool avx512bw = (ebx & bit_AVX512BW) != 0;
    const bool avx512vl = (ebx & bit_AVX512VL) != 0;
    const bool vpclmulqdq = (ecx & bit_VPCLMULQDQ) != 0;
    f.vpclmul = avx512f && avx512bw && avx512vl && vpclmulqdq;
    return f;
}

// Probed once; the answer cannot change while the process runs.
const CpuFeatures &features() noexcept {
    static const CpuFeatures cached = probe();
    return cached;
}

bool clmul_usable() noexcept {
    return features().clmul;
}
bool vpclmul_usable() noexcept {
    return features().vpclmul;
}

#endif  // RERAZERA_CRC_X86

constexpr CrcKernel kKernels[] = {
    {"portable", crc16_update_portable, always_usable},
#if defined(RERAZERA_CRC_X86)
    {"clmul", crc16_update_clmul, clmul_usable},
    {"vpclmul", crc16_update_vpclmul, vpclmul_usable},
#endif
};

}  // namespace

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
    // thread-safe, and the override is read exactly once, here.
    static const CrcKernel &active = crc_select_kernel(std::getenv(kKernelVariable));
    return active;
}

std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t *data, std::size_t size) noexcept {
    static const CrcUpdateFn update = crc_active_kernel().update;
    return update(crc, data, size);
}

}  // namespace rerazera
