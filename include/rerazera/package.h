// SPDX-License-Identifier: MIT
/*
 * rerazera/package.h: the package API (librerazera-package).
 *
 * A handle over one snapshot of a QV package, opened from a path, from a
 * file descriptor the caller owns, or from the caller's memory. Every call
 * on a handle reads those same bytes: a package verified through a handle
 * and then extracted through it cannot change in between (see "Snapshots").
 *
 * What it offers beside the QVPKG_ functions of rerazera.h:
 *  - the header fields and every entry of the header table and of the
 *    extension, with the bin header's name, description and payload length;
 *  - lookup by file ID, exact name or description substring, over both
 *    tables;
 *  - the whole-package verdict of QVPKG_ChkQVFileInfo (same result code,
 *    same text), and a per-entry report that does not stop at the first
 *    failure, with a stable reason code per entry;
 *  - extraction of a sub-file, with or without its bin header, to a file
 *    descriptor or a write callback, checked while it is copied, or checked
 *    before the first byte reaches the sink;
 *  - a streaming verifier fed bytes in any chunking, which reports each
 *    entry as its last byte arrives and ends with the same verdict as the
 *    whole-file check (rerazera_stream_*).
 *
 * Conventions:
 *  - Every function returning int32_t returns a rerazera_result: 0 for
 *    success, a positive value otherwise. The values never change between
 *    releases; rerazera_strerror() gives a text for each.
 *  - Out-parameters are written only on success.
 *  - Nothing is written to syslog, stderr or stdout. Diagnostic lines (the
 *    reasons behind a refusal) go to the optional log callback given when
 *    the handle is opened, and only when something fails.
 *  - No global state. An open handle is immutable: any number of threads may
 *    call any function on the same handle at once. A stream verifier belongs
 *    to one thread at a time.
 *  - No call allocates in proportion to a number that a package merely
 *    states: memory is a fixed amount plus the mapping (or the caller's
 *    buffer), whatever the package claims. Ranges a package names are tested
 *    against its real size before they are read.
 *  - Callbacks must not call rerazera_package_free() on the handle they are
 *    called for.
 *
 * Snapshots. A handle opened from memory reads the caller's buffer, which
 * must stay valid and unchanged until the handle is freed. A handle opened
 * from a path or a descriptor maps the file read-only and keeps its size as
 * it was when opened; renaming or replacing the path afterwards does not
 * affect the handle. A file that another process rewrites in place, or
 * truncates, while it is mapped is not a snapshot: its pages may change, and
 * reading pages past a truncation raises SIGBUS in the calling process. For
 * files that others may write, either pass a sealed memfd (F_SEAL_WRITE and
 * F_SEAL_SHRINK set: the handle then maps it as it is), or pass
 * RERAZERA_OPEN_COPY, which reads the file once into private memory.
 *
 * Sizes: packages are limited to 2 GiB - 1 bytes (RERAZERA_ERR_TOO_LARGE
 * beyond), the limit of the format's 32-bit signed positions.
 *
 * The name rule. QVPKG_ChkQVFileInfo refuses a package whose path holds an
 * '@' unless it carries the rpg file. The rule needs a path: the package API
 * applies it only to a handle opened with rerazera_package_open_path(), on
 * the path exactly as given. Handles opened from a descriptor or memory, and
 * the streaming verifier, leave it to the caller.
 *
 * Usable from C99 and C++. Link with -lrerazera-package (pkg-config
 * rerazera-package; CMake: rerazera::package).
 */
#ifndef RERAZERA_PACKAGE_H
#define RERAZERA_PACKAGE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__) && !defined(RERAZERA_PACKAGE_STATIC)
#define RERAZERA_PACKAGE_API __attribute__((visibility("default")))
#else
#define RERAZERA_PACKAGE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Results --------------------------------------------------------------
 * Stable values: never renumbered, new ones only appended. */
