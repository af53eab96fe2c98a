// SPDX-License-Identifier: MIT
/* See inject.h. Written in C: these definitions replace libc's for the
 * whole test executable and forward to glibc's allocator and the system. */
#define _GNU_SOURCE
#include "inject.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "rerazera.h"

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void __libc_free(void *ptr);

enum { kMaxBlocks = 4096, kMaxRanges = 64 };

static int armed, sticky;
static unsigned fail_at, count, failed;
static size_t failed_size;
static void *blocks[kMaxBlocks];
static unsigned blocks_n;
static struct { uintptr_t begin, end; } ranges[kMaxRanges];
static unsigned io_read, io_seek, io_open, reads, seeks, opens;
static enum io_fault io_what;
static uintptr_t lib_begin, lib_end; /* the library's executable segment */

static int find_text(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    for (int i = 0; info->dlpi_addr == (uintptr_t)data && i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X) != 0) {
            lib_begin = info->dlpi_addr + ph->p_vaddr;
            lib_end = lib_begin + ph->p_memsz;
            return 1;
        }
    }
    return 0;
}

static void locate_library(void) {
    void (*fn)(const uint8_t *, int32_t, uint16_t *) = QVPKG_MakeCrcCheckSum;
    void *addr;
    Dl_info info;
    memcpy(&addr, &fn, sizeof addr);
    if (lib_end == 0 &&
        (dladdr(addr, &info) == 0 || dl_iterate_phdr(find_text, info.dli_fbase) == 0)) {
        abort();
    }
}

static int from_library(uintptr_t caller) {
    return caller >= lib_begin && caller < lib_end;
}

/* Counts one allocation; true when it is to fail. */
static int next_fails(uintptr_t caller, size_t size) {
    if (!armed || !from_library(caller)) {
        return 0;
    }
    ++count;
    if (count == fail_at || (sticky && fail_at != 0 && count > fail_at)) {
        failed_size = failed++ == 0 ? size : failed_size;
        return 1;
    }
    return 0;
}

void alloc_fault_arm(unsigned n, int isSticky) {
    locate_library();
    fail_at = n;
    sticky = isSticky;
    count = failed = blocks_n = 0;
    failed_size = 0;
    memset(ranges, 0, sizeof ranges);
    armed = 1;
}

struct alloc_report alloc_fault_disarm(void) {
    struct alloc_report r = {count, failed, 0, 0, failed_size};
    armed = 0;
    for (unsigned i = 0; i < blocks_n; ++i) {
        r.live += blocks[i] != NULL;
    }
    for (unsigned i = 0; i < kMaxRanges; ++i) {
        r.live_mapped += ranges[i].end - ranges[i].begin;
    }
    blocks_n = 0;
    return r;
}

static void *track(uintptr_t caller, void *p) {
    if (armed && from_library(caller) && p != NULL && blocks_n < kMaxBlocks) {
        blocks[blocks_n++] = p;
    }
    return p;
}

void *malloc(size_t size) {
    const uintptr_t caller = (uintptr_t)__builtin_return_address(0);
    return next_fails(caller, size) ? NULL : track(caller, __libc_malloc(size));
}

void *calloc(size_t n, size_t size) {
    const uintptr_t caller = (uintptr_t)__builtin_return_address(0);
    return next_fails(caller, n * size) ? NULL : track(caller, __libc_calloc(n, size));
}

void free(void *ptr) {
    for (unsigned i = 0; armed && ptr != NULL && i < blocks_n; ++i) {
        if (blocks[i] == ptr) {
            blocks[i] = NULL;
        }
    }
    __libc_free(ptr);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    const uintptr_t caller = (uintptr_t)__builtin_return_address(0);
    if (next_fails(caller, length)) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    const long r = syscall(SYS_mmap, addr, length, prot, flags, fd, offset);
    for (unsigned i = 0; r != -1 && armed && from_library(caller) && i < kMaxRanges; ++i) {
        if (ranges[i].begin == ranges[i].end) {
            ranges[i].begin = (uintptr_t)r;
            ranges[i].end = (uintptr_t)r + length;
            break;
        }
    }
    return r == -1 ? MAP_FAILED : (void *)r;
}

int munmap(void *addr, size_t length) {
    const long r = syscall(SYS_munmap, addr, length);
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    const uintptr_t b = (uintptr_t)addr, e = b + (length + page - 1) / page * page;
    for (unsigned i = 0; r == 0 && armed && i < kMaxRanges; ++i) {
        /* Cut [b, e) out of each tracked range; a hole in the middle of
         * one keeps its head here and moves its tail to a free slot. */
        const uintptr_t rb = ranges[i].begin, re = ranges[i].end;
        if (rb == re || e <= rb || b >= re) {
            continue;
        }
        ranges[i].begin = b <= rb ? (e >= re ? 0 : e) : rb;
        ranges[i].end = b <= rb ? (e >= re ? 0 : re) : b;
        for (unsigned j = 0; b > rb && e < re && j < kMaxRanges; ++j) {
            if (ranges[j].begin == ranges[j].end) {
                ranges[j].begin = e;
                ranges[j].end = re;
                break;
            }
        }
    }
    return r == 0 ? 0 : -1;
}

void io_fault_arm(unsigned nth_read, unsigned nth_seek, unsigned nth_open, enum io_fault what) {
    locate_library();
    io_read = nth_read;
    io_seek = nth_seek;
    io_open = nth_open;
    io_what = what;
    reads = seeks = opens = 0;
}

void io_fault_disarm(void) {
    io_read = io_seek = io_open = 0;
}

int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (io_open != 0 && from_library((uintptr_t)__builtin_return_address(0)) &&
        ++opens == io_open) {
        errno = EACCES;
        return -1;
    }
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

ssize_t read(int fd, void *buf, size_t n) {
    if (io_read != 0 && from_library((uintptr_t)__builtin_return_address(0)) &&
        ++reads == io_read) {
        if (io_what != IO_SHORT) {
            errno = io_what == IO_EINTR ? EINTR : EIO;
            return -1;
        }
        n = n > 100 ? 100 : n;
    }
    return syscall(SYS_read, fd, buf, n);
}

off_t lseek(int fd, off_t offset, int whence) {
    if (io_seek != 0 && from_library((uintptr_t)__builtin_return_address(0)) &&
        ++seeks == io_seek) {
        errno = EIO;
        return -1;
    }
    return syscall(SYS_lseek, fd, offset, whence);
}
