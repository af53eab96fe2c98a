// SPDX-License-Identifier: MIT
// Preloaded into the tool by its tests: as soon as the file named by
// RERAZERA_SHRINK_FILE is mapped, it is cut to nothing, as if another
// process truncated the package while the tool reads it. Every later touch
// of the mapping faults, at a known moment and on every run.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    static void *(*real)(void *, size_t, int, int, int, off_t);
    if (real == NULL) {
        real = (void *(*)(void *, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap");
    }
    void *p = real(addr, len, prot, flags, fd, off);
    const char *target = getenv("RERAZERA_SHRINK_FILE");
    struct stat mapped, named;
    if (p != MAP_FAILED && fd >= 0 && target != NULL && fstat(fd, &mapped) == 0 &&
        stat(target, &named) == 0 && mapped.st_dev == named.st_dev &&
        mapped.st_ino == named.st_ino) {
        (void)truncate(target, 0);
    }
    return p;
}