typedef enum rerazera_result {
    RERAZERA_OK = 0,                   /**< success; for a verification: the package passed */
    RERAZERA_ERR_INVALID_ARGUMENT = 1, /**< a null pointer or an unusable argument */
    RERAZERA_ERR_NO_MEMORY = 2,        /**< memory ran out */
    RERAZERA_ERR_NO_SUCH_FILE = 3,     /**< the path does not exist or does not resolve */
    RERAZERA_ERR_NOT_REGULAR = 4,      /**< not a regular file (directory, FIFO, device, ...) */
    RERAZERA_ERR_TOO_LARGE = 5,        /**< 2 GiB or more: beyond the format's positions */
    RERAZERA_ERR_IO = 6,               /**< open, read, map or write failed */
    RERAZERA_ERR_NOT_PACKAGE = 7,      /**< shorter than a package header */
    RERAZERA_ERR_CORRUPT = 8,          /**< a check failed: the package (or entry) is damaged */
    RERAZERA_ERR_NOT_FOUND = 9,        /**< no entry with that ID, name or description */
    RERAZERA_ERR_NAME_RULE = 10,       /**< the path holds '@' and the package lacks the rpg file */
    RERAZERA_ERR_SINK = 11,            /**< the caller's sink (descriptor or callback) failed */
    RERAZERA_ERR_STOPPED = 12,         /**< a callback of the caller's asked to stop */
    RERAZERA_ERR_BAD_STATE = 13,       /**< a checkpoint blob that is corrupt, foreign or of
                                            another version */
    RERAZERA_ERR_TRUNCATED = 14,       /**< a stream ended before the package did */
    RERAZERA_ERR_NEEDS_SECOND_PASS = 15, /**< a stream needs the bytes again (see
                                              rerazera_stream_finish) */
    RERAZERA_ERR_MISUSE = 16             /**< a call out of order (feeding a finished stream) */
} rerazera_result;

/* A fixed English text for a result; "unknown result" for other values.
 * Static: never free it. */
RERAZERA_PACKAGE_API const char *rerazera_strerror(int32_t result);

/* The library's version, such as "1.2.0"; static. */
RERAZERA_PACKAGE_API const char *rerazera_package_version(void);

/* The checksum kernel this library runs on this machine: "portable" (table
 * driven), "clmul", "clmul_avx", "vpclmul256" or "vpclmul" on x86-64,
 * "pmull" on ARMv8 with the crypto extension. Chosen once, from what the CPU
 * and the operating system support; static. For bug reports and benchmarks: every
 * kernel computes the same checksum. */
RERAZERA_PACKAGE_API const char *rerazera_crc_kernel(void);

/* ---- Opening ------------------------------------------------------------- */

typedef struct rerazera_package rerazera_package;

/* A diagnostic line (no trailing newline), for logs. line is valid only
 * during the call. */
typedef void (*rerazera_log_fn)(void *ctx, const char *line);

#define RERAZERA_OPEN_COPY 1u /* read the file into private memory: a true snapshot */

typedef struct rerazera_open_options {
    uint32_t flags;      /* RERAZERA_OPEN_* */
    rerazera_log_fn log; /* null: diagnostics are dropped */
    void *log_ctx;
} rerazera_open_options;

/* Opens the package at path (options may be null). The path is resolved and
 * opened once, non-blocking (a FIFO never blocks), checked with fstat and
 * mapped; the descriptor is closed before the call returns.
 * Returns OK, INVALID_ARGUMENT, NO_SUCH_FILE, NOT_REGULAR, TOO_LARGE, IO,
 * NOT_PACKAGE (under 6180 bytes) or NO_MEMORY. A file of at least 6180 bytes
 * opens whatever its header says, so that broken packages can be inspected:
 * rerazera_package_header() tells whether the header is valid.
 * *out is written only on success; release it with rerazera_package_free(). */
RERAZERA_PACKAGE_API int32_t rerazera_package_open_path(const char *path,
                                                        const rerazera_open_options *options,
                                                        rerazera_package **out);

