/* See alloc_fault.h. Written in C: these definitions replace libc's for the
 * whole test executable and forward to glibc's own allocator entry points
 * and to the system calls. */
#define _GNU_SOURCE
#include "alloc_fault.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
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

struct range {
    uintptr_t begin;
    uintptr_t end;
};

static int armed;
static unsigned fail_at;
static int sticky;
static unsigned count;
static unsigned failed;
static size_t failed_size;
static void *blocks[kMaxBlocks];
static unsigned blocks_n;
static struct range ranges[kMaxRanges];

/* Address range of the library's executable segment. */
static uintptr_t lib_begin;
static uintptr_t lib_end;

static int find_text(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    if (info->dlpi_addr != (uintptr_t)data) {
        return 0;
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
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
    if (lib_end != 0) {
        return;
    }
    /* Any function of the library tells which object it is. */
    void (*fn)(const uint8_t *, int32_t, uint16_t *) = QVPKG_MakeCrcCheckSum;
    void *addr;
    memcpy(&addr, &fn, sizeof addr);
    Dl_info info;
    if (dladdr(addr, &info) == 0) {
        abort();
    }
    dl_iterate_phdr(find_text, info.dli_fbase);
    if (lib_end == 0) {
        abort();
    }
}

static int from_library(uintptr_t caller) {
    return armed && caller >= lib_begin && caller < lib_end;
}

/* Counts one allocation; true when it is to fail. */
static int next_fails(size_t size) {
    ++count;
    if (count == fail_at || (sticky && fail_at != 0 && count > fail_at)) {
        if (failed++ == 0) {
            failed_size = size;
        }
        return 1;
    }
    return 0;
}

static void track_block(void *p) {
    if (p != NULL && blocks_n < kMaxBlocks) {
        blocks[blocks_n++] = p;
    }
}

void alloc_fault_arm(unsigned n, int isSticky) {
    locate_library();
    fail_at = n;
    sticky = isSticky;
    count = 0;
    failed = 0;
    failed_size = 0;
    blocks_n = 0;
    memset(ranges, 0, sizeof ranges);
    armed = 1;
}

struct alloc_report alloc_fault_disarm(void) {
    armed = 0;
    struct alloc_report r;
    r.count = count;
    r.failed = failed;
    r.live = 0;
    for (unsigned i = 0; i < blocks_n; ++i) {
        r.live += blocks[i] != NULL;
    }
    r.live_mapped = 0;
    for (unsigned i = 0; i < kMaxRanges; ++i) {
        r.live_mapped += ranges[i].end - ranges[i].begin;
    }
    r.failed_size = failed_size;
    blocks_n = 0;
    return r;
}

void *malloc(size_t size) {
    if (!from_library((uintptr_t)__builtin_return_address(0))) {
        return __libc_malloc(size);
    }
    if (next_fails(size)) {
        return NULL;
    }
    void *p = __libc_malloc(size);
    track_block(p);
    return p;
}

void *calloc(size_t n, size_t size) {
    if (!from_library((uintptr_t)__builtin_return_address(0))) {
        return __libc_calloc(n, size);
    }
    if (next_fails(n * size)) {
        return NULL;
    }
    void *p = __libc_calloc(n, size);
    track_block(p);
    return p;
}

void free(void *ptr) {
    if (armed && ptr != NULL) {
        for (unsigned i = 0; i < blocks_n; ++i) {
            if (blocks[i] == ptr) {
                blocks[i] = NULL;
                break;
            }
        }
    }
    __libc_free(ptr);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    const int counted = from_library((uintptr_t)__builtin_return_address(0));
    if (counted && next_fails(length)) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    const long r = syscall(SYS_mmap, addr, length, prot, flags, fd, offset);
    if (r == -1) {
        return MAP_FAILED; /* syscall() has set errno */
    }
    if (counted) {
        for (unsigned i = 0; i < kMaxRanges; ++i) {
            if (ranges[i].begin == ranges[i].end) {
                ranges[i].begin = (uintptr_t)r;
                ranges[i].end = (uintptr_t)r + length;
                break;
            }
        }
    }
    return (void *)r;
}

/* Removes [b, e) from the tracked mappings, splitting a range when the hole
 * is in its middle. */
static void untrack_range(uintptr_t b, uintptr_t e) {
    for (unsigned i = 0; i < kMaxRanges; ++i) {
        struct range *r = &ranges[i];
        if (r->begin == r->end || e <= r->begin || b >= r->end) {
            continue;
        }
        if (b <= r->begin && e >= r->end) {
            r->begin = r->end = 0;
        } else if (b <= r->begin) {
            r->begin = e;
        } else if (e >= r->end) {
            r->end = b;
        } else {
            const uintptr_t tail = r->end;
            r->end = b;
            for (unsigned j = 0; j < kMaxRanges; ++j) {
                if (ranges[j].begin == ranges[j].end) {
                    ranges[j].begin = e;
                    ranges[j].end = tail;
                    break;
                }
            }
        }
    }
}

int munmap(void *addr, size_t length) {
    const long r = syscall(SYS_munmap, addr, length);
    if (r == 0 && armed) {
        const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
        const uintptr_t b = (uintptr_t)addr;
        untrack_range(b, b + (length + page - 1) / page * page);
    }
    return r == 0 ? 0 : -1;
}
