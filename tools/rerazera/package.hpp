// SPDX-License-Identifier: MIT
// Reading a package for display, lookup and extraction. The package is
// mapped read-only through the library (QVPKG_MapQVFile) and every range a
// package claims (a sub-file, a bin header, the second table) is tested
// against the file's length before it is touched, so nothing is allocated
// or read in proportion to a number the package merely states. Nothing here
// stops at the first problem: every piece records whether it could be read
// and why not, so broken packages can still be inspected.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "rerazera.h"
#include "spool.hpp"
#include "tool.hpp"

namespace rztool {

// Big-endian word of a record image.
std::uint32_t load_be32(const std::uint8_t *p);

// A NUL-terminated text field of a bin header, never read past its width.
std::string field_text(const char *field, std::size_t width);

enum class Table { Header, Extension };
const char *table_name(Table table);

struct HeaderInfo {
    std::int32_t checkCode = QVPKG_OK;  // QVPKG_ChkQvHeader
    std::uint32_t fileNum = 0;
    std::uint32_t productType = 0;
    std::uint32_t storedCrc = 0;
    std::uint16_t computedCrc = 0;

    [[nodiscard]] bool valid() const { return checkCode == QVPKG_OK; }
    [[nodiscard]] bool crc_matches() const { return storedCrc == computedCrc; }
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
};

struct BinInfo {
    bool readable = false;
    std::string name;
    std::string desc;
    std::uint32_t dataLen = 0;
    std::uint32_t fileId = 0;
};

// One row of a package's contents: a header entry or an extend subfile.
struct Entry {
    Table table = Table::Header;
    std::uint32_t index = 0;
    QVFileDesc desc{};
};

// "header entry 3 (0x00000004)"
std::string entry_label(const Entry &e);

class PackageView {
  public:
    // Checks the input (a regular file below 2 GiB, see input_problem), maps
    // it and reads its header and extension. On failure ok() is false,
    // error() says why and status() is kExitTrouble for an input that
    // cannot be used or kExitFailure for a file too short to be a package.
    // "-" reads the package from standard input (see StdinSpool).
    explicit PackageView(std::string path);
    ~PackageView();
    PackageView(const PackageView &) = delete;
    PackageView &operator=(const PackageView &) = delete;

    [[nodiscard]] bool ok() const { return base_ != nullptr; }
    [[nodiscard]] int status() const { return status_; }
    [[nodiscard]] const std::string &error() const { return error_; }
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] std::uint32_t size() const { return size_; }
    [[nodiscard]] const FileIdentity &identity() const { return identity_; }
    [[nodiscard]] const HeaderInfo &header() const { return header_; }
    [[nodiscard]] const ExtensionInfo &ext() const { return ext_; }

    // Entries of the header table (at most 256, even when fileNum says
    // more), then those of a valid extension.
    [[nodiscard]] std::uint32_t header_count() const;
    [[nodiscard]] std::uint32_t ext_count() const;
    [[nodiscard]] std::uint64_t entry_count() const { return header_count() + ext_count(); }
    [[nodiscard]] Entry entry(std::uint64_t k) const;
    // Sub-files: entries less the dummy bin file.
    [[nodiscard]] std::uint64_t subfile_count() const;
    [[nodiscard]] bool is_dummy(const Entry &e) const;

    // length bytes at offset, or nullptr when they do not lie in the file.
    [[nodiscard]] const std::uint8_t *bytes(std::uint32_t offset, std::uint32_t length) const;
    // The bin header at offset, when its 352 bytes lie in the file.
    [[nodiscard]] BinInfo bin_header(std::uint32_t offset) const;
    // Gives the pages of a range back to the system once it has been read,
    // so that a large sub-file does not stay counted against the tool.
    void release(std::uint32_t offset, std::uint32_t length) const;

  private:
    void read_extension();

    std::string path_;
    std::string error_;
    int status_ = kExitOk;
    std::unique_ptr<StdinSpool> spool_;
    std::uint8_t *base_ = nullptr;
    std::uint32_t size_ = 0;
    FileIdentity identity_;
    HeaderInfo header_;
    ExtensionInfo ext_;
    const std::uint8_t *table_ = nullptr;  // the second table's descriptors, when valid
};

// Checks one sub-file in place: bounds, then the library's test of its bin
// header and payload. Returns "" when it passes, else the reason; `result`
// gets one of ok, empty, out-of-bounds, too-short, header-crc-mismatch,
// payload-crc-mismatch, payload-overrun.
std::string check_subfile(const PackageView &pkg, const QVFileDesc &d, std::string &result);

// CRC-16 of data fed in pieces. The library computes a checksum from a zero
// register only; for this CRC (no reflection, no final XOR) starting from a
// register r is the same as starting from zero with r XORed into the first
// two bytes, which is how the pieces are chained (a piece of one byte b
// gives crc(r_hi ^ b) ^ (r_lo << 8)).
class Crc16Stream {
  public:
    // data is modified during the call and restored before it returns.
    void update(std::uint8_t *data, std::size_t size);
    [[nodiscard]] std::uint16_t value() const { return crc_; }

  private:
    std::uint16_t crc_ = 0;
};

// Trims the trailing newlines of a verdict for display.
std::string trim_newlines(std::string text);

}  // namespace rztool
