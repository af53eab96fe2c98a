// SPDX-License-Identifier: MIT
#include "writer/package_writer.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <utility>

#include "format/big_endian.hpp"
#include "format/layout.hpp"
#include "rerazera.h"

namespace rerazera::writer {
namespace {

namespace hdr = layout::header;
namespace bin = layout::bin;
namespace dsc = layout::desc;
namespace tbl = layout::table;

void put_desc(std::uint8_t *raw, const RawDesc &d) {
    store_be32(raw + dsc::kFileId, d.fileId);
    store_be32(raw + dsc::kOffset, d.offset);
    store_be32(raw + dsc::kLength, d.length);
    store_be32(raw + dsc::kCrc, d.crc);
    store_be32(raw + dsc::kAux0, d.aux0);
    store_be32(raw + dsc::kAux1, d.aux1);
}

void put_text(std::uint8_t *field, std::size_t size, const std::string &text) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), n);
}

std::uint32_t checked_u32(std::size_t value) {
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument("package exceeds 4 GiB");
    }
    return static_cast<std::uint32_t>(value);
}

// Appends a sub-file (bin header + payload) and returns its descriptor.
RawDesc append_sub_file(std::vector<std::uint8_t> &out, const SubFile &file) {
    const std::uint32_t offset = checked_u32(out.size());
    const auto header = make_bin_header(file, checked_u32(file.payload.size()), file.fileId);
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), file.payload.begin(), file.payload.end());
    return RawDesc{file.fileId,
                   offset,
                   checked_u32(bin::kSize + file.payload.size()),
                   crc16(file.payload.data(), file.payload.size()),
                   file.aux0,
                   file.aux1};
}

}  // namespace

std::uint16_t crc16(const std::uint8_t *data, std::size_t size) {
    // The public checksum takes a signed 32-bit count, so a range of 2 GiB
    // or more cannot be summed through it; packages never need one.
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::invalid_argument("checksummed range exceeds 2 GiB");
    }
    std::uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum(data, static_cast<std::int32_t>(size), &crc);
    return crc;
}

std::vector<std::uint8_t> make_bin_header(const SubFile &file, std::uint32_t dataLen,
                                          std::uint32_t binFileId, std::uint32_t fileNum) {
    std::vector<std::uint8_t> h(bin::kSize, 0);
    store_be32(h.data() + bin::kFileId, binFileId);
    store_be32(h.data() + bin::kFileNum, fileNum);
    put_text(h.data() + bin::kDesc, bin::kDescSize, file.desc);
    put_text(h.data() + bin::kName, bin::kNameSize, file.name);
    store_be32(h.data() + bin::kDataLen, dataLen);
    store_be32(h.data() + bin::kHeadCrc, crc16(h.data() + bin::kCrcStart, bin::kCrcLen));
    return h;
}

std::vector<ByteRun> nonzero_runs(const std::uint8_t *record, std::size_t size) {
    constexpr std::size_t kFold = 8;
    std::vector<ByteRun> runs;
    std::size_t i = 0;
    while (i < size) {
        if (record[i] == 0) {
            ++i;
            continue;
        }
        std::size_t end = i + 1;  // one past the last non-zero byte of the run
        for (std::size_t j = end; j < size && j < end + kFold; ++j) {
            if (record[j] != 0) {
                end = j + 1;
            }
        }
        runs.push_back(ByteRun{static_cast<std::uint32_t>(i),
                               std::vector<std::uint8_t>(record + i, record + end)});
        i = end;
    }
    return runs;
}

void apply_runs(std::uint8_t *record, std::size_t size, const std::vector<ByteRun> &runs) {
    for (const ByteRun &run : runs) {
        if (run.at > size || run.bytes.size() > size - run.at) {
            throw std::invalid_argument("bytes at " + std::to_string(run.at) +
                                        " pass the end of a " + std::to_string(size) +
                                        "-byte record");
        }
        std::copy(run.bytes.begin(), run.bytes.end(), record + run.at);
    }
}

