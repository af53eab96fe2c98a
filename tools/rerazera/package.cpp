#include "package.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace rztool {
namespace {

constexpr std::uint32_t kEntry255 = QVPKG_MAX_FILE_NUM - 1;

QVFileDesc decode_desc(const std::uint8_t *raw) {
    QVFileDesc d{};
    d.fileId = load_be32(raw);
    d.offset = load_be32(raw + 4);
    d.length = load_be32(raw + 8);
    d.crc = load_be32(raw + 12);
    d.aux0 = load_be32(raw + 16);
    d.aux1 = load_be32(raw + 20);
    return d;
}

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

}  // namespace

std::uint32_t load_be32(const std::uint8_t *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::string field_text(const char *field, std::size_t width) {
    const void *end = std::memchr(field, '\0', width);
    const std::size_t n =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char *>(end) - field) : width;
    return std::string(field, n);
}

const char *table_name(Table table) {
    return table == Table::Header ? "header" : "extension";
}

const char *ext_state_name(ExtState state) {
    switch (state) {
        case ExtState::None:
            return "none";
        case ExtState::Invalid:
            return "invalid";
        case ExtState::Valid:
            return "valid";
    }
    return "none";
}

std::string trim_newlines(std::string text) {
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

HeaderInfo read_header(const std::string &path) {
    HeaderInfo info;
    QVHeader raw{};
    info.readCode = QVPKG_ReadFileByOffset(path.c_str(), 0, &raw, sizeof raw);
    if (info.readCode != QVPKG_OK) {
        return info;
    }
    info.checkCode = QVPKG_ChkQvHeader(&raw);
    info.fileNum = load_be32(raw.fileNum);
    info.productType = (std::uint32_t{raw.productType[0]} << 8) | raw.productType[1];
    info.storedCrc = load_be32(raw.headerCrc);
    QVPKG_MakeCrcCheckSum(reinterpret_cast<const std::uint8_t *>(&raw),
                          static_cast<std::int32_t>(QVPKG_HEADER_CRC_LEN), &info.computedCrc);
    const std::uint32_t n = info.fileNum < QVPKG_MAX_FILE_NUM ? info.fileNum : QVPKG_MAX_FILE_NUM;
    info.entries.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        info.entries.push_back(decode_desc(raw.fileDesc[i]));
    }
    return info;
}

ExtensionInfo read_extension(const std::string &path, const HeaderInfo &header) {
    ExtensionInfo ext;
    if (!header.valid() || header.fileNum < QVPKG_MAX_FILE_NUM) {
        return ext;
    }
    QVFileDesc extDesc{};
    if (QVPKG_isExtendFileExist(path.c_str(), &extDesc) != QVPKG_OK ||
        extDesc.fileId != DUMMY_DESC_FILE_ID) {
        // 256 ordinary sub-files: entry 255 is not the dummy bin file.
        return ext;
    }
    ext.state = ExtState::Invalid;

    BinHeader dummy{};
    ext.code = QVPKG_ReadFileByOffset(path.c_str(), static_cast<std::int32_t>(extDesc.offset),
                                      &dummy, sizeof dummy);
    if (ext.code != QVPKG_OK) {
        ext.message = "the dummy bin file cannot be read";
        return ext;
    }
    ext.count = load_be32(dummy.fileNum);

    char msg[QVPKG_MSG_BUF_LEN] = "";
    ext.code = QVPKG_isValidExtQV(&extDesc, &dummy, msg, sizeof msg);
    if (ext.code != QVPKG_OK) {
        ext.message =
            msg[0] != '\0' ? trim_newlines(msg) : "the extension lists more sub-files than allowed";
        return ext;
    }
    std::unique_ptr<SecondFileDescTable, FreeDeleter> table(
        QVPKG_Get2ndFileDescContent(path.c_str(), &extDesc, &dummy));
    if (!table) {
        ext.code = QVPKG_ERR_EXT_TABLE;
        ext.message = "the second descriptor table cannot be read";
        return ext;
    }
    ext.code = QVPKG_Chk2ndFileDesc(&dummy, table.get(), msg, sizeof msg);
    if (ext.code != QVPKG_OK) {
        ext.message = trim_newlines(msg);
        return ext;
    }
    ext.entries.reserve(ext.count);
    for (std::uint32_t i = 0; i < ext.count; ++i) {
        ext.entries.push_back(decode_desc(table->fileDesc[i]));
    }
    ext.state = ExtState::Valid;
    return ext;
}

BinInfo read_bin_header(const std::string &path, std::uint32_t offset) {
    BinInfo info;
    BinHeader bin{};
    // Positions are signed 32-bit: a sub-file at 2 GiB or beyond cannot be read.
    if (offset > static_cast<std::uint32_t>(INT32_MAX)) {
        info.readCode = QVPKG_ERR_IO;
        return info;
    }
    info.readCode =
        QVPKG_ReadFileByOffset(path.c_str(), static_cast<std::int32_t>(offset), &bin, sizeof bin);
    if (info.readCode != QVPKG_OK) {
        return info;
    }
    info.name = field_text(bin.name, sizeof bin.name);
    info.desc = field_text(bin.desc, sizeof bin.desc);
    info.dataLen = load_be32(bin.dataLen);
    info.fileId = load_be32(bin.fileId);
    return info;
}

std::vector<Entry> all_entries(const HeaderInfo &header, const ExtensionInfo &ext) {
    std::vector<Entry> out;
    out.reserve(header.entries.size() + ext.entries.size());
    for (std::uint32_t i = 0; i < header.entries.size(); ++i) {
        out.push_back(Entry{Table::Header, i, header.entries[i]});
    }
    for (std::uint32_t i = 0; i < ext.entries.size(); ++i) {
        out.push_back(Entry{Table::Extension, i, ext.entries[i]});
    }
    return out;
}

bool is_dummy_entry(const Entry &entry, const ExtensionInfo &ext) {
    return ext.state != ExtState::None && entry.table == Table::Header && entry.index == kEntry255;
}

}  // namespace rztool
