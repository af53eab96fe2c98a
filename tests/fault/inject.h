// SPDX-License-Identifier: MIT
/* Fault injection for the fault tests. The test executable defines malloc(),
 * calloc(), free(), mmap(), munmap(), open(), read() and lseek()
 * itself; the library
 * is linked as the shared object, so its calls bind to these definitions.
 * Only calls made directly by the library's code are counted (the caller's
 * address lies in the shared object's text): the framework's and libc's own
 * are never failed. While armed, the chosen allocation (malloc, calloc or
 * mmap) fails, and every counted allocation is tracked until released; the
 * chosen read or seek fails as told. */
#ifndef RERAZERA_INJECT_H
#define RERAZERA_INJECT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct alloc_report {
    unsigned count;     /* allocations the library asked for while armed */
    unsigned failed;    /* how many of them were failed */
    unsigned live;      /* heap blocks not freed when disarmed */
    size_t live_mapped; /* bytes of counted mappings not unmapped */
    size_t failed_size; /* size asked for by the first failed allocation */
};

/* fail_at = n fails the n-th allocation (0: none); sticky fails every one
 * from the n-th on, so a fallback from a mapping to the heap fails too. */
void alloc_fault_arm(unsigned fail_at, int sticky);
struct alloc_report alloc_fault_disarm(void);

/* What the n-th read() of the library does instead; the n-th lseek() or
 * open() fails (EIO, EACCES). */
enum io_fault { IO_EIO = 1, IO_EINTR, IO_SHORT };
void io_fault_arm(unsigned nth_read, unsigned nth_seek, unsigned nth_open, enum io_fault what);
void io_fault_disarm(void);

#ifdef __cplusplus
}
#endif

#endif