void store_desc(std::uint8_t *at, const RawDesc &desc) {
    put_desc(at, desc);
}

std::vector<std::uint8_t> make_bin_header(const BinFields &fields) {
    if (fields.name.size() > bin::kNameSize || fields.desc.size() > bin::kDescSize) {
        throw std::invalid_argument(
            "a bin header holds names of at most 96 bytes and "
            "descriptions of at most 128");
    }
    std::vector<std::uint8_t> h(bin::kSize, 0);
    apply_runs(h.data(), h.size(), fields.extra);
    const auto text = [&h](std::uint32_t at, std::size_t width, const std::string &value) {
        std::copy(value.begin(), value.end(), h.begin() + at);
        if (value.size() < width) {
            h[at + value.size()] = 0;
        }
    };
    store_be32(h.data() + bin::kHeadCrc, 0);
    store_be32(h.data() + bin::kFileId, fields.fileId);
    if (fields.fileNum != 0) {
        store_be32(h.data() + bin::kFileNum, fields.fileNum);
    }
    text(bin::kDesc, bin::kDescSize, fields.desc);
    text(bin::kName, bin::kNameSize, fields.name);
    store_be32(h.data() + bin::kDataLen, fields.dataLen);
    return h;
}

std::vector<std::uint8_t> make_bin_file(const SubFile &file) {
    auto out = make_bin_header(file, checked_u32(file.payload.size()), file.fileId);
    out.insert(out.end(), file.payload.begin(), file.payload.end());
    return out;
}

StreamLayout plan_layout(const std::vector<PlannedFile> &files, std::uint16_t productType) {
    if (files.size() > std::size_t{hdr::kExtEntryIndex} + tbl::kMaxFileNum) {
        throw std::invalid_argument("a package holds at most 1048830 sub-files");
    }
    const bool extended = files.size() > hdr::kMaxFileNum;
    StreamLayout out;
    out.extensionBefore = extended ? hdr::kExtEntryIndex : files.size();
    out.header.assign(hdr::kSize, 0);
    store_be16(out.header.data() + hdr::kProductType, productType);

    std::uint64_t at = hdr::kSize;
    const auto place = [&at](const PlannedFile &f) {
        const RawDesc d{f.fileId, checked_u32(at), checked_u32(bin::kSize + std::size_t{f.size}),
                        f.crc,    f.aux0,          f.aux1};
        at += bin::kSize + std::uint64_t{f.size};
        return d;
    };
    std::uint32_t entries = 0;
    for (std::size_t i = 0; i < out.extensionBefore; ++i) {
        put_desc(out.header.data() + hdr::kFileDesc + std::size_t{entries++} * dsc::kSize,
                 place(files[i]));
    }
    if (extended) {
        const auto n = static_cast<std::uint32_t>(files.size() - out.extensionBefore);
        const std::size_t tableSize = static_cast<std::size_t>(tbl::size(n));
        const std::uint32_t dummyAt = checked_u32(at);
        at += bin::kSize + tableSize;
        std::vector<std::uint8_t> table(tableSize, 0);
        store_be32(table.data() + tbl::kFileNum, n);
        for (std::uint32_t i = 0; i < n; ++i) {
            put_desc(table.data() + tbl::kFileDesc + std::size_t{i} * dsc::kSize,
                     place(files[out.extensionBefore + i]));
        }
        const std::size_t crcLen = static_cast<std::size_t>(tbl::crc_len(n));
        store_be32(table.data() + crcLen, crc16(table.data(), crcLen));
        SubFile dummy;
        dummy.fileId = layout::kDummyDescFileId;
        dummy.name = "dummy";
        out.extension = make_bin_header(dummy, checked_u32(tableSize), layout::kDummyBinFileId, n);
        out.extension.insert(out.extension.end(), table.begin(), table.end());
        put_desc(out.header.data() + hdr::kFileDesc + std::size_t{entries++} * dsc::kSize,
                 RawDesc{layout::kDummyDescFileId, dummyAt, checked_u32(bin::kSize + tableSize),
                         crc16(table.data(), table.size()), 0, 0});
    }
    checked_u32(at);
    store_be32(out.header.data() + hdr::kFileNum, entries);
    store_be32(out.header.data() + hdr::kHeaderCrc, crc16(out.header.data(), hdr::kCrcLen));
    out.total = at;
    return out;
}

