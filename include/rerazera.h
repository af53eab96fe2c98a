// SPDX-License-Identifier: MIT
/*
 * rerazera: reading and verifying QV firmware packages.
 *
 * A QV package is one file: a 6180-byte header with a table of up to 256 file
 * descriptors, then the sub-files, each opening with a 352-byte bin header.
 * An optional extension (entry 255 pointing at a "dummy" bin file whose
 * payload is a second descriptor table) lists up to 1,048,575 more sub-files.
 * Every multi-byte field on disk is big-endian; header, bin headers, payloads
 * and the second table are protected by CRC-16/XMODEM.
 *
 * Conventions shared by every function below:
 *  - Results are the QVPKG_ codes defined here (0 success, -1 generic failure,
 *    positive codes for specific failures); functions returning a pointer
 *    return NULL on failure. Every failure is reported to syslog(LOG_INFO);
 *    the library never calls openlog(), the host owns the logger.
 *  - Out-records are written only on success and left untouched otherwise.
 *  - Buffers returned to the caller come from malloc() and are released with
 *    free(); a mapping from QVPKG_MapQVFile() is released with
 *    QVPKG_UnmapQVFile(). Nothing else outlives a call.
 *  - No global state: every function is reentrant and may be called from any
 *    thread at any time. Packages are limited to 2 GiB (32-bit positions).
 *  - Message buffers (msg, msgSize) receive NUL-terminated verdict texts,
 *    truncated to msgSize - 1 characters; the last write wins.
 *
 * Usable from C99 and C++; needs only <stdint.h>.
 */
#ifndef RERAZERA_H
#define RERAZERA_H

#include <stdint.h>

#if defined(_WIN32)
#define QVPKG_API
#elif defined(__GNUC__)
#define QVPKG_API __attribute__((visibility("default")))
#else
#define QVPKG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes -------------------------------------------------------- */

#define QVPKG_OK 0
#define QVPKG_ERR (-1)           /* generic failure (checksum, absent ID, ...) */
#define QVPKG_ERR_EXT_TABLE 1    /* reading the second descriptor table failed */
#define QVPKG_ERR_IO 2           /* open, seek, read, write or create failed */
#define QVPKG_ERR_NO_MEMORY 3    /* a heap buffer could not be allocated */
#define QVPKG_ERR_PATH 4         /* the path of a file to read does not resolve */
#define QVPKG_ERR_FILE_NUM 5     /* header fileNum exceeds 256 */
#define QVPKG_ERR_LENGTH 6       /* a sub-file or payload runs past its container */
#define QVPKG_ERR_CRC 7          /* header, dummy bin header or table CRC mismatch */
#define QVPKG_ERR_NO_EXTEND 8    /* fewer than 256 entries: no extension */
#define QVPKG_ERR_EXTEND 9       /* malformed extension */
#define QVPKG_ERR_NULL_ARG 10    /* a required pointer argument is NULL */
#define QVPKG_ERR_HEADER 11      /* the package header cannot be loaded or is invalid */
#define QVPKG_ERR_INVALID_ARG 12 /* unusable argument (zero length, no file name) */
#define QVPKG_ERR_NAME 13        /* package path contains '@' without the rpg file */
#define QVPKG_ERR_NOT_FOUND 14   /* no bin header matched the key */

/* ---- Sizes, limits and well-known identifiers ---------------------------- */

#define QVPKG_HEADER_SIZE 6180u
#define QVPKG_HEADER_CRC_LEN 6176u
#define QVPKG_MAX_FILE_NUM 256u
#define BIN_HEADER_SIZE 352u
#define BIN_HEADER_CRC_LEN 344u
#define EXT_MAX_FILE_NUM 0xFFFFFu
#define QVPKG_MSG_BUF_LEN 256u

#define DUMMY_DESC_FILE_ID 0xABEFu         /* fileId of header entry 255 when it is the dummy */
#define DUMMY_BIN_FILE_ID 0x12CDu          /* BinHeader.fileId of the dummy bin file */
#define RPG_FILE_ID ((int32_t)0xFF005638u) /* the rpg file; exempts from the name rule */

