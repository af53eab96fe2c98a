// SPDX-License-Identifier: MIT
// Read-only access to a handle's snapshot, for callers that show or compare
// a package's records as they are stored, and giving pages back after a
// long read.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "base/c_boundary.hpp"
#include "package/handle.hpp"

namespace rerazera::package {
namespace {

bool within(const rerazera_package &pkg, std::uint64_t offset, std::uint64_t length) noexcept {
    return offset <= pkg.size && length <= pkg.size - offset;
}

}  // namespace

void release_pages(const rerazera_package &pkg, const std::uint8_t *p, std::size_t n) noexcept {
    if (pkg.storage != Storage::Mapped) {
        return;  // anonymous or borrowed memory would lose its contents
    }
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto from = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(page - 1);
    if (from < to) {
        (void)::madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
    }
}

}  // namespace rerazera::package

using namespace rerazera::package;

RERAZERA_EXPORT const uint8_t *rerazera_package_bytes(const rerazera_package *pkg, uint64_t offset,
                                                      uint64_t length) {
    if (pkg == nullptr || !within(*pkg, offset, length)) {
        return nullptr;
    }
    return pkg->data + offset;
}

RERAZERA_EXPORT int32_t rerazera_package_release(const rerazera_package *pkg, uint64_t offset,
                                                 uint64_t length) {
    if (pkg == nullptr || !within(*pkg, offset, length)) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    release_pages(*pkg, pkg->data + offset, static_cast<std::size_t>(length));
    return RERAZERA_OK;
}