/* Opens the package in the file open at fd, which stays the caller's (it is
 * neither closed nor moved: reads are positioned or mapped). The package is
 * the whole file from byte 0. Same results as rerazera_package_open_path(). */
RERAZERA_PACKAGE_API int32_t rerazera_package_open_fd(int fd, const rerazera_open_options *options,
                                                      rerazera_package **out);

/* Opens the package held in size bytes at data, which the caller keeps valid
 * and unchanged until rerazera_package_free(); nothing is copied unless
 * RERAZERA_OPEN_COPY is given. Returns OK, INVALID_ARGUMENT, TOO_LARGE,
 * NOT_PACKAGE or NO_MEMORY. */
RERAZERA_PACKAGE_API int32_t rerazera_package_open_memory(const void *data, size_t size,
                                                          const rerazera_open_options *options,
                                                          rerazera_package **out);

/* Releases a handle and everything it holds; null is allowed. */
RERAZERA_PACKAGE_API void rerazera_package_free(rerazera_package *pkg);

/* ---- Header --------------------------------------------------------------- */

/* State of the extension. */
typedef enum rerazera_extension_state {
    RERAZERA_EXT_NONE = 0,    /* fewer than 256 entries, or entry 255 is an ordinary sub-file */
    RERAZERA_EXT_INVALID = 1, /* entry 255 is the dummy, but the dummy bin file or the
                                 second table fails its checks (or lies outside the file) */
    RERAZERA_EXT_VALID = 2
} rerazera_extension_state;

typedef struct rerazera_header_info {
    uint64_t size;     /* bytes in the snapshot */
    uint32_t file_num; /* as the header states it (may exceed 256) */
    uint32_t product_type;
    uint32_t header_crc_stored;   /* the 32-bit field */
    uint32_t header_crc_computed; /* CRC-16 over the first 6176 bytes */
    int32_t header_result;        /* QVPKG_ code of the header check: 0 valid,
                                     QVPKG_ERR_FILE_NUM (5) or QVPKG_ERR_CRC (7) */
    uint32_t extension_state;     /* rerazera_extension_state */
    int32_t extension_result;     /* QVPKG_ code of the failing extension check, or 0 */
    uint32_t extension_count;     /* extend subfiles the dummy bin header states; listed
                                     as entries only when the extension is valid */
    uint64_t entry_count;         /* entries rerazera_package_entry() serves */
} rerazera_header_info;

/* Fills *out. O(1): everything was read when the handle was opened.
 * Returns OK or INVALID_ARGUMENT. */
RERAZERA_PACKAGE_API int32_t rerazera_package_header(const rerazera_package *pkg,
                                                     rerazera_header_info *out);

/* Copies why the extension is invalid (the failing check's verdict, without
 * trailing newlines) into msg, truncated to msg_size - 1 bytes; "" when the
 * extension is none or valid. O(1): the text was kept when the handle was
 * opened. Returns OK or INVALID_ARGUMENT (pkg or msg null, msg_size 0). */
RERAZERA_PACKAGE_API int32_t rerazera_package_extension_message(const rerazera_package *pkg,
                                                                char *msg, size_t msg_size);

/* ---- Raw bytes ------------------------------------------------------------ */

/* The snapshot's bytes [offset, offset + length), read-only, for callers that
 * show or compare records as they are stored; null when the range does not
 * lie within the snapshot or pkg is null. Valid until rerazera_package_free().
 * O(1); nothing is read until the caller reads it. */
RERAZERA_PACKAGE_API const uint8_t *rerazera_package_bytes(const rerazera_package *pkg,
                                                           uint64_t offset, uint64_t length);

/* Says that [offset, offset + length) has been read and is not needed soon:
 * the whole pages of it in a mapped file are given back to the system (they
 * stay in the page cache and come back on the next access), so a long read
 * does not keep the file counted against the process. Memory handles and
 * private copies are left as they are. Bytes stay readable and unchanged.
 * Returns OK, or INVALID_ARGUMENT when the range does not lie within the
 * snapshot. */
