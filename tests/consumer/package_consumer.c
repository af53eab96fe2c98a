// SPDX-License-Identifier: MIT
/* A C99 program of the installed package library: every function of
 * rerazera/package.h on the package the C++ program writes (one sub-file,
 * ID 0x202, "cxx.bin", 100 payload bytes), then on a copy with one payload
 * byte changed.
 *   package_consumer PACKAGE VERSION      exit status 0: every check held */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <rerazera/package.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failed;
#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: FAILED: %s\n", __FILE__, __LINE__, #cond); \
            failed++;                                                          \
        }                                                                      \
    } while (0)

struct sink {
    unsigned char bytes[1024];
    size_t len;
    unsigned calls;
};

static int to_sink(void *ctx, const void *data, size_t len) {
    struct sink *s = ctx;
    s->calls++;
    if (len > sizeof s->bytes - s->len)
        return 1;
    memcpy(s->bytes + s->len, data, len);
    s->len += len;
    return 0;
}

static void keep_log(void *ctx, const char *line) {
    struct sink *s = ctx;
    to_sink(s, line, strlen(line));
    to_sink(s, "\n", 1);
}

static int keep_report(void *ctx, const rerazera_entry_report *r) {
    rerazera_entry_report *reports = ctx;
    if (r->entry.index == 0)
        reports[r->entry.table == RERAZERA_TABLE_HEADER ? 0 : 1] = *r;
    return 0;
}

static int stop_report(void *ctx, const rerazera_entry_report *r) {
    (void)ctx;
    (void)r;
    return 1;
}

/* The checks that hold for the package as written (good) or damaged. */
static void check_package(rerazera_package *pkg, const unsigned char *file, size_t size, int good,
                          struct sink *log) {
    rerazera_header_info info;
    rerazera_entry e, by_name, by_desc;
    rerazera_entry_report reports[2], one;
    struct sink out = {{0}, 0, 0};
    char msg[128];
    int32_t qv = 99;
    const size_t payload = size - 100;

    CHECK(rerazera_package_header(pkg, &info) == RERAZERA_OK);
    CHECK(info.size == size && info.file_num == 1 && info.header_result == 0 &&
          info.header_crc_stored == info.header_crc_computed &&
          info.extension_state == RERAZERA_EXT_NONE && info.entry_count == 1);
    CHECK(rerazera_package_entry_count(pkg) == 1);
    CHECK(rerazera_package_entry(pkg, 1, &e) == RERAZERA_ERR_NOT_FOUND);
    CHECK(rerazera_package_entry(pkg, 0, &e) == RERAZERA_OK);
    {
        rerazera_descriptor d[2];
        size_t filled = 9;
        CHECK(rerazera_package_descriptors(pkg, 0, d, 2, &filled) == RERAZERA_OK && filled == 1 &&
              d[0].file_id == 0x202 && d[0].offset == 6180 && d[0].length == 452 &&
              d[0].table == RERAZERA_TABLE_HEADER && d[0].flags == 0);
        CHECK(rerazera_package_descriptors(pkg, 2, d, 2, &filled) == RERAZERA_ERR_NOT_FOUND);
    }
    CHECK(e.table == RERAZERA_TABLE_HEADER && e.index == 0 && e.file_id == 0x202 &&
          e.offset == 6180 && e.length == 452 && (e.flags & RERAZERA_ENTRY_BIN_HEADER) &&
          e.data_len == 100 && e.bin_file_id == 0x202 && strcmp(e.name, "cxx.bin") == 0 &&
          e.name_len == 7 && strcmp(e.description, "C++ consumer") == 0);

    /* Lookups: found ones give the same entry, absent ones leave *out alone. */
    CHECK(rerazera_package_find_name(pkg, "cxx.bin", &by_name) == RERAZERA_OK &&
          memcmp(&by_name, &e, sizeof e) == 0);
    CHECK(rerazera_package_find_description(pkg, "consumer", &by_desc) == RERAZERA_OK &&
          memcmp(&by_desc, &e, sizeof e) == 0);
    CHECK(rerazera_package_find_id(pkg, 0x202, &by_name) == RERAZERA_OK &&
          by_name.offset == e.offset);
    by_name.file_id = 7;
    CHECK(rerazera_package_find_id(pkg, 0x203, &by_name) == RERAZERA_ERR_NOT_FOUND);
    CHECK(rerazera_package_find_name(pkg, "cxx", &by_name) == RERAZERA_ERR_NOT_FOUND);
    CHECK(rerazera_package_find_description(pkg, "Kernel", &by_name) == RERAZERA_ERR_NOT_FOUND);
    CHECK(by_name.file_id == 7);

    /* The verdict, the per-entry report and one entry's report agree. */
    CHECK(rerazera_package_verify(pkg, msg, sizeof msg, &qv) ==
          (good ? RERAZERA_OK : RERAZERA_ERR_CORRUPT));
    CHECK(good ? qv == 0 && strcmp(msg, "Info: System software CRC check OK!\n") == 0
               : qv != 0 && strstr(msg, "fileID =0x202") != NULL);
    CHECK(good ? log->len == 0 : strstr((const char *)log->bytes, "0x202") != NULL);
    memset(reports, 0, sizeof reports);
    CHECK(rerazera_package_report(pkg, keep_report, reports) ==
          (good ? RERAZERA_OK : RERAZERA_ERR_CORRUPT));
    CHECK(rerazera_package_report(pkg, stop_report, NULL) == RERAZERA_ERR_STOPPED);
    CHECK(rerazera_package_check_entry(pkg, &e, &one) ==
          (good ? RERAZERA_OK : RERAZERA_ERR_CORRUPT));
    CHECK(memcmp(&one, &reports[0], sizeof one) == 0);
    CHECK(one.ok == good && one.computed == (RERAZERA_REPORT_HEAD_CRC | RERAZERA_REPORT_CRC) &&
          one.reason == (good ? RERAZERA_REASON_OK : RERAZERA_REASON_PAYLOAD_CRC) &&
          one.head_crc_stored == one.head_crc_computed &&
          (one.crc_stored == one.crc_computed) == good);

    /* Extraction: the payload alone through a callback, checked first. */
    CHECK(rerazera_package_extract(pkg, &e, RERAZERA_EXTRACT_STRIP | RERAZERA_EXTRACT_VERIFY_FIRST,
                                   to_sink, &out) == (good ? RERAZERA_OK : RERAZERA_ERR_CORRUPT));
    CHECK(good ? out.len == 100 && memcmp(out.bytes, file + payload, 100) == 0 : out.calls == 0);
    /* Unchecked, the whole sub-file through a descriptor. */
    {
        char path[] = "/tmp/rerazera-consumer-XXXXXX";
        int fd = mkstemp(path);
        unsigned char back[452];
        CHECK(fd >= 0);
        if (fd >= 0) {
            unlink(path);
            CHECK(rerazera_package_extract_fd(pkg, &e, RERAZERA_EXTRACT_NO_CHECK, fd) ==
                  RERAZERA_OK);
            CHECK(pread(fd, back, sizeof back, 0) == (ssize_t)sizeof back &&
                  memcmp(back, file + 6180, sizeof back) == 0);
            close(fd);
        }
    }
}

