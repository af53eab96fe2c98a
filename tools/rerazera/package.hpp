// Reading a package for display: the raw header and its table, the
// extension's second table, and sub-files' bin headers, all through the
// library's public reading and checking functions. Nothing here stops at the
// first problem: every piece records whether it could be read and why not,
// so broken packages can still be inspected.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rerazera.h"

namespace rztool {

// Big-endian word of a record image.
std::uint32_t load_be32(const std::uint8_t *p);

// A NUL-terminated text field of a bin header, never read past its width.
std::string field_text(const char *field, std::size_t width);

enum class Table { Header, Extension };
const char *table_name(Table table);

struct HeaderInfo {
    std::int32_t readCode = QVPKG_OK;   // of the positioned read of the 6180 bytes
    std::int32_t checkCode = QVPKG_OK;  // QVPKG_ChkQvHeader
    std::uint32_t fileNum = 0;
    std::uint32_t productType = 0;
    std::uint32_t storedCrc = 0;
    std::uint16_t computedCrc = 0;
    std::vector<QVFileDesc> entries;  // min(fileNum, 256) decoded descriptors

    [[nodiscard]] bool readable() const { return readCode == QVPKG_OK; }
    [[nodiscard]] bool valid() const { return readable() && checkCode == QVPKG_OK; }
};

enum class ExtState {
    None,     // fewer than 256 entries, or entry 255 is an ordinary sub-file
    Invalid,  // entry 255 is the dummy bin file but a check failed
    Valid,
};
const char *ext_state_name(ExtState state);

struct ExtensionInfo {
    ExtState state = ExtState::None;
    std::int32_t code = QVPKG_OK;  // result of the failing step
    std::string message;           // its verdict text, without the trailing newline
    std::uint32_t count = 0;       // N as the dummy bin header states it
    std::vector<QVFileDesc> entries;
};

struct BinInfo {
    std::int32_t readCode = QVPKG_OK;
    std::string name;
    std::string desc;
    std::uint32_t dataLen = 0;
    std::uint32_t fileId = 0;

    [[nodiscard]] bool readable() const { return readCode == QVPKG_OK; }
};

// One row of a package's contents: a header entry or an extend subfile.
struct Entry {
    Table table = Table::Header;
    std::uint32_t index = 0;
    QVFileDesc desc{};
};

// Reads and checks the header; a header that fails its check is still
// decoded (up to 256 entries) so it can be shown.
HeaderInfo read_header(const std::string &path);

// Follows entry 255 to the second table when the header is valid and has
// 256 entries: dummy bin header, its check, the table, its check.
ExtensionInfo read_extension(const std::string &path, const HeaderInfo &header);

BinInfo read_bin_header(const std::string &path, std::uint32_t offset);

// Every entry: the header's table, then the extension's.
std::vector<Entry> all_entries(const HeaderInfo &header, const ExtensionInfo &ext);

// True for header entry 255 when it is the extension's dummy bin file.
bool is_dummy_entry(const Entry &entry, const ExtensionInfo &ext);

// Trims the trailing newlines of a verdict for display.
std::string trim_newlines(std::string text);

}  // namespace rztool