RERAZERA_PACKAGE_API int32_t rerazera_package_release(const rerazera_package *pkg, uint64_t offset,
                                                      uint64_t length);

/* ---- Entries -------------------------------------------------------------- */

typedef enum rerazera_table {
    RERAZERA_TABLE_HEADER = 0,   /* the header's table of 256 descriptors */
    RERAZERA_TABLE_EXTENSION = 1 /* the second descriptor table */
} rerazera_table;

/* Entry flags. */
#define RERAZERA_ENTRY_BIN_HEADER                                                    \
    1u                          /* the bin header's 352 bytes lie in the file: name, \
                                   description, data_len and bin_file_id are filled */
#define RERAZERA_ENTRY_DUMMY 2u /* header entry 255 opening the extension */

typedef struct rerazera_entry {
    uint32_t table; /* rerazera_table */
    uint32_t index; /* position in its table */
    /* The descriptor's six fields, in host byte order. */
    uint32_t file_id;
    uint32_t offset;
    uint32_t length;
    uint32_t crc;
    uint32_t aux0;
    uint32_t aux1;
    uint32_t flags; /* RERAZERA_ENTRY_* */
    /* From the bin header, when RERAZERA_ENTRY_BIN_HEADER is set. The texts
     * are the field's bytes up to its first NUL (or its whole width), raw,
     * then a NUL: they may hold any byte and need escaping before display. */
    uint32_t data_len;
    uint32_t bin_file_id;
    uint32_t name_len;
    uint32_t description_len;
    char name[97];
    char description[129];
} rerazera_entry;

/* Entries served: those of the header table, min(file_num, 256) of them in
 * table order, then, when the extension is valid, its extend subfiles in
 * table order. Header entry 255 of an extension package (the dummy) is
 * served too, flagged RERAZERA_ENTRY_DUMMY. */
RERAZERA_PACKAGE_API uint64_t rerazera_package_entry_count(const rerazera_package *pkg);

/* Fills *out with entry k (0 <= k < entry_count). O(1), no allocation.
 * Returns OK, INVALID_ARGUMENT or NOT_FOUND (k out of range). */
RERAZERA_PACKAGE_API int32_t rerazera_package_entry(const rerazera_package *pkg, uint64_t k,
                                                    rerazera_entry *out);

/* An entry's table position and descriptor alone, without its bin header:
 * what a scan of the tables needs. */
typedef struct rerazera_descriptor {
    uint32_t table; /* rerazera_table */
    uint32_t index; /* position in its table */
    uint32_t file_id;
    uint32_t offset;
    uint32_t length;
    uint32_t crc;
    uint32_t aux0;
    uint32_t aux1;
    uint32_t flags; /* RERAZERA_ENTRY_DUMMY only: no bin header is read */
} rerazera_descriptor;

/* Fills out[0..n) with the descriptors of entries first, first + 1, ...,
 * in the order rerazera_package_entry() serves them, where
 * n = min(count, entry_count - first); *filled receives n. Reads only the
 * descriptor tables: O(n), no allocation, and far cheaper per entry than
 * rerazera_package_entry() over a large extension.
 * Returns OK (n may be 0 when first == entry_count), NOT_FOUND when first
 * is past entry_count, or INVALID_ARGUMENT (pkg or filled null, or out null
 * with count > 0). */
RERAZERA_PACKAGE_API int32_t rerazera_package_descriptors(const rerazera_package *pkg,
                                                          uint64_t first, rerazera_descriptor *out,
                                                          size_t count, size_t *filled);

/* Lookups over both tables: the header's table first, then the extension;
 * within a table the lowest index wins. Empty entries (length 0) and the
 * dummy are skipped. O(entries); nothing is allocated.
 * Returns OK, NOT_FOUND or INVALID_ARGUMENT. */
