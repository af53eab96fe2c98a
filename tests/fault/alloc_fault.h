/* Allocation failure injection for the fault tests.
 *
 * The test executable defines malloc(), calloc(), free(), mmap() and
 * munmap() itself; the library is linked as the shared object, so its calls
 * bind to these definitions. Only requests made directly by the library's
 * code are counted (the caller's address lies in the shared object's text),
 * so the test framework, the log capture and libc's own allocations are
 * never failed. Every counted malloc/calloc block and every counted mapping
 * is an allocation: while armed, the chosen one returns NULL (MAP_FAILED,
 * ENOMEM), and every counted allocation is tracked until it is released, so
 * a test can tell that a failing call gave back everything it took. */
#ifndef RERAZERA_ALLOC_FAULT_H
#define RERAZERA_ALLOC_FAULT_H

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

/* Starts counting. fail_at = n fails the n-th allocation (0: none); with
 * sticky set, every allocation from the n-th on fails, so a fallback from
 * one kind of memory to another fails too. */
void alloc_fault_arm(unsigned fail_at, int sticky);

/* Stops counting and reports. */
struct alloc_report alloc_fault_disarm(void);

#ifdef __cplusplus
}
#endif

#endif
