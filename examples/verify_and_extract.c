// SPDX-License-Identifier: MIT
/* Verifies a QV package, finds one sub-file by ID and writes it out, checked
 * before its first byte reaches the output.
 *   cc verify_and_extract.c $(pkg-config --cflags --libs rerazera-package)
 *   ./a.out PACKAGE FILE_ID OUTPUT          exit status 0: all went well */
#include <fcntl.h>
#include <rerazera/package.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv) {
    char msg[256] = "";
    rerazera_package *pkg = NULL;
    rerazera_entry entry;
    uint32_t id = argc == 4 ? (uint32_t)strtoul(argv[2], NULL, 0) : 0;
    int32_t rc;
    int out;

    if (argc != 4) {
        fprintf(stderr, "usage: %s PACKAGE FILE_ID OUTPUT\n", argv[0]);
        return 2;
    }
    /* One snapshot of the file: every later call reads the same bytes. */
    rc = rerazera_package_open_path(argv[1], NULL, &pkg);
    /* Every checksum and every bound; msg receives the verdict. */
    if (rc == RERAZERA_OK) {
        rc = rerazera_package_verify(pkg, msg, sizeof msg, NULL);
        printf("%s", msg);
    }
    /* The header table, then the extension. */
    if (rc == RERAZERA_OK)
        rc = rerazera_package_find_id(pkg, id, &entry);
    if (rc == RERAZERA_OK) {
        out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
        rc = out < 0 ? RERAZERA_ERR_IO
                     : rerazera_package_extract_fd(pkg, &entry, RERAZERA_EXTRACT_VERIFY_FIRST, out);
        if (out >= 0 && close(out) != 0 && rc == RERAZERA_OK)
            rc = RERAZERA_ERR_SINK;
    }
    if (rc == RERAZERA_OK)
        printf("%s: %s, %u bytes\n", argv[3], entry.name, (unsigned)entry.length);
    else
        fprintf(stderr, "%s, sub-file 0x%x: %s\n", argv[1], (unsigned)id, rerazera_strerror(rc));
    rerazera_package_free(pkg);
    return rc == RERAZERA_OK ? 0 : 1;
}