RERAZERA_PACKAGE_API int32_t rerazera_package_find_id(const rerazera_package *pkg, uint32_t file_id,
                                                      rerazera_entry *out);
/* The name equals name exactly (byte for byte). */
RERAZERA_PACKAGE_API int32_t rerazera_package_find_name(const rerazera_package *pkg,
                                                        const char *name, rerazera_entry *out);
/* The description contains text (a non-empty byte string). */
RERAZERA_PACKAGE_API int32_t rerazera_package_find_description(const rerazera_package *pkg,
                                                               const char *text,
                                                               rerazera_entry *out);

/* ---- Verification --------------------------------------------------------- */

/* The whole-package verdict: the result code and message text that
 * QVPKG_ChkQVFileInfo gives for the same bytes (the extension included; the
 * name rule only for a handle opened from a path). *qvpkg_result receives
 * the QVPKG_ code (may be null); msg (may be null) receives the verdict text,
 * truncated to msg_size - 1 bytes.
 * Returns OK when the package passes, NAME_RULE when the name rule refused
 * it, CORRUPT for any other failing verdict, or INVALID_ARGUMENT.
 * Cost: one pass over the package's bytes; bounded by a small multiple of
 * the package's size however much the entries claim (overlapping entries
 * are not summed again). */
RERAZERA_PACKAGE_API int32_t rerazera_package_verify(const rerazera_package *pkg, char *msg,
                                                     size_t msg_size, int32_t *qvpkg_result);

/* Why an entry passed or failed. Stable values. */
typedef enum rerazera_reason {
    RERAZERA_REASON_OK = 0,              /* bin header and payload checksums hold */
    RERAZERA_REASON_EMPTY = 1,           /* length 0 inside the file: nothing to check */
    RERAZERA_REASON_OUT_OF_BOUNDS = 2,   /* offset + length passes the end of the file */
    RERAZERA_REASON_TOO_SHORT = 3,       /* shorter than a bin header */
    RERAZERA_REASON_HEADER_CRC = 4,      /* the bin header's checksum does not match */
    RERAZERA_REASON_PAYLOAD_OVERRUN = 5, /* data_len runs past the entry's length */
    RERAZERA_REASON_PAYLOAD_CRC = 6      /* the payload's checksum does not match crc */
} rerazera_reason;

/* "ok", "empty", "out-of-bounds", "too-short", "header-crc-mismatch",
 * "payload-overrun", "payload-crc-mismatch"; "unknown" otherwise. Static. */
RERAZERA_PACKAGE_API const char *rerazera_reason_name(uint32_t reason);

/* Which checksums of a report were computed. */
#define RERAZERA_REPORT_HEAD_CRC 1u /* head_crc_stored and head_crc_computed are set */
#define RERAZERA_REPORT_CRC 2u      /* crc_stored and crc_computed are set */

typedef struct rerazera_entry_report {
    rerazera_entry entry;
    uint32_t reason;   /* rerazera_reason */
    int32_t ok;        /* 1 for OK and EMPTY */
    uint32_t computed; /* RERAZERA_REPORT_* */
    uint32_t head_crc_stored;
    uint32_t head_crc_computed;
    uint32_t crc_stored;
    uint32_t crc_computed;
} rerazera_entry_report;

/* Called once per entry; a non-zero return stops the walk with STOPPED. */
typedef int (*rerazera_report_fn)(void *ctx, const rerazera_entry_report *report);

/* Reports every entry, in the order of rerazera_package_entry() (the dummy
 * included), and does not stop at a failure. Returns OK when every entry is
 * ok, CORRUPT when one is not, STOPPED, or INVALID_ARGUMENT. Cost as
 * rerazera_package_verify(). */
RERAZERA_PACKAGE_API int32_t rerazera_package_report(const rerazera_package *pkg,
                                                     rerazera_report_fn fn, void *ctx);

