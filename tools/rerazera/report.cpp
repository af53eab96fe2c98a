#include "report.hpp"

namespace rztool {
namespace {

constexpr std::uint32_t kEntry255 = QVPKG_MAX_FILE_NUM - 1;

QVFileDesc decode_desc(const std::uint8_t *raw) {
    return QVFileDesc{load_be32(raw),      load_be32(raw + 4),  load_be32(raw + 8),
                      load_be32(raw + 12), load_be32(raw + 16), load_be32(raw + 20)};
}

std::uint16_t crc_of(const std::uint8_t *data, std::uint32_t len) {
    std::uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum(data, static_cast<std::int32_t>(len), &crc);
    return crc;
}

// Checks one sub-file of a mapping of fileLen bytes. Every range is tested
// against the mapping before it is read.
SubfileReport check_subfile(const std::uint8_t *base, std::uint32_t fileLen, Table table,
                            std::uint32_t index, const QVFileDesc &d) {
    SubfileReport r;
    r.table = table;
    r.index = index;
    r.desc = d;
    if (std::uint64_t{d.offset} + d.length > fileLen) {
        r.result = "out-of-bounds";
        r.message = "the sub-file runs past the end of the package";
        return r;
    }
    if (d.length == 0) {
        r.result = "empty";
        return r;
    }
    const std::uint8_t *sub = base + d.offset;
    char msg[QVPKG_MSG_BUF_LEN] = "";
    if (d.length < BIN_HEADER_SIZE) {
        // The library's test answers this before reading anything.
        QVPKG_ChkSubfile(sub, &d, msg, sizeof msg);
        r.result = "too-short";
        r.message = trim_newlines(msg);
        return r;
    }
    r.headStored = load_be32(sub + 4);
    r.headComputed = crc_of(sub + 8, BIN_HEADER_CRC_LEN);
    r.dataLen = load_be32(sub + 340);
    if (std::uint64_t{BIN_HEADER_SIZE} + *r.dataLen > d.length) {
        r.result = "payload-overrun";
        r.message = "the payload of " + std::to_string(*r.dataLen) +
                    " bytes runs past the sub-file's " + std::to_string(d.length) + " bytes";
        return r;
    }
    r.payloadComputed = crc_of(sub + BIN_HEADER_SIZE, *r.dataLen);
    const std::int32_t code = QVPKG_ChkSubfile(sub, &d, msg, sizeof msg);
    if (code == QVPKG_OK) {
        r.result = "ok";
    } else {
        r.result =
            *r.headStored != *r.headComputed ? "header-crc-mismatch" : "payload-crc-mismatch";
        r.message = trim_newlines(msg);
    }
    return r;
}

// The extension, judged on the mapping with the library's two checks.
void check_extension(const std::uint8_t *base, std::uint32_t fileLen, const QVFileDesc &extDesc,
                     PackageReport &rep) {
    ExtensionInfo &ext = rep.ext;
    ext.state = ExtState::Invalid;
    ++rep.failures;  // taken back below when every check passes
    if (std::uint64_t{extDesc.offset} + BIN_HEADER_SIZE > fileLen) {
        ext.code = QVPKG_ERR_LENGTH;
        ext.message = "the dummy bin file lies past the end of the package";
        return;
    }
    const auto *dummy = reinterpret_cast<const BinHeader *>(base + extDesc.offset);
    ext.count = load_be32(dummy->fileNum);
    char msg[QVPKG_MSG_BUF_LEN] = "";
    ext.code = QVPKG_isValidExtQV(&extDesc, dummy, msg, sizeof msg);
    if (ext.code != QVPKG_OK) {
        ext.message =
            msg[0] != '\0' ? trim_newlines(msg) : "the extension lists more sub-files than allowed";
        return;
    }
    const std::uint64_t tableAt = std::uint64_t{extDesc.offset} + BIN_HEADER_SIZE;
    if (tableAt + QVPKG_2ND_TABLE_SIZE(ext.count) > fileLen) {
        ext.code = QVPKG_ERR_LENGTH;
        ext.message = "the second descriptor table runs past the end of the package";
        return;
    }
    const auto *table = reinterpret_cast<const SecondFileDescTable *>(base + tableAt);
    ext.code = QVPKG_Chk2ndFileDesc(dummy, table, msg, sizeof msg);
    if (ext.code != QVPKG_OK) {
        ext.message = trim_newlines(msg);
        return;
    }
    ext.state = ExtState::Valid;
    --rep.failures;
    for (std::uint32_t i = 0; i < ext.count; ++i) {
        rep.subfiles.push_back(
            check_subfile(base, fileLen, Table::Extension, i, decode_desc(table->fileDesc[i])));
        rep.failures += rep.subfiles.back().failed() ? 1 : 0;
    }
}

}  // namespace

PackageReport build_report(const std::string &path) {
    PackageReport rep;
    char msg[QVPKG_MSG_BUF_LEN] = "";
    std::uint32_t fileLen = 0;
    std::uint8_t *base = QVPKG_MapQVFile(path.c_str(), &fileLen, msg, sizeof msg);
    if (base == nullptr) {
        rep.error = msg[0] != '\0' ? trim_newlines(msg) : "cannot resolve the path";
        rep.failures = 1;
        return rep;
    }
    rep.size = fileLen;
    const auto *header = reinterpret_cast<const QVHeader *>(base);
    rep.header.checkCode = QVPKG_ChkQvHeader(header);
    rep.header.fileNum = load_be32(header->fileNum);
    rep.header.productType = (std::uint32_t{header->productType[0]} << 8) | header->productType[1];
    rep.header.storedCrc = load_be32(header->headerCrc);
    rep.header.computedCrc = crc_of(base, QVPKG_HEADER_CRC_LEN);
    if (!rep.header.valid()) {
        rep.failures = 1;
    } else {
        for (std::uint32_t i = 0; i < rep.header.fileNum; ++i) {
            rep.subfiles.push_back(
                check_subfile(base, fileLen, Table::Header, i, decode_desc(header->fileDesc[i])));
            rep.failures += rep.subfiles.back().failed() ? 1 : 0;
        }
        const QVFileDesc e255 = decode_desc(header->fileDesc[kEntry255]);
        if (rep.header.fileNum == QVPKG_MAX_FILE_NUM && e255.fileId == DUMMY_DESC_FILE_ID) {
            check_extension(base, fileLen, e255, rep);
        }
    }
    QVPKG_UnmapQVFile(base, fileLen);
    return rep;
}

}  // namespace rztool
