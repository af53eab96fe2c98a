// SPDX-License-Identifier: MIT
/* A device daemon writing a download to its partition as it arrives: the
 * bytes read from a socket (here standard input) are written out and fed to
 * the streaming verifier, which reports each entry as soon as its last byte
 * has passed; the final verdict is the whole-file check's. The partition
 * (a regular file here) holds the same bytes, so it serves the second pass
 * that some layouts need.
 *   cc -std=c99 stream_to_partition.c $(pkg-config --cflags --libs rerazera-package)
 *   ./a.out PARTITION < package          exit status 0: the image is good */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <rerazera/package.h>
#include <stdio.h>
#include <unistd.h>

/* One entry's verdict, as soon as its bytes are all written. */
static int entry_done(void *ctx, const rerazera_entry_report *r) {
    unsigned *failed = ctx;
    if (!r->ok)
        (*failed)++;
    printf("entry %u of table %u (0x%x) at %u: %s\n", (unsigned)r->entry.index,
           (unsigned)r->entry.table, (unsigned)r->entry.file_id, (unsigned)r->entry.offset,
           rerazera_reason_name(r->reason));
    return 0; /* non-zero would stop the download */
}

int main(int argc, char **argv) {
    unsigned failed = 0;
    rerazera_stream_options options = {entry_done, &failed, NULL, NULL};
    rerazera_stream *stream = NULL;
    static unsigned char buf[1 << 16];
    char msg[256] = "";
    int32_t rc, code = -1;
    ssize_t n;
    int part;

    if (argc != 2) {
        fprintf(stderr, "usage: %s PARTITION < package\n", argv[0]);
        return 2;
    }
    part = open(argv[1], O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (part < 0) {
        perror(argv[1]);
        return 2;
    }
    rc = rerazera_stream_new(&options, &stream);
    while (rc == RERAZERA_OK && (n = read(STDIN_FILENO, buf, sizeof buf)) != 0) {
        if (n < 0) {
            perror("standard input");
            rc = RERAZERA_ERR_IO;
        } else if (write(part, buf, (size_t)n) != n) {
            perror(argv[1]);
            rc = RERAZERA_ERR_SINK;
        } else {
            rc = rerazera_stream_feed(stream, buf, (size_t)n);
        }
    }
    /* The verdict of the whole image, with the partition for a second pass. */
    if (rc == RERAZERA_OK)
        rc = rerazera_stream_finish(stream, part, msg, sizeof msg, &code);
    printf("%s%u entries failed\n", msg, failed);
    if (rc != RERAZERA_OK)
        fprintf(stderr, "%s: %s\n", argv[1], rerazera_strerror(rc));
    rerazera_stream_free(stream);
    close(part);
    return rc == RERAZERA_OK ? 0 : 1;
}
