// SPDX-License-Identifier: MIT
/* A device daemon's update step: opens a QV package from a descriptor,
 * verifies it, checks every entry, then streams one sub-file's payload (its
 * bin header stripped) into another descriptor, checked before its first
 * byte is written.
 *   cc -std=c99 verify_and_extract.c $(pkg-config --cflags --libs rerazera-package)
 *   ./a.out PACKAGE FILE_ID OUTPUT          exit status 0: all went well */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <rerazera/package.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

/* Why a package was refused; called only when something fails. */
static void log_line(void *ctx, const char *line) {
    fprintf(stderr, "%s: %s\n", (const char *)ctx, line);
}

/* Every entry is reported, past the first failure. */
static int count_entry(void *ctx, const rerazera_entry_report *r) {
    unsigned *counts = ctx;
    counts[0]++;
    if (!r->ok) {
        counts[1]++;
        printf("entry %u of table %u (0x%x): %s\n", (unsigned)r->entry.index,
               (unsigned)r->entry.table, (unsigned)r->entry.file_id,
               rerazera_reason_name(r->reason));
    }
    return 0;
}

int main(int argc, char **argv) {
    rerazera_open_options options = {0, log_line, NULL};
    rerazera_package *pkg = NULL;
    rerazera_entry entry;
    char msg[256] = "";
    unsigned counts[2] = {0, 0};
    int32_t rc;
    int in, out;

    if (argc != 4) {
        fprintf(stderr, "usage: %s PACKAGE FILE_ID OUTPUT\n", argv[0]);
        return 2;
    }
    if ((in = open(argv[1], O_RDONLY | O_CLOEXEC)) < 0) {
        perror(argv[1]);
        return 1;
    }
    options.log_ctx = argv[1];
    /* One snapshot of the file: every later call reads the same bytes. The
     * descriptor stays ours. */
    rc = rerazera_package_open_fd(in, &options, &pkg);
    /* Every checksum and every bound; msg receives the verdict. */
    if (rc == RERAZERA_OK) {
        rc = rerazera_package_verify(pkg, msg, sizeof msg, NULL);
        printf("%s", msg);
        rerazera_package_report(pkg, count_entry, counts);
        printf("%u entries checked, %u failed\n", counts[0], counts[1]);
    }
    /* The header table, then the extension. */
    if (rc == RERAZERA_OK)
        rc = rerazera_package_find_id(pkg, (uint32_t)strtoul(argv[2], NULL, 0), &entry);
    if (rc == RERAZERA_OK) {
        out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        rc = out < 0
                 ? RERAZERA_ERR_IO
                 : rerazera_package_extract_fd(
                       pkg, &entry, RERAZERA_EXTRACT_STRIP | RERAZERA_EXTRACT_VERIFY_FIRST, out);
        if (out >= 0 && close(out) != 0 && rc == RERAZERA_OK)
            rc = RERAZERA_ERR_SINK;
    }
    if (rc == RERAZERA_OK)
        printf("%s: %s, %u bytes\n", argv[3], entry.name, (unsigned)entry.data_len);
    else
        fprintf(stderr, "%s, sub-file %s: %s\n", argv[1], argv[2], rerazera_strerror(rc));
    rerazera_package_free(pkg);
    close(in);
    return rc == RERAZERA_OK ? 0 : 1;
}
