// SPDX-License-Identifier: MIT
/* Verifies a QV package, extracts one sub-file by ID and checks the copy.
 *   cc verify_and_extract.c $(pkg-config --cflags --libs rerazera)
 *   ./a.out PACKAGE FILE_ID OUTPUT          exit status 0: all went well */
#include <rerazera.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    char msg[QVPKG_MSG_BUF_LEN];
    QVFileDesc desc;
    uint32_t len = 0;
    uint8_t *copy;
    int32_t id = argc == 4 ? (int32_t)strtoul(argv[2], NULL, 0) : 0, rc;

    if (argc != 4) {
        fprintf(stderr, "usage: %s PACKAGE FILE_ID OUTPUT\n", argv[0]);
        return 2;
    }
    /* Every checksum and every bound; msg receives the verdict. */
    rc = QVPKG_ChkQVFileInfo(argv[1], msg, sizeof msg);
    printf("%s", msg);
    /* The sub-file's descriptor (header table, then extension), then a copy
     * of the sub-file, bin header included. */
    if (rc == QVPKG_OK && (rc = QVPKG_GetQVFileInfo(argv[1], &desc, id)) == QVPKG_OK)
        rc = QVPKG_ExtractFileFromQV(argv[1], argv[3], id);
    if (rc != QVPKG_OK) {
        fprintf(stderr, "%s, sub-file 0x%x: error %d\n", argv[1], (unsigned)id, (int)rc);
        return 1;
    }
    /* The copy holds the whole sub-file, and its payload fits behind its bin header. */
    copy = QVPKG_ReadBinFile(argv[3], &len);
    rc = copy != NULL && len == desc.length && QVPKG_CheckBinHeader(copy, len) == QVPKG_OK;
    if (rc)
        printf("%s: %.96s, %u bytes\n", argv[3], ((const BinHeader *)copy)->name, (unsigned)len);
    free(copy);
    return rc ? 0 : 1;
}
