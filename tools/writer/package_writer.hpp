// SPDX-License-Identifier: MIT
// The package writer: builds QV packages in memory, valid by default, and
// offers the handles to break them on purpose (fields, checksums, counts).
//
// Layout it produces:
//   header (6180 bytes) | header-table sub-files in entry order |
//   dummy bin file (bin header + second table) | extend sub-files
// Every sub-file is its 352-byte bin header followed by its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rerazera::writer {

// One sub-file to place in a package.
struct SubFile {
    std::uint32_t fileId = 0;
    std::string name;  // bin header name, cut to 95 bytes
    std::string desc;  // bin header description, cut to 127 bytes
    std::vector<std::uint8_t> payload;
    std::uint32_t aux0 = 0;
    std::uint32_t aux1 = 0;
};

// A descriptor written into a table as given, with no sub-file behind it;
// lets a test list many entries (or impossible ones) cheaply.
struct RawDesc {
    std::uint32_t fileId = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t crc = 0;
    std::uint32_t aux0 = 0;
    std::uint32_t aux1 = 0;
};

// Where the builder put things, so tests can find and damage them.
struct Package {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> entryOffsets;  // per header entry (sub-files only)
    std::vector<std::uint32_t> extOffsets;    // per extend sub-file (sub-files only)
    bool hasExtension = false;
    std::uint32_t dummyOffset = 0;  // dummy bin file, when hasExtension
    std::uint32_t tableOffset = 0;  // second table (dummyOffset + 352)
    std::uint32_t extCount = 0;     // N

    // Raw big-endian access.
    [[nodiscard]] std::uint32_t be32(std::size_t pos) const;
    void set_be32(std::size_t pos, std::uint32_t value);

    // Header fields.
    void set_file_num(std::uint32_t n);
    // Position of field `fieldOffset` (0 fileId, 4 offset, 8 length, 12 crc,
    // 16 aux0, 20 aux1) of header entry i, or of second-table entry i.
    [[nodiscard]] static std::size_t entry_field(std::uint32_t i, std::uint32_t fieldOffset);
    [[nodiscard]] std::size_t ext_entry_field(std::uint32_t i, std::uint32_t fieldOffset) const;

    // Recompute a checksum after a deliberate change.
    void reseal_header();
    void reseal_bin_header(std::size_t subFileOffset);
    void reseal_table();  // tableCrc over N entries (N from the dummy bin header)

    // Writes the image to path (creating or truncating it); throws on failure.
    void write(const std::string &path) const;
};

class PackageBuilder {
  public:
    PackageBuilder &product_type(std::uint16_t type);
    // A header-table entry, in index order.
    PackageBuilder &add(SubFile file);
    // A header-table entry whose descriptor is written as given.
    PackageBuilder &add_raw(RawDesc desc);
    // Extend sub-files: any call makes the package carry an extension, with
    // the dummy bin file as header entry 255. Entries added with add() and
    // add_raw() must then number exactly 255.
    PackageBuilder &add_extend(SubFile file);
    PackageBuilder &add_extend_raw(RawDesc desc);
    // An extension with no extend sub-files (N = 0).
    PackageBuilder &with_empty_extension();

    // Lays out, fills every checksum and returns the package. Throws
    // std::invalid_argument when the entries do not fit the format.
    [[nodiscard]] Package build() const;

    // Chooses the layout a packer needs: up to 256 files go to the header
    // table; more put the first 255 in the header and the rest behind an
    // extension.
    static PackageBuilder from_files(std::vector<SubFile> files, std::uint16_t productType = 0);

  private:
    struct Entry {
        bool raw = false;
        SubFile file;
        RawDesc desc;
    };
    std::uint16_t productType_ = 0;
    std::vector<Entry> entries_;
    std::vector<Entry> extEntries_;
    bool extension_ = false;
};

// A sub-file known by its payload's size and checksum, for a writer that
// streams payloads from files rather than holding them in memory.
struct PlannedFile {
    std::uint32_t fileId = 0;
    std::string name;
    std::string desc;
    std::uint32_t size = 0;  // payload bytes
    std::uint16_t crc = 0;   // payload CRC-16
    std::uint32_t aux0 = 0;
    std::uint32_t aux1 = 0;
};

// The fixed parts of a package laid out as PackageBuilder::from_files does,
// to be written in this order: header, then for each file i its bin header
// (make_bin_header with its size) and payload, with the extension block
// written just before file extensionBefore.
struct StreamLayout {
    std::vector<std::uint8_t> header;     // QVPKG_HEADER_SIZE bytes
    std::vector<std::uint8_t> extension;  // dummy bin header + second table, or empty
    std::size_t extensionBefore = 0;      // index of the first extend sub-file
    std::uint64_t total = 0;              // bytes of the whole package
};

// Throws std::invalid_argument when the files do not fit the format or the
// package would pass 4 GiB.
StreamLayout plan_layout(const std::vector<PlannedFile> &files, std::uint16_t productType = 0);

// The 352-byte bin header the builder writes in front of a payload.
std::vector<std::uint8_t> make_bin_header(const SubFile &file, std::uint32_t dataLen,
                                          std::uint32_t binFileId, std::uint32_t fileNum = 0);

// Bytes of a record that no field accounts for (fields the format leaves
// uninterpreted, text after a terminator, unused table slots), kept as runs
// at offsets within the record so that a packer can reproduce a record
// exactly.
struct ByteRun {
    std::uint32_t at = 0;
    std::vector<std::uint8_t> bytes;
};

// The runs of non-zero bytes of a record; zeros shorter than 8 bytes between
// two runs are folded into one run.
std::vector<ByteRun> nonzero_runs(const std::uint8_t *record, std::size_t size);
// Writes runs into a record; throws std::invalid_argument when one would
// pass its end.
void apply_runs(std::uint8_t *record, std::size_t size, const std::vector<ByteRun> &runs);

// Writes a descriptor's six big-endian words at `at`.
void store_desc(std::uint8_t *at, const RawDesc &desc);

// Every field of a bin header, for a packer that reproduces one: name and
// description are copied raw, a terminator added when there is room, and
// the extra runs go under the fields. headCrc is left 0 for the caller.
struct BinFields {
    std::uint32_t fileId = 0;
    std::uint32_t fileNum = 0;  // N in the dummy bin file; else kept in extra
    std::string name;           // up to 96 bytes
    std::string desc;           // up to 128 bytes
    std::uint32_t dataLen = 0;
    std::vector<ByteRun> extra;
};
std::vector<std::uint8_t> make_bin_header(const BinFields &fields);

// A standalone bin file: bin header then payload.
std::vector<std::uint8_t> make_bin_file(const SubFile &file);

// CRC-16/XMODEM of a byte range, as the library computes it.
std::uint16_t crc16(const std::uint8_t *data, std::size_t size);

}  // namespace rerazera::writer