// ---- Package -----------------------------------------------------------------

std::uint32_t Package::be32(std::size_t pos) const {
    if (pos + 4 > bytes.size()) {
        throw std::out_of_range("read past the package image");
    }
    return load_be32(bytes.data() + pos);
}

void Package::set_be32(std::size_t pos, std::uint32_t value) {
    if (pos + 4 > bytes.size()) {
        throw std::out_of_range("write past the package image");
    }
    store_be32(bytes.data() + pos, value);
}

void Package::set_file_num(std::uint32_t n) {
    set_be32(hdr::kFileNum, n);
}

std::size_t Package::entry_field(std::uint32_t i, std::uint32_t fieldOffset) {
    return hdr::kFileDesc + std::size_t{i} * dsc::kSize + fieldOffset;
}

std::size_t Package::ext_entry_field(std::uint32_t i, std::uint32_t fieldOffset) const {
    return tableOffset + tbl::kFileDesc + std::size_t{i} * dsc::kSize + fieldOffset;
}

void Package::reseal_header() {
    set_be32(hdr::kHeaderCrc, crc16(bytes.data(), hdr::kCrcLen));
}

void Package::reseal_bin_header(std::size_t subFileOffset) {
    if (subFileOffset + bin::kSize > bytes.size()) {
        throw std::out_of_range("bin header past the package image");
    }
    set_be32(subFileOffset + bin::kHeadCrc,
             crc16(bytes.data() + subFileOffset + bin::kCrcStart, bin::kCrcLen));
}

void Package::reseal_table() {
    const std::uint32_t n = be32(dummyOffset + bin::kFileNum);
    const std::size_t len = static_cast<std::size_t>(tbl::crc_len(n));
    if (tableOffset + len + 4 > bytes.size()) {
        throw std::out_of_range("table past the package image");
    }
    set_be32(tableOffset + len, crc16(bytes.data() + tableOffset, len));
}

void Package::write(const std::string &path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write package " + path);
    }
}

// ---- PackageBuilder ----------------------------------------------------------

PackageBuilder &PackageBuilder::product_type(std::uint16_t type) {
    productType_ = type;
    return *this;
}

PackageBuilder &PackageBuilder::add(SubFile file) {
    entries_.push_back(Entry{false, std::move(file), {}});
    return *this;
}

PackageBuilder &PackageBuilder::add_raw(RawDesc desc) {
    entries_.push_back(Entry{true, {}, desc});
    return *this;
}

PackageBuilder &PackageBuilder::add_extend(SubFile file) {
    extension_ = true;
    extEntries_.push_back(Entry{false, std::move(file), {}});
    return *this;
}

PackageBuilder &PackageBuilder::add_extend_raw(RawDesc desc) {
    extension_ = true;
    extEntries_.push_back(Entry{true, {}, desc});
    return *this;
}

PackageBuilder &PackageBuilder::with_empty_extension() {
    extension_ = true;
    return *this;
}

PackageBuilder PackageBuilder::from_files(std::vector<SubFile> files, std::uint16_t productType) {
    PackageBuilder builder;
    builder.product_type(productType);
    const bool extended = files.size() > hdr::kMaxFileNum;
    const std::size_t inHeader = extended ? hdr::kExtEntryIndex : files.size();
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i < inHeader) {
            builder.add(std::move(files[i]));
        } else {
            builder.add_extend(std::move(files[i]));
        }
    }
    return builder;
}