/* Size in bytes of a second descriptor table listing n extend subfiles. */
#define QVPKG_2ND_TABLE_SIZE(n) (36u + 24u * (uint32_t)(n))

/* ---- Records --------------------------------------------------------------- */

/* One file descriptor, decoded: six fields in host byte order. On disk the
 * same record is six big-endian 32-bit words. */
typedef struct QVFileDesc {
    uint32_t fileId;
    uint32_t offset; /* first byte of the sub-file (its bin header) in the package */
    uint32_t length; /* whole sub-file, bin header included; 0 = empty entry */
    uint32_t crc;    /* CRC-16 of the payload, zero-extended */
    uint32_t aux0;
    uint32_t aux1;
} QVFileDesc;

/* The package header, as stored (big-endian byte image). */
typedef struct QVHeader {
    uint8_t reserved0[4];
    uint8_t fileNum[4];
    uint8_t reserved1[22];
    uint8_t productType[2];
    uint8_t fileDesc[256][24]; /* QVPKG_MAX_FILE_NUM raw descriptors */
    uint8_t headerCrc[4];      /* CRC-16 of bytes 0..6175, zero-extended */
} QVHeader;

/* The bin header opening every sub-file, as stored (big-endian byte image). */
typedef struct BinHeader {
    uint8_t reserved0[4];
    uint8_t headCrc[4]; /* CRC-16 of bytes 8..351, zero-extended */
    uint8_t fileId[4];
    uint8_t reserved1[4];
    uint8_t fileNum[4]; /* dummy bin file: number of extend subfiles */
    uint8_t reserved2[96];
    char desc[128]; /* description text */
    char name[96];  /* file name text */
    uint8_t dataLen[4];
    uint8_t reserved3[8];
} BinHeader;

/* The second descriptor table, as stored: a 32-byte preamble, fileNum raw
 * descriptors, then a 4-byte tableCrc over everything before it. Its size is
 * QVPKG_2ND_TABLE_SIZE(fileNum); sizeof() gives the preamble only. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
typedef struct SecondFileDescTable {
    uint8_t reserved0[4];
    uint8_t fileNum[4];
    uint8_t reserved1[24];
    uint8_t fileDesc[][24];
} SecondFileDescTable;
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#if defined(__cplusplus)
static_assert(sizeof(QVFileDesc) == 24, "QVFileDesc is 24 bytes");
static_assert(sizeof(QVHeader) == QVPKG_HEADER_SIZE, "QVHeader is 6180 bytes");
static_assert(sizeof(BinHeader) == BIN_HEADER_SIZE, "BinHeader is 352 bytes");
static_assert(sizeof(SecondFileDescTable) == 32, "table preamble is 32 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(QVFileDesc) == 24, "QVFileDesc is 24 bytes");
_Static_assert(sizeof(QVHeader) == QVPKG_HEADER_SIZE, "QVHeader is 6180 bytes");
_Static_assert(sizeof(BinHeader) == BIN_HEADER_SIZE, "BinHeader is 352 bytes");
_Static_assert(sizeof(SecondFileDescTable) == 32, "table preamble is 32 bytes");
#else
/* C99: a negative array size stops the build if a layout is wrong. */
typedef char qvpkg_check_desc_size[sizeof(QVFileDesc) == 24 ? 1 : -1];
typedef char qvpkg_check_header_size[sizeof(QVHeader) == QVPKG_HEADER_SIZE ? 1 : -1];
typedef char qvpkg_check_bin_size[sizeof(BinHeader) == BIN_HEADER_SIZE ? 1 : -1];
typedef char qvpkg_check_table_size[sizeof(SecondFileDescTable) == 32 ? 1 : -1];
#endif

/* ---- Checksum -------------------------------------------------------------- */

/* CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final XOR) of len
 * bytes at data, stored through crc. len <= 0 stores 0 and reads nothing. */
