// SPDX-License-Identifier: MIT
// The CRC-16 kernels behind crc16_update, for the dispatcher, the tests and
// the benchmarks. Every kernel computes exactly the same function; they differ
// only in speed and in the instructions they need.
//
// "Compiled in" and "usable" are kept apart: crc_kernels() lists every kernel
// this build contains, and each entry's usable() says whether the running CPU
// and operating system can execute it. Calling a kernel whose usable() is
// false may raise an illegal-instruction fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace rerazera {

using CrcUpdateFn = std::uint16_t (*)(std::uint16_t crc, const std::uint8_t *data,
                                      std::size_t size) noexcept;

struct CrcKernel {
    const char *name;  // "portable", "clmul", "clmul_avx", "vpclmul256", "vpclmul", "pmull"
    CrcUpdateFn update;
    bool (*usable)() noexcept;
};

// Every kernel compiled into this build, slowest first; the portable kernel
// is always first and always usable.
std::span<const CrcKernel> crc_kernels() noexcept;

// The kernel crc16_update uses, chosen once on first use.
const CrcKernel &crc_active_kernel() noexcept;

// The choice itself: `requested` (null for the library's own choice) names a
// kernel for the tests and benchmarks to pick; a name that is unknown, not
// compiled in or not usable here falls back to the automatic choice, the
// last usable kernel.
const CrcKernel &crc_select_kernel(const char *requested) noexcept;

// Table-driven, sixteen bytes per step; any CPU.
std::uint16_t crc16_update_portable(std::uint16_t crc, const std::uint8_t *data,
                                    std::size_t size) noexcept;

// What the CPU probe reads: cpuid leaf 0's vendor, leaf 1's ECX, leaf 7
// (sub-leaf 0) when the CPU has it, and XCR0 when leaf 1 reports OSXSAVE.
struct CpuidReport {
    unsigned leaf1Ecx = 0;
    bool hasLeaf7 = false;
    unsigned leaf7Ebx = 0;
    unsigned leaf7Ecx = 0;
    std::uint64_t xcr0 = 0;
    bool amd = false;  // leaf 0's vendor is "AuthenticAMD" or "HygonGenuine"
};

struct CrcCpuFeatures {
    bool clmul = false;       // SSSE3, SSE4.1, PCLMULQDQ, XMM state enabled
    bool clmulAvx = false;    // plus AVX, YMM state
    bool vpclmul256 = false;  // plus AVX2, VPCLMULQDQ
    bool vpclmul = false;     // plus AVX-512 F/BW/VL, VPCLMULQDQ, YMM and ZMM state
    // Whether the folding loops ask for lines ahead of their loads on long
    // buffers. Intel's Ice Lake and AMD's Zen 3 need it to keep memory busy
    // (a fifth faster from memory on Zen 3); on the AMD cores with AVX-512
    // the hardware prefetcher already does: the extra requests cost Zen 4's
    // 512-bit kernel a third of its speed, and gained Zen 5 nothing
    // measurable.
    bool prefetchAhead = true;
};

// The probe's decision, apart from the instructions that read the CPU
// (x86-64 builds only). A CPU with AVX-512 under a kernel that does not save
// the ZMM state must not run AVX-512 code.
CrcCpuFeatures crc_features_from(const CpuidReport &report) noexcept;
// The running CPU's prefetchAhead, probed once (x86-64 builds only).
bool crc_prefetch_ahead() noexcept;

#if defined(__aarch64__)
// The probe's decision from getauxval(AT_HWCAP): Advanced SIMD and PMULL.
bool crc_pmull_from_hwcap(unsigned long hwcap) noexcept;
#endif

#if defined(RERAZERA_CRC_AARCH64)
// Carry-less multiply folding over 128-bit NEON registers (PMULL).
std::uint16_t crc16_update_pmull(std::uint16_t crc, const std::uint8_t *data,
                                 std::size_t size) noexcept;
#endif

#if defined(RERAZERA_CRC_X86)
// Carry-less multiply folding over 128-bit registers (SSE4.1 + PCLMULQDQ).
std::uint16_t crc16_update_clmul(std::uint16_t crc, const std::uint8_t *data,
                                 std::size_t size) noexcept;
// The same, built with AVX (VEX encoding, YMM state enabled).
std::uint16_t crc16_update_clmul_avx(std::uint16_t crc, const std::uint8_t *data,
                                     std::size_t size) noexcept;
// The same folding over 256-bit registers (AVX2 + VPCLMULQDQ).
std::uint16_t crc16_update_vpclmul256(std::uint16_t crc, const std::uint8_t *data,
                                      std::size_t size) noexcept;
// The same folding over 512-bit registers (AVX-512 F/BW/VL + VPCLMULQDQ).
std::uint16_t crc16_update_vpclmul(std::uint16_t crc, const std::uint8_t *data,
                                   std::size_t size) noexcept;
#endif

}  // namespace rerazera