#ifndef RERAZERA_CONSUMER_NO_STREAM
/* The streaming verifier, fed 7 bytes at a time, checkpointed and resumed
 * half-way; it ends with the one-call verdict. */
static void check_stream(const unsigned char *file, size_t size, int good) {
    rerazera_stream_options options = {keep_report, NULL, NULL, NULL};
    rerazera_stream *s = NULL, *r = NULL;
    void *state = NULL;
    size_t state_len = 0, at;
    char msg[128];
    int32_t qv = 99;
    rerazera_entry_report reports[2];

    memset(reports, 0, sizeof reports);
    options.ctx = reports;
    CHECK(rerazera_stream_new(&options, &s) == RERAZERA_OK);
    for (at = 0; s && at < size / 2; at += 7)
        CHECK(rerazera_stream_feed(s, file + at, at + 7 < size / 2 ? 7 : size / 2 - at) ==
              RERAZERA_OK);
    CHECK(s && rerazera_stream_offset(s) == size / 2);
    CHECK(s && rerazera_stream_checkpoint(s, &state, &state_len) == RERAZERA_OK);
    CHECK(rerazera_stream_resume(state, state_len, &options, &r) == RERAZERA_OK);
    CHECK(rerazera_stream_resume(state, state_len > 0 ? state_len - 1 : 0, &options, &s) ==
          RERAZERA_ERR_BAD_STATE);
    free(state);
    rerazera_stream_free(s);
    CHECK(r && rerazera_stream_feed(r, file + size / 2, size - size / 2) == RERAZERA_OK);
    CHECK(r && rerazera_stream_pending(r) == 0);
    CHECK(r && rerazera_stream_finish(r, -1, msg, sizeof msg, &qv) ==
                   (good ? RERAZERA_OK : RERAZERA_ERR_CORRUPT));
    CHECK((qv == 0) == good && reports[0].ok == good);
    CHECK(r && rerazera_stream_feed(r, file, 1) == RERAZERA_ERR_MISUSE);
    rerazera_stream_free(r);
}
#endif