QVPKG_API void QVPKG_MakeCrcCheckSum(const uint8_t *data, int32_t len, uint16_t *crc);

/* ---- Header access --------------------------------------------------------- */

/* Reads exactly len bytes at offset of the file at path into buf.
 * Returns 0, 4 (path does not resolve) or 2 (open, seek or short read). */
QVPKG_API int32_t QVPKG_ReadFileByOffset(const char *path, int32_t offset, void *buf, uint32_t len);

/* Checks a header image: 0, 5 (fileNum > 256) or 7 (headerCrc mismatch). */
QVPKG_API int32_t QVPKG_ChkQvHeader(const QVHeader *header);

/* Loads and checks the header of the package at path. Returns a malloc'ed
 * 6180-byte image the caller frees with free(), or NULL. */
QVPKG_API QVHeader *QVPKG_GetQVHeader(const char *path);

/* Reads the raw header's productType (unchecked header) into *productType.
 * Returns 0, 2, 3, 4 or 10 (a NULL argument). */
QVPKG_API int32_t QVPKG_ExtractProductTypeFromQV(const char *path, uint32_t *productType);

/* ---- Extension area -------------------------------------------------------- */

/* 0 when the package has an extension (fileNum == 256); copies entry 255 into
 * *extDesc. 8 when there are fewer entries, 11 when the header is unusable. */
QVPKG_API int32_t QVPKG_isExtendFileExist(const char *path, QVFileDesc *extDesc);

/* Judges the dummy bin header against entry 255: 0, -1 (entry 255 is not the
 * dummy), 9 (wrong dummy fileId or N > EXT_MAX_FILE_NUM), 7 (headCrc). */
QVPKG_API int32_t QVPKG_isValidExtQV(const QVFileDesc *extDesc, const BinHeader *dummyHeader,
                                     char *msg, uint32_t msgSize);

/* Reads the second descriptor table behind the dummy bin header into a
 * malloc'ed buffer of QVPKG_2ND_TABLE_SIZE(N) bytes (caller frees), or NULL.
 * Expects a dummy header QVPKG_isValidExtQV accepted; an N above
 * EXT_MAX_FILE_NUM, or an extDesc->offset + 352 past 2^32 - 1, is refused
 * (NULL, logged) without allocating the table or reading. */
QVPKG_API SecondFileDescTable *QVPKG_Get2ndFileDescContent(const char *path,
                                                           const QVFileDesc *extDesc,
                                                           const BinHeader *dummyHeader);

/* Judges a second table against the dummy bin header: 0, 9 (count), 7 (CRC).
 * table must hold QVPKG_2ND_TABLE_SIZE(N) bytes, N from dummyHeader. An N
 * above EXT_MAX_FILE_NUM is refused with 9 before the table is read. */
QVPKG_API int32_t QVPKG_Chk2ndFileDesc(const BinHeader *dummyHeader,
                                       const SecondFileDescTable *table, char *msg,
                                       uint32_t msgSize);

/* Finds an extend subfile's descriptor by ID: 0, -1 (absent), 1, 2, 4, 7, 8, 9, 11.
 * Reads the header, the dummy bin header and the whole second table (up to
 * 25 MB, streamed through a buffer of about 192 KiB). */
QVPKG_API int32_t QVPKG_GetQVExtFileInfo(const char *path, QVFileDesc *fileInfo, int32_t fileId);

/* ---- Lookup ---------------------------------------------------------------- */

/* Matcher for the bin-header scan: non-zero on a match. binHeader is valid
 * only during the call. */
typedef int32_t (*BinHeaderMatchFn)(const BinHeader *binHeader, const char *key);

/* Finds a sub-file by ID, header table first, then the extension.
 * 0, 11, or the extension lookup's code (1, 2, 4, 7, 8, 9, 11, -1);
 * 10 for a NULL path or fileInfo. */
QVPKG_API int32_t QVPKG_GetQVFileInfo(const char *path, QVFileDesc *fileInfo, int32_t fileId);