/* Reports one entry (as from rerazera_package_entry or a lookup) into *out.
 * Returns OK, CORRUPT (the report says why) or INVALID_ARGUMENT. */
RERAZERA_PACKAGE_API int32_t rerazera_package_check_entry(const rerazera_package *pkg,
                                                          const rerazera_entry *entry,
                                                          rerazera_entry_report *out);

/* ---- Extraction ------------------------------------------------------------ */

/* Writes len bytes; returns 0 on success, anything else stops the copy with
 * SINK. */
typedef int (*rerazera_write_fn)(void *ctx, const void *data, size_t len);

#define RERAZERA_EXTRACT_STRIP 1u    /* the payload only, without the bin header */
#define RERAZERA_EXTRACT_NO_CHECK 2u /* copy without checking the checksums */
#define RERAZERA_EXTRACT_VERIFY_FIRST                 \
    4u /* check the whole entry before the first byte \
          reaches the sink: a failing entry writes nothing */

/* Copies an entry's bytes (all `length` of them, or with STRIP its data_len
 * payload bytes) to the sink in pieces of at most 1 MiB, straight from the
 * snapshot. Unless NO_CHECK, the bin header and payload checksums are
 * checked (and the payload must fit its entry): by default while copying,
 * so a failing entry has already been written when CORRUPT is returned;
 * with VERIFY_FIRST before anything is written. Returns OK, CORRUPT, SINK
 * (errno is kept from a failed write), STOPPED, INVALID_ARGUMENT (an empty
 * or out-of-bounds entry, an entry of another handle's range, or STRIP for
 * an entry without a complete bin header). Memory: no buffer beyond the
 * snapshot; pages read are given back as the copy proceeds. */
RERAZERA_PACKAGE_API int32_t rerazera_package_extract(const rerazera_package *pkg,
                                                      const rerazera_entry *entry, uint32_t flags,
                                                      rerazera_write_fn write, void *ctx);

/* As rerazera_package_extract() to the file descriptor fd, which stays the
 * caller's; writes are retried after EINTR and short counts. */
RERAZERA_PACKAGE_API int32_t rerazera_package_extract_fd(const rerazera_package *pkg,
                                                         const rerazera_entry *entry,
                                                         uint32_t flags, int fd);

/* ---- Streaming verification ----------------------------------------------
 *
 * A verifier fed the package's bytes in order, in any chunking (one byte at a
 * time or all at once gives the same events and verdict). Each entry's
 * report arrives through on_entry as soon as its last byte has been fed, in
 * the order the entries end in the stream; it carries the reason code,
 * flags and checksums that rerazera_package_report() gives the same entry
 * of the same bytes, and the
 * bin header's fields whenever the verifier read the bin header for its
 * checks. Entries are followed even when the header fails its check, as a
 * handle lists them. rerazera_stream_finish() gives the result code and the
 * text QVPKG_ChkQVFileInfo gives for the same bytes, the extension walk
 * included. The name rule is the caller's: a stream has no path.
 *
 * What is kept: the 6180-byte header, the dummy bin header and the second
 * table (the bytes that name entries), the bin header of each entry whose
 * bytes are passing (at most 16,384 at once), and the running CRC where each
 * payload starts; never a payload byte. Memory stays under 1 MiB for a
 * package without an extension and under 64 MiB with 1,048,575 extend
 * subfiles, whatever the package claims (a checkpoint's blob, held by the
 * caller, comes on top).
 *
 * Layouts verified in one pass: every entry of the header's table, whatever
 * it overlaps (the header itself, other entries); every extend subfile that
 * starts at or after the end of the second table, or lies wholly within the
 * first 6180 bytes. Two kinds need a second pass: an extend subfile placed
 * elsewhere before the end of the second table, and any entry that starts
 * while 16,384 bin headers are held. Those are exactly the entries that end
 * within the bytes fed and have not been reported when the last byte is
 * fed; rerazera_stream_pending() counts them, and finish() verifies them
 * from a seekable descriptor when given one, and otherwise returns
 * NEEDS_SECOND_PASS.
 */