int main(int argc, char **argv) {
    struct sink log = {{0}, 0, 0};
    rerazera_open_options options = {0, keep_log, NULL};
    rerazera_package *pkg = (rerazera_package *)&log, *copy = NULL;
    unsigned char *file, *orig = NULL;
    struct stat st;
    int fd;

    if (argc != 3) {
        fprintf(stderr, "usage: %s PACKAGE VERSION\n", argv[0]);
        return 2;
    }
    options.log_ctx = &log;
    CHECK(strcmp(rerazera_package_version(), argv[2]) == 0);
    {
        /* Whichever kernel this machine gets, it is one of the named ones. */
        static const char *const kernels[] = {"portable",   "clmul",   "clmul_avx",
                                              "vpclmul256", "vpclmul", "pmull"};
        const char *kernel = rerazera_crc_kernel();
        int known = 0;
        for (size_t i = 0; i < sizeof kernels / sizeof kernels[0]; ++i) {
            known |= strcmp(kernel, kernels[i]) == 0;
        }
        CHECK(known);
    }
    CHECK(strcmp(rerazera_strerror(RERAZERA_ERR_NOT_FOUND), rerazera_strerror(9999)) != 0 &&
          strcmp(rerazera_strerror(9999), "unknown result") == 0);
    CHECK(strcmp(rerazera_reason_name(RERAZERA_REASON_PAYLOAD_CRC), "payload-crc-mismatch") == 0 &&
          strcmp(rerazera_reason_name(99), "unknown") == 0);
    /* Failed opens leave *out alone. */
    CHECK(rerazera_package_open_path("/nonexistent/fw.qv", NULL, &pkg) ==
          RERAZERA_ERR_NO_SUCH_FILE);
    CHECK(rerazera_package_open_path("/", NULL, &pkg) == RERAZERA_ERR_NOT_REGULAR);
    CHECK(rerazera_package_open_memory(argv[0], 100, NULL, &pkg) == RERAZERA_ERR_NOT_PACKAGE);
    CHECK(pkg == (rerazera_package *)&log);
    rerazera_package_free(NULL);

    fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size != 6180 + 452 ||
        !(file = malloc((size_t)st.st_size)) ||
        pread(fd, file, (size_t)st.st_size, 0) != st.st_size) {
        perror(argv[1]);
        return 1;
    }
    /* The same bytes through each door. */
    CHECK(rerazera_package_open_path(argv[1], &options, &pkg) == RERAZERA_OK);
    check_package(pkg, file, (size_t)st.st_size, 1, &log);
    rerazera_package_free(pkg);
    CHECK(rerazera_package_open_fd(fd, &options, &pkg) == RERAZERA_OK);
    check_package(pkg, file, (size_t)st.st_size, 1, &log);
    rerazera_package_free(pkg);
    CHECK(rerazera_package_open_memory(file, (size_t)st.st_size, &options, &pkg) == RERAZERA_OK);
    check_package(pkg, file, (size_t)st.st_size, 1, &log);
    /* A private copy is a snapshot of its own: the damage below does not
     * reach it, and reaches the handle on the caller's memory. */
    options.flags = RERAZERA_OPEN_COPY;
    CHECK(rerazera_package_open_memory(file, (size_t)st.st_size, &options, &copy) == RERAZERA_OK);
    CHECK((orig = malloc((size_t)st.st_size)) != NULL);
    if (orig)
        memcpy(orig, file, (size_t)st.st_size);
    file[st.st_size - 50] ^= 0x55;
    if (orig)
        check_package(copy, orig, (size_t)st.st_size, 1, &log);
    check_package(pkg, file, (size_t)st.st_size, 0, &log);
    rerazera_package_free(copy);
    rerazera_package_free(pkg);
#ifndef RERAZERA_CONSUMER_NO_STREAM
    check_stream(file, (size_t)st.st_size, 0);
    file[st.st_size - 50] ^= 0x55;
    check_stream(file, (size_t)st.st_size, 1);
#endif
    free(orig);
    free(file);
    close(fd);
    printf("package consumer: %s\n", failed ? "FAILED" : "ok");
    return failed ? 1 : 0;
}
