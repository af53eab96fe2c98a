// SPDX-License-Identifier: MIT
// Opening a handle: from a path, from a caller's descriptor or from memory.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/c_boundary.hpp"
#include "base/resolved_path.hpp"
#include "base/unique_fd.hpp"
#include "format/layout.hpp"
#include "package/handle.hpp"
#include "package/log_sink.hpp"

namespace rerazera::package {
namespace {

// Positions in the format are signed 32-bit.
constexpr std::uint64_t kMaxSize = INT32_MAX;

int32_t size_result(std::uint64_t size) noexcept {
    if (size > kMaxSize) {
        return RERAZERA_ERR_TOO_LARGE;
    }
    if (size < layout::header::kSize) {
        return RERAZERA_ERR_NOT_PACKAGE;
    }
    return RERAZERA_OK;
}

// Reads size bytes from fd at 0 into private memory.
int32_t read_copy(int fd, std::size_t size, rerazera_package &pkg) noexcept {
    auto *buf = static_cast<std::uint8_t *>(std::malloc(size));
    if (buf == nullptr) {
        return RERAZERA_ERR_NO_MEMORY;
    }
    pkg.heap = buf;
    pkg.storage = Storage::Heap;
    for (std::size_t done = 0; done < size;) {
        const ssize_t got = ::pread(fd, buf + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return RERAZERA_ERR_IO;  // an error, or the file shrank under us
        }
        done += static_cast<std::size_t>(got);
    }
    pkg.data = buf;
    return RERAZERA_OK;
}

// Takes the snapshot of the regular file open at fd.
int32_t snapshot_fd(int fd, std::uint32_t flags, rerazera_package &pkg) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return errno == EBADF ? RERAZERA_ERR_INVALID_ARGUMENT : RERAZERA_ERR_IO;
    }
    if (!S_ISREG(st.st_mode)) {
        return RERAZERA_ERR_NOT_REGULAR;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (const int32_t r = size_result(size); r != RERAZERA_OK) {
        return r;
    }
    pkg.size = static_cast<std::uint32_t>(size);
    if ((flags & RERAZERA_OPEN_COPY) != 0) {
        return read_copy(fd, pkg.size, pkg);
    }
    // A sealed memfd (no writes, no shrinking) is a snapshot as it is; any
    // other file is mapped the same way and the header states the caveat.
    void *addr = ::mmap(nullptr, pkg.size, PROT_READ, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        return errno == ENOMEM ? RERAZERA_ERR_NO_MEMORY : RERAZERA_ERR_IO;
    }
    pkg.mapping = Mapping(static_cast<std::uint8_t *>(addr), pkg.size);
    pkg.storage = Storage::Mapped;
    pkg.data = pkg.mapping.data();
    return RERAZERA_OK;
}

rerazera_package *new_handle(const rerazera_open_options *options) noexcept {
    auto *pkg = new (std::nothrow) rerazera_package;
    if (pkg != nullptr && options != nullptr) {
        pkg->log = options->log;
        pkg->log_ctx = options->log_ctx;
    }
    return pkg;
}

// Decodes a handle whose bytes are in place and hands it out, or frees it.
int32_t finish(rerazera_package *pkg, int32_t r, rerazera_package **out) noexcept {
    if (r != RERAZERA_OK) {
        delete pkg;
        return r;
    }
    decode(*pkg);
    *out = pkg;
    return RERAZERA_OK;
}

int32_t open_errno(int err) noexcept {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
        case ELOOP:
        case ENAMETOOLONG:
            return RERAZERA_ERR_NO_SUCH_FILE;
        case ENXIO:  // a socket, or a device without a driver
        case ENODEV:
            return RERAZERA_ERR_NOT_REGULAR;
        case ENOMEM:
            return RERAZERA_ERR_NO_MEMORY;
        default:
            return RERAZERA_ERR_IO;
    }
}

}  // namespace
}  // namespace rerazera::package

rerazera_package::~rerazera_package() {
    (void)mapping.reset();
    std::free(heap);
    std::free(path);
}

using namespace rerazera;
using namespace rerazera::package;

RERAZERA_EXPORT int32_t rerazera_package_open_path(const char *path,
                                                   const rerazera_open_options *options,
                                                   rerazera_package **out) {
    if (path == nullptr || out == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    const ResolvedPath resolved(path);
    if (!resolved.ok()) {
        return open_errno(errno);
    }
    // Non-blocking, so that a FIFO cannot hold the call; fstat refuses it.
    const UniqueFd fd(::open(resolved.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return open_errno(errno);
    }
    rerazera_package *pkg = new_handle(options);
    if (pkg == nullptr) {
        return RERAZERA_ERR_NO_MEMORY;
    }
    const std::uint32_t flags = options != nullptr ? options->flags : 0;
    int32_t r = snapshot_fd(fd.get(), flags, *pkg);
    if (r == RERAZERA_OK) {
        pkg->path = ::strdup(path);
        if (pkg->path == nullptr) {
            r = RERAZERA_ERR_NO_MEMORY;
        }
    }
    return finish(pkg, r, out);  // the descriptor closes on return
}

RERAZERA_EXPORT int32_t rerazera_package_open_fd(int fd, const rerazera_open_options *options,
                                                 rerazera_package **out) {
    if (fd < 0 || out == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    rerazera_package *pkg = new_handle(options);
    if (pkg == nullptr) {
        return RERAZERA_ERR_NO_MEMORY;
    }
    return finish(pkg, snapshot_fd(fd, options != nullptr ? options->flags : 0, *pkg), out);
}

RERAZERA_EXPORT int32_t rerazera_package_open_memory(const void *data, std::size_t size,
                                                     const rerazera_open_options *options,
                                                     rerazera_package **out) {
    if (data == nullptr || out == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    if (const int32_t r = size_result(size); r != RERAZERA_OK) {
        return r;
    }
    rerazera_package *pkg = new_handle(options);
    if (pkg == nullptr) {
        return RERAZERA_ERR_NO_MEMORY;
    }
    pkg->size = static_cast<std::uint32_t>(size);
    pkg->data = static_cast<const std::uint8_t *>(data);
    int32_t r = RERAZERA_OK;
    if (options != nullptr && (options->flags & RERAZERA_OPEN_COPY) != 0) {
        pkg->heap = std::malloc(size);
        if (pkg->heap == nullptr) {
            r = RERAZERA_ERR_NO_MEMORY;
        } else {
            std::memcpy(pkg->heap, data, size);
            pkg->data = static_cast<const std::uint8_t *>(pkg->heap);
            pkg->storage = Storage::Heap;
        }
    }
    return finish(pkg, r, out);
}

RERAZERA_EXPORT void rerazera_package_free(rerazera_package *pkg) {
    delete pkg;
}