Package PackageBuilder::build() const {
    if (extension_ ? entries_.size() != hdr::kExtEntryIndex : entries_.size() > hdr::kMaxFileNum) {
        throw std::invalid_argument(extension_
                                        ? "a package with an extension has exactly 255 entries "
                                          "before the dummy bin file"
                                        : "the header table holds at most 256 entries");
    }
    if (extEntries_.size() > tbl::kMaxFileNum) {
        throw std::invalid_argument("an extension lists at most 1048575 sub-files");
    }

    Package pkg;
    pkg.bytes.assign(hdr::kSize, 0);
    store_be16(pkg.bytes.data() + hdr::kProductType, productType_);

    std::vector<RawDesc> descs;
    for (const Entry &e : entries_) {
        if (e.raw) {
            descs.push_back(e.desc);
            pkg.entryOffsets.push_back(e.desc.offset);
        } else {
            descs.push_back(append_sub_file(pkg.bytes, e.file));
            pkg.entryOffsets.push_back(descs.back().offset);
        }
    }

    if (extension_) {
        const auto n = static_cast<std::uint32_t>(extEntries_.size());
        pkg.hasExtension = true;
        pkg.extCount = n;
        pkg.dummyOffset = checked_u32(pkg.bytes.size());
        pkg.tableOffset = pkg.dummyOffset + bin::kSize;
        const std::size_t tableSize = static_cast<std::size_t>(tbl::size(n));

        // Extend sub-files go behind the table; lay them out first so the
        // table can point at them.
        std::vector<std::uint8_t> tail;
        std::vector<RawDesc> extDescs;
        const std::size_t tailBase = pkg.tableOffset + tableSize;
        for (const Entry &e : extEntries_) {
            if (e.raw) {
                extDescs.push_back(e.desc);
                continue;
            }
            RawDesc d = append_sub_file(tail, e.file);
            d.offset = checked_u32(d.offset + tailBase);
            pkg.extOffsets.push_back(d.offset);
            extDescs.push_back(d);
        }

        std::vector<std::uint8_t> table(tableSize, 0);
        store_be32(table.data() + tbl::kFileNum, n);
        for (std::uint32_t i = 0; i < n; ++i) {
            put_desc(table.data() + tbl::kFileDesc + std::size_t{i} * dsc::kSize, extDescs[i]);
        }
        const std::size_t crcLen = static_cast<std::size_t>(tbl::crc_len(n));
        store_be32(table.data() + crcLen, crc16(table.data(), crcLen));

        SubFile dummy;
        dummy.fileId = layout::kDummyDescFileId;
        dummy.name = "dummy";
        const auto dummyHeader =
            make_bin_header(dummy, checked_u32(tableSize), layout::kDummyBinFileId, n);
        pkg.bytes.insert(pkg.bytes.end(), dummyHeader.begin(), dummyHeader.end());
        pkg.bytes.insert(pkg.bytes.end(), table.begin(), table.end());
        pkg.bytes.insert(pkg.bytes.end(), tail.begin(), tail.end());
        checked_u32(pkg.bytes.size());

        descs.push_back(RawDesc{layout::kDummyDescFileId, pkg.dummyOffset,
                                checked_u32(bin::kSize + tableSize),
                                crc16(table.data(), table.size()), 0, 0});
        pkg.entryOffsets.push_back(pkg.dummyOffset);
    }

    store_be32(pkg.bytes.data() + hdr::kFileNum, static_cast<std::uint32_t>(descs.size()));
    for (std::size_t i = 0; i < descs.size(); ++i) {
        put_desc(pkg.bytes.data() + hdr::kFileDesc + i * dsc::kSize, descs[i]);
    }
    pkg.reseal_header();
    return pkg;
}

}  // namespace rerazera::writer