/* Field-for-field copy of all six fields; nothing when either is NULL. */
QVPKG_API void QVPKG_ConvertQVFileDesc(QVFileDesc *dst, const QVFileDesc *src);

/* Scans the header table's bin headers in index order with matchFn:
 * 0, -1 (a bin header could not be read), 3, 11, 14 (no match); 10 for a
 * NULL path, fileInfo or matchFn. key is handed to matchFn unchanged. Opens
 * the package once per entry scanned (at most 256). */
QVPKG_API int32_t QVPKG_GetQVFileInfoByBinHeader(const char *path, QVFileDesc *fileInfo,
                                                 BinHeaderMatchFn matchFn, const char *key);
QVPKG_API int32_t QVPKG_GetQVFileInfoByName(const char *path, QVFileDesc *fileInfo,
                                            const char *fileName);
QVPKG_API int32_t QVPKG_GetQVFileInfoByDesc(const char *path, QVFileDesc *fileInfo,
                                            const char *descText);

/* Exact name match / substring description match: 1 or 0 (0 for a NULL
 * argument). Each text is read within its field only (name 96 bytes, desc
 * 128): one that fills its field without a NUL is taken whole. */
QVPKG_API int32_t QVPKG_IsNameMatch(const BinHeader *binHeader, const char *fileName);
QVPKG_API int32_t QVPKG_IsDescMatch(const BinHeader *binHeader, const char *descText);

/* 0 when the package carries the rpg file (RPG_FILE_ID), else -1. */
QVPKG_API int32_t QVPKG_ChkqvTypeFromRpg(const char *path);

/* ---- Extraction ------------------------------------------------------------ */

/* Copies len bytes at offset of pkgPath into outPath, created with mode (less
 * the umask) or truncated. The range is staged in memory and the package
 * closed before outPath is opened, so outPath may name the package itself and
 * a failure before the open leaves an existing outPath untouched. 0, 2, 3, 4,
 * 12 (len 0), or 10 for a null path. Takes len bytes of memory for the call. */
QVPKG_API int32_t QVPKG_ExtractSubFile(const char *pkgPath, const char *outPath, int32_t offset,
                                       uint32_t len, uint32_t mode);
/* Extracts the sub-file with fileId (header table, then extension), bin header
 * included: 0, 10 (null path), or the code of the lookup or of
 * QVPKG_ExtractSubFile. */
QVPKG_API int32_t QVPKG_ExtractFileFromQVExt(const char *pkgPath, const char *outPath,
                                             int32_t fileId, uint32_t mode);
/* As QVPKG_ExtractFileFromQVExt with mode 0640. */
QVPKG_API int32_t QVPKG_ExtractFileFromQV(const char *pkgPath, const char *outPath, int32_t fileId);
/* Last path component (a pointer into path, no copy), or NULL when path ends
 * in '/' or is NULL. */
QVPKG_API const char *QVPKG_GetNameFromPath(const char *path);
/* Extracts the sub-file whose bin header name equals outPath's last component
 * (header table only) to outPath: 0, 10 (null path), 12 (outPath ends in '/'),
 * or the code of the name lookup or of QVPKG_ExtractSubFile. */
QVPKG_API int32_t QVPKG_ExtractFileByName(const char *pkgPath, const char *outPath, uint32_t mode);

/* ---- Bin header stripping -------------------------------------------------- */

/* Loads a whole bin file (352 bytes to 2 GiB - 1) into a malloc'ed buffer the
 * caller frees; *fileLen is written only on success. NULL on failure,
 * including a null path or fileLen. */
QVPKG_API uint8_t *QVPKG_ReadBinFile(const char *path, uint32_t *fileLen);
/* 0, or 6 when dataLen exceeds fileLen - 352. A fileLen below 352 gives 6
 * without reading dataLen; a null buf gives 10. */
QVPKG_API int32_t QVPKG_CheckBinHeader(const uint8_t *buf, uint32_t fileLen);
/* Writes len bytes from buf + offset into path, created with 0750 (less the
 * umask) or truncated: 0, 2, or 10 for a null path or buf. */
