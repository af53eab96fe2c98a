/* A C99 host program of the installed library: writes a small valid package
 * (one sub-file) into the directory given as argv[1] and checks it through
 * the public interface. Builds with -std=c99 -pedantic -Werror. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <rerazera.h>

#define PAYLOAD_LEN 64u
#define SUB_FILE_ID 0x00000101u
#define PRODUCT_TYPE 0x1234u

static int failures = 0;

static void expect(int condition, const char *what) {
    printf("%s: %s\n", condition ? "ok" : "FAILED", what);
    if (!condition) {
        ++failures;
    }
}

static void put_be32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

static uint32_t get_be32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

static uint32_t crc_of(const void *data, uint32_t len) {
    uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum((const uint8_t *)data, (int32_t)len, &crc);
    return crc;
}

/* Header, then one sub-file: its bin header and its payload. The records
 * are byte images: every field is written big-endian into its bytes. */
static int write_package(const char *path) {
    QVHeader header;
    BinHeader bin;
    uint8_t payload[PAYLOAD_LEN];
    uint8_t *entry = header.fileDesc[0];
    uint32_t i;
    FILE *f;
    int ok;

    for (i = 0; i < PAYLOAD_LEN; ++i) {
        payload[i] = (uint8_t)(i * 7u + 3u);
    }
    memset(&bin, 0, sizeof bin);
    put_be32(bin.fileId, SUB_FILE_ID);
    strcpy(bin.desc, "consumer test payload");
    strcpy(bin.name, "payload.bin");
    put_be32(bin.dataLen, PAYLOAD_LEN);
    put_be32(bin.headCrc, crc_of((const uint8_t *)&bin + 8, BIN_HEADER_CRC_LEN));

    memset(&header, 0, sizeof header);
    put_be32(header.fileNum, 1);
    header.productType[0] = (uint8_t)(PRODUCT_TYPE >> 8);
    header.productType[1] = (uint8_t)PRODUCT_TYPE;
    put_be32(entry, SUB_FILE_ID);
    put_be32(entry + 4, QVPKG_HEADER_SIZE);
    put_be32(entry + 8, BIN_HEADER_SIZE + PAYLOAD_LEN);
    put_be32(entry + 12, crc_of(payload, PAYLOAD_LEN));
    put_be32(header.headerCrc, crc_of(&header, QVPKG_HEADER_CRC_LEN));

    f = fopen(path, "wb");
    if (f == NULL) {
        return 0;
    }
    ok = fwrite(&header, sizeof header, 1, f) == 1 && fwrite(&bin, sizeof bin, 1, f) == 1 &&
         fwrite(payload, sizeof payload, 1, f) == 1;
    return fclose(f) == 0 && ok;
}

static int flip_byte(const char *path, long offset) {
    FILE *f = fopen(path, "r+b");
    int c;
    int ok;

    if (f == NULL) {
        return 0;
    }
    ok = fseek(f, offset, SEEK_SET) == 0 && (c = fgetc(f)) != EOF &&
         fseek(f, offset, SEEK_SET) == 0 && fputc(c ^ 0x01, f) != EOF;
    return fclose(f) == 0 && ok;
}

int main(int argc, char **argv) {
    char path[4096];
    char msg[QVPKG_MSG_BUF_LEN] = "";
    QVHeader *header;
    uint32_t productType = 0;

    if (argc != 2 || strlen(argv[1]) > sizeof path - 32) {
        fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    sprintf(path, "%s/c99-consumer.qv", argv[1]);
    expect(write_package(path), "sample package written");

    header = QVPKG_GetQVHeader(path);
    expect(header != NULL, "QVPKG_GetQVHeader loads the header");
    if (header != NULL) {
        expect(QVPKG_ChkQvHeader(header) == QVPKG_OK, "QVPKG_ChkQvHeader accepts it");
        expect(get_be32(header->fileNum) == 1, "fileNum is 1");
        header->headerCrc[3] ^= 1u;
        expect(QVPKG_ChkQvHeader(header) == QVPKG_ERR_CRC, "a changed headerCrc is refused");
        free(header); /* the caller owns the header image */
    }
    expect(QVPKG_ExtractProductTypeFromQV(path, &productType) == QVPKG_OK &&
               productType == PRODUCT_TYPE,
           "QVPKG_ExtractProductTypeFromQV reads the product type");

    expect(QVPKG_ChkQVFileInfo(path, msg, sizeof msg) == QVPKG_OK,
           "QVPKG_ChkQVFileInfo verifies the package");
    expect(strcmp(msg, "Info: System software CRC check OK!\n") == 0, "its verdict is OK");

    /* One payload byte changed: the payload CRC no longer matches. */
    expect(flip_byte(path, QVPKG_HEADER_SIZE + BIN_HEADER_SIZE + 10), "payload byte changed");
    expect(QVPKG_ChkQVFileInfo(path, msg, sizeof msg) == QVPKG_ERR,
           "QVPKG_ChkQVFileInfo refuses the changed package");
    expect(strcmp(msg,
                  "file crc is not correct. fileID =0x101\n"
                  "Info: System software CRC check failed!\n") == 0,
           "its verdict names the sub-file");

    remove(path);
    return failures == 0 ? 0 : 1;
}
