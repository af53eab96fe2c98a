/* Allocation failure injection for the fault tests.
 *
 * The test executable defines malloc() and free() itself; the library is
 * linked as the shared object, so its calls to malloc() bind to these
 * definitions. Only allocations made directly by the library's code are
 * counted (the caller's address lies in the shared object's text), so the
 * test framework, the log capture and libc's own allocations are never
 * failed. While armed, the n-th counted allocation returns NULL and every
 * counted allocation is tracked until freed, so a test can tell that a
 * failing call released everything it took. */
#ifndef RERAZERA_ALLOC_FAULT_H
#define RERAZERA_ALLOC_FAULT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct alloc_report {
    unsigned count;     /* allocations the library asked for while armed */
    unsigned failed;    /* 1 when the armed allocation was reached and failed */
    unsigned live;      /* allocations not freed when disarmed */
    size_t failed_size; /* size asked for by the failed allocation */
};

/* Starts counting; fail_at = n fails the n-th allocation, 0 fails none. */
void alloc_fault_arm(unsigned fail_at);

/* Stops counting and reports. */
struct alloc_report alloc_fault_disarm(void);

#ifdef __cplusplus
}
#endif

#endif