QVPKG_API int32_t QVPKG_WriteBuf2File(const char *path, const uint8_t *buf, int32_t offset,
                                      uint32_t len);
/* Writes the payload of the bin file inPath to outPath; inPath is read whole
 * and closed first, so outPath may name it. 0, 2, 6, or 10 for a null path. */
QVPKG_API int32_t QVPKG_StripBinHeader(const char *inPath, const char *outPath);

/* ---- Verification ---------------------------------------------------------- */

/* Maps the whole package at path read-only and shared, closing the file at
 * once. Returns the mapping's start and stores its length in *fileLen, or
 * returns NULL with the reason in msg ("open qv file fail! \n", "move qv
 * file offset fail! \n" (also for a file of 2 GiB or more), "File length is
 * wrong, less than header.\n" (under 6180 bytes), "Mmap Device space
 * fail\n"); a path that does not resolve writes nothing. *fileLen is
 * written only on success. Logs nothing. The caller releases the mapping
 * with QVPKG_UnmapQVFile(addr, *fileLen). */
QVPKG_API uint8_t *QVPKG_MapQVFile(const char *path, uint32_t *fileLen, char *msg,
                                   uint32_t msgSize);
/* munmap(addr, len): 0, or -1 when the system refuses. Logs nothing. */
QVPKG_API int32_t QVPKG_UnmapQVFile(void *addr, uint32_t len);
/* Tests one sub-file in memory (subDesc->length readable bytes at subFile)
 * against its descriptor: length 0 passes untouched; then length >= 352,
 * the bin header CRC, 352 + dataLen <= length, the payload CRC. 0, or -1
 * with the reason in msg. Logs nothing. */
QVPKG_API int32_t QVPKG_ChkSubfile(const uint8_t *subFile, const QVFileDesc *subDesc, char *msg,
                                   uint32_t msgSize);
/* Walks a package held in fileLen (>= 6180) readable bytes at base: the
 * header, each header entry in table order (bounds, then the sub-file
 * test), then, when entry 255 of a full table is the dummy bin file, the
 * extension (dummy bin file, second table, every extend subfile), every
 * range bounds-tested against fileLen before it is read. Writes one verdict
 * into msg and returns 0, -1 (a failing test), 6 (a range past fileLen) or
 * 11 (header refused). Allocates nothing and writes nothing to the
 * mapping: several threads may walk one mapping at once. */
QVPKG_API int32_t QVPKG_ChkSubFileInfo(const uint8_t *base, uint32_t fileLen, char *msg,
                                       uint32_t msgSize);
/* Checks the extension that extDesc (entry 255) opens in the package mapped
 * at base: 0, -1, 7 or 9, with the failing check's text in msg (and logged
 * for the dummy bin file and the table). It is given no length: the caller
 * vouches that the dummy bin file, its table and every extend subfile lie
 * within the mapping (QVPKG_ChkSubFileInfo tests that itself). msg must hold
 * a terminated text on entry. */
QVPKG_API int32_t QVPKG_ChkQVExtFileInfo(const uint8_t *base, const QVFileDesc *extDesc, char *msg,
                                         uint32_t msgSize);
/* The name rule: a package that does not carry the rpg file must have no
 * '@' anywhere in path (as given). 0, or 13 with the reason in msg; msg is
 * untouched on 0. Asks QVPKG_ChkqvTypeFromRpg, whose lines are logged. */
QVPKG_API int32_t QVPKG_CheckFilename(const char *path, char *msg, uint32_t msgSize);
/* Verifies a package by path: the name rule, then map, walk and unmap,
 * the mapping released on every path. 0, -1, 6, 11 or 13, with the verdict
 * in msg and every failure logged with path and msg; msg must hold a
 * terminated text on entry (kept, and logged, when path does not resolve).
 * Reentrant; costs about one read of the package from the page cache. */
QVPKG_API int32_t QVPKG_ChkQVFileInfo(const char *path, char *msg, uint32_t msgSize);

#ifdef __cplusplus
}
#endif

#endif /* RERAZERA_H */
