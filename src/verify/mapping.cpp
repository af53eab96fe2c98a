// SPDX-License-Identifier: MIT
#include "verify/mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "base/c_boundary.hpp"
#include "base/resolved_path.hpp"
#include "base/safe_memory.hpp"
#include "base/unique_fd.hpp"
#include "format/crc.hpp"
#include "format/layout.hpp"

namespace rerazera {
namespace {

// Texts for the caller's message buffer; the mapping step logs nothing.
constexpr char kOpenFailed[] = "open qv file fail! \n";
constexpr char kSeekFailed[] = "move qv file offset fail! \n";
constexpr char kShorterThanHeader[] = "File length is wrong, less than header.\n";
constexpr char kMmapFailed[] = "Mmap Device space fail\n";

// File positions are signed 32-bit: a file of 2 GiB or more has a length
// that such a position cannot hold, and its length is refused like a
// failing seek.
constexpr off_t kMaxPosition = INT32_MAX;

}  // namespace

bool refuse_length(std::uint64_t length, char *msg, std::uint32_t msgSize) noexcept {
    if (length > static_cast<std::uint64_t>(kMaxPosition)) {
        bounded_print(msg, msgSize, kSeekFailed);
        return true;
    }
    if (length < layout::header::kSize) {
        bounded_print(msg, msgSize, kShorterThanHeader);
        return true;
    }
    return false;
}

int Mapping::reset() noexcept {
    int result = 0;
    if (addr_ != nullptr) {
        result = ::munmap(addr_, size_);
    }
    addr_ = nullptr;
    size_ = 0;
    return result;
}

Mapping map_package(const char *path, char *msg, std::uint32_t msgSize) noexcept {
    const ResolvedPath resolved(path);
    if (!resolved.ok()) {
        return {};  // msg keeps what the caller left in it
    }
    UniqueFd fd(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        bounded_print(msg, msgSize, kOpenFailed);
        return {};
    }
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    if (end < 0) {
        bounded_print(msg, msgSize, kSeekFailed);
        return {};
    }
    if (refuse_length(static_cast<std::uint64_t>(end), msg, msgSize)) {
        return {};
    }
    const auto length = static_cast<std::size_t>(end);
    void *addr = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
    fd.reset();  // a mapping needs no descriptor; close whether or not it worked
    if (addr == MAP_FAILED) {
        bounded_print(msg, msgSize, kMmapFailed);
        return {};
    }
    return Mapping(static_cast<std::uint8_t *>(addr), static_cast<std::uint32_t>(length));
}

void advise_whole_read(const Mapping &mapping) noexcept {
    if (!mapping) {
        return;
    }
    void *addr = const_cast<std::uint8_t *>(mapping.data());
    // Huge-page advice makes readahead fill the page cache with 2 MiB folios,
    // which the fault path maps with one entry each instead of 512: on a
    // virtual machine with shadow page tables every 4 KiB entry touched for
    // the first time costs an exit to the hypervisor. WILLNEED starts
    // reading a cold file at once, so disk reads overlap the checksums.
    // Both are hints: a kernel that refuses them changes nothing.
    (void)::madvise(addr, mapping.size(), MADV_HUGEPAGE);
    (void)::madvise(addr, mapping.size(), MADV_WILLNEED);
}

void PageFeeder::feed(const std::uint8_t *p, std::size_t n) const noexcept {
#ifdef MADV_POPULATE_READ
    const auto begin = reinterpret_cast<std::uintptr_t>(begin_);
    const auto end = reinterpret_cast<std::uintptr_t>(end_);
    const auto from = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t to = n > end - from ? end : from + n;
    if (from < begin || from >= to) {
        return;
    }
    // madvise wants a page-aligned start; the mapping itself starts on a page.
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = from & ~(page - 1);
    (void)::madvise(reinterpret_cast<void *>(start), to - start, MADV_POPULATE_READ);
#else
    (void)p;
    (void)n;
#endif
}

std::uint16_t crc16_mapped(const std::uint8_t *p, std::size_t n, const PageFeeder *feeder,
                           std::uint16_t from) noexcept {
    if (feeder == nullptr || n < PageFeeder::kMinFed) {
        return crc16_update(from, p, n);
    }
    std::uint16_t crc = from;
    for (std::size_t done = 0; done < n;) {
        const std::size_t chunk = n - done < PageFeeder::kChunk ? n - done : PageFeeder::kChunk;
        feeder->feed(p + done, chunk);
        crc = crc16_update(crc, p + done, chunk);
        done += chunk;
    }
    return crc;
}

}  // namespace rerazera

RERAZERA_EXPORT uint8_t *QVPKG_MapQVFile(const char *path, uint32_t *fileLen, char *msg,
                                         uint32_t msgSize) {
    rerazera::Mapping mapping = rerazera::map_package(path, msg, msgSize);
    if (!mapping) {
        return nullptr;
    }
    *fileLen = mapping.size();
    return mapping.release();
}

RERAZERA_EXPORT int32_t QVPKG_UnmapQVFile(void *addr, uint32_t len) {
    // The system's answer, unchanged: 0, or -1 when it refuses.
    return ::munmap(addr, len);
}