typedef struct rerazera_stream rerazera_stream;

/* Called for each entry as it is settled; a non-zero return makes the
 * current feed() return STOPPED once the entries ending at that byte are
 * reported. The bytes after it are not consumed: rerazera_stream_offset()
 * tells where the next feed() continues. */
typedef int (*rerazera_stream_entry_fn)(void *ctx, const rerazera_entry_report *report);

typedef struct rerazera_stream_options {
    rerazera_stream_entry_fn on_entry; /* may be null */
    void *ctx;
    rerazera_log_fn log; /* may be null */
    void *log_ctx;
} rerazera_stream_options;

/* Creates a verifier (options may be null). Returns OK, NO_MEMORY or
 * INVALID_ARGUMENT. */
RERAZERA_PACKAGE_API int32_t rerazera_stream_new(const rerazera_stream_options *options,
                                                 rerazera_stream **out);

/* Feeds len bytes (data may be null when len is 0). Returns OK, STOPPED,
 * TOO_LARGE (the stream passed 2 GiB - 1 bytes), NO_MEMORY, MISUSE (after
 * finish) or INVALID_ARGUMENT. A failing entry is no error here: it is
 * reported and shows in the final verdict. */
RERAZERA_PACKAGE_API int32_t rerazera_stream_feed(rerazera_stream *stream, const void *data,
                                                  size_t len);

/* Bytes fed so far: the offset that the next feed continues from. */
RERAZERA_PACKAGE_API uint64_t rerazera_stream_offset(const rerazera_stream *stream);

/* Entries that will need a second pass over the bytes (see above). */
RERAZERA_PACKAGE_API uint64_t rerazera_stream_pending(const rerazera_stream *stream);

/* Ends the stream. seek_fd is -1, or a descriptor from which the whole
 * package can be read with pread() for the entries that need a second pass.
 * msg (may be null) receives the verdict text, *qvpkg_result (may be null)
 * the QVPKG_ code, both as QVPKG_ChkQVFileInfo gives them for the same bytes
 * (a stream shorter than a header: -1 and "File length is wrong, less than
 * header.\n"). Returns OK when the package passed, CORRUPT when the verdict
 * is a failure, NEEDS_SECOND_PASS (no descriptor and pending entries; nothing
 * is written), IO (the descriptor could not be read), MISUSE or
 * INVALID_ARGUMENT. Entries settled here are reported through on_entry
 * first. */
RERAZERA_PACKAGE_API int32_t rerazera_stream_finish(rerazera_stream *stream, int seek_fd, char *msg,
                                                    size_t msg_size, int32_t *qvpkg_result);

/* A serialisable state, taken at an entry boundary or anywhere else, from
 * which rerazera_stream_resume() continues at rerazera_stream_offset() with
 * the same verdicts. *state is a malloc() buffer the caller frees; it is
 * versioned and checksummed. Returns OK, NO_MEMORY, MISUSE or
 * INVALID_ARGUMENT. */
RERAZERA_PACKAGE_API int32_t rerazera_stream_checkpoint(const rerazera_stream *stream, void **state,
                                                        size_t *state_len);

/* Creates a verifier from a checkpoint. Returns OK, BAD_STATE (corrupt,
 * truncated, foreign or of another version), NO_MEMORY or INVALID_ARGUMENT. */
RERAZERA_PACKAGE_API int32_t rerazera_stream_resume(const void *state, size_t state_len,
                                                    const rerazera_stream_options *options,
                                                    rerazera_stream **out);

/* Releases a verifier; null is allowed. */
RERAZERA_PACKAGE_API void rerazera_stream_free(rerazera_stream *stream);

#ifdef __cplusplus
}
#endif

#endif /* RERAZERA_PACKAGE_H */
