// SPDX-License-Identifier: MIT
#include "package.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace rztool {
namespace {

constexpr std::uint32_t kEntry255 = QVPKG_MAX_FILE_NUM - 1;
constexpr std::uint32_t kReleaseFrom = 1u << 20;  // ranges worth giving back

QVFileDesc decode_desc(const std::uint8_t *raw) {
    return QVFileDesc{load_be32(raw),      load_be32(raw + 4),  load_be32(raw + 8),
                      load_be32(raw + 12), load_be32(raw + 16), load_be32(raw + 20)};
}

std::uint16_t crc_of(const std::uint8_t *data, std::uint32_t len) {
    std::uint16_t crc = 0;
    QVPKG_MakeCrcCheckSum(data, static_cast<std::int32_t>(len), &crc);
    return crc;
}

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

std::string entry_label(const Entry &e) {
    return std::string(table_name(e.table)) + " entry " + std::to_string(e.index) + " (" +
           hex32(e.desc.fileId) + ")";
}

PackageView::PackageView(std::string path) : path_(std::move(path)) {
    set_reading(&path_);
    std::string file = path_;
    if (path_ == kStdinArg) {
        spool_ = std::make_unique<StdinSpool>();
        if (!spool_->ok()) {
            error_ = spool_->error();
            status_ = kExitTrouble;
            return;
        }
        file = spool_->path();
    }
    std::uint64_t size = 0;
    error_ = input_problem(file, &size, &identity_);
    if (!error_.empty()) {
        status_ = kExitTrouble;
        return;
    }
    // The same words for a short file from every command, before the
    // library is asked to map it.
    if (size < QVPKG_HEADER_SIZE) {
        error_ = "not a package: " + std::to_string(size) + " bytes, shorter than the " +
                 std::to_string(QVPKG_HEADER_SIZE) + "-byte header";
        status_ = kExitFailure;
        return;
    }
    char msg[QVPKG_MSG_BUF_LEN] = "";
    base_ = QVPKG_MapQVFile(file.c_str(), &size_, msg, sizeof msg);
    if (base_ == nullptr) {
        error_ =
            "cannot map it: " + (msg[0] != '\0' ? trim_newlines(msg) : "cannot resolve the path");
        status_ = kExitTrouble;
        return;
    }
    const auto *raw = reinterpret_cast<const QVHeader *>(base_);
    header_.checkCode = QVPKG_ChkQvHeader(raw);
    header_.fileNum = load_be32(raw->fileNum);
    header_.productType = (std::uint32_t{raw->productType[0]} << 8) | raw->productType[1];
    header_.storedCrc = load_be32(raw->headerCrc);
    header_.computedCrc = crc_of(base_, QVPKG_HEADER_CRC_LEN);
    read_extension();
}

PackageView::~PackageView() {
    set_reading(nullptr);
    if (base_ != nullptr) {
        QVPKG_UnmapQVFile(base_, size_);
    }
}

// The extension, judged on the mapping with the library's two checks, every
// range tested against the file first.
void PackageView::read_extension() {
    if (!header_.valid() || header_.fileNum != QVPKG_MAX_FILE_NUM) {
        return;
    }
    const QVFileDesc extDesc =
        decode_desc(reinterpret_cast<const QVHeader *>(base_)->fileDesc[kEntry255]);
    if (extDesc.fileId != DUMMY_DESC_FILE_ID) {
        return;  // 256 ordinary sub-files
    }
    ext_.state = ExtState::Invalid;
    const std::uint8_t *dummyAt = bytes(extDesc.offset, BIN_HEADER_SIZE);
    if (dummyAt == nullptr) {
        ext_.code = QVPKG_ERR_LENGTH;
        ext_.message = "the dummy bin file lies past the end of the package";
        return;
    }
    const auto *dummy = reinterpret_cast<const BinHeader *>(dummyAt);
    ext_.count = load_be32(dummy->fileNum);
    char msg[QVPKG_MSG_BUF_LEN] = "";
    ext_.code = QVPKG_isValidExtQV(&extDesc, dummy, msg, sizeof msg);
    if (ext_.code != QVPKG_OK) {
        ext_.message =
            msg[0] != '\0' ? trim_newlines(msg) : "the extension lists more sub-files than allowed";
        return;
    }
    const std::uint64_t tableAt = std::uint64_t{extDesc.offset} + BIN_HEADER_SIZE;
    const std::uint64_t tableSize = QVPKG_2ND_TABLE_SIZE(ext_.count);
    if (tableAt + tableSize > size_) {
        ext_.code = QVPKG_ERR_LENGTH;
        ext_.message = "the second descriptor table runs past the end of the package";
        return;
    }
    const auto *table = reinterpret_cast<const SecondFileDescTable *>(base_ + tableAt);
    ext_.code = QVPKG_Chk2ndFileDesc(dummy, table, msg, sizeof msg);
    if (ext_.code != QVPKG_OK) {
        ext_.message = trim_newlines(msg);
        return;
    }
    table_ = base_ + tableAt + 32;
    ext_.state = ExtState::Valid;
}

std::uint32_t PackageView::header_count() const {
    return header_.fileNum < QVPKG_MAX_FILE_NUM ? header_.fileNum : QVPKG_MAX_FILE_NUM;
}

std::uint32_t PackageView::ext_count() const {
    return ext_.state == ExtState::Valid ? ext_.count : 0;
}

Entry PackageView::entry(std::uint64_t k) const {
    const auto *raw = reinterpret_cast<const QVHeader *>(base_);
    if (k < header_count()) {
        const auto i = static_cast<std::uint32_t>(k);
        return Entry{Table::Header, i, decode_desc(raw->fileDesc[i])};
    }
    const auto i = static_cast<std::uint32_t>(k - header_count());
    return Entry{Table::Extension, i, decode_desc(table_ + std::size_t{i} * 24)};
}

std::uint64_t PackageView::subfile_count() const {
    return entry_count() - (ext_.state != ExtState::None ? 1 : 0);
}

bool PackageView::is_dummy(const Entry &e) const {
    return ext_.state != ExtState::None && e.table == Table::Header && e.index == kEntry255;
}

const std::uint8_t *PackageView::bytes(std::uint32_t offset, std::uint32_t length) const {
    if (std::uint64_t{offset} + length > size_) {
        return nullptr;
    }
    return base_ + offset;
}

BinInfo PackageView::bin_header(std::uint32_t offset) const {
    BinInfo info;
    const std::uint8_t *at = bytes(offset, BIN_HEADER_SIZE);
    if (at == nullptr) {
        return info;
    }
    const auto *bin = reinterpret_cast<const BinHeader *>(at);
    info.readable = true;
    info.name = field_text(bin->name, sizeof bin->name);
    info.desc = field_text(bin->desc, sizeof bin->desc);
    info.dataLen = load_be32(bin->dataLen);
    info.fileId = load_be32(bin->fileId);
    return info;
}

void PackageView::release(std::uint32_t offset, std::uint32_t length) const {
    if (length < kReleaseFrom || bytes(offset, length) == nullptr) {
        return;
    }
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t from = std::uint64_t{offset} / page * page;
    const std::uint64_t to = std::uint64_t{offset} + length;
    ::madvise(base_ + from, static_cast<std::size_t>(to - from), MADV_DONTNEED);
}

std::string check_subfile(const PackageView &pkg, const QVFileDesc &d, std::string &result) {
    const std::uint8_t *sub = pkg.bytes(d.offset, d.length);
    if (sub == nullptr) {
        result = "out-of-bounds";
        return "offset " + std::to_string(d.offset) + " + length " + std::to_string(d.length) +
               " runs past the end of the package (" + std::to_string(pkg.size()) + " bytes)";
    }
    if (d.length == 0) {
        result = "empty";
        return {};
    }
    char msg[QVPKG_MSG_BUF_LEN] = "";
    const std::int32_t code = QVPKG_ChkSubfile(sub, &d, msg, sizeof msg);
    pkg.release(d.offset, d.length);
    if (code == QVPKG_OK) {
        result = "ok";
        return {};
    }
    if (d.length < BIN_HEADER_SIZE) {
        result = "too-short";
    } else if (load_be32(sub + 4) != crc_of(sub + 8, BIN_HEADER_CRC_LEN)) {
        result = "header-crc-mismatch";
    } else if (std::uint64_t{BIN_HEADER_SIZE} + load_be32(sub + 340) > d.length) {
        result = "payload-overrun";
    } else {
        result = "payload-crc-mismatch";
    }
    std::string text = trim_newlines(msg);
    return text.empty() ? result : text;
}

void Crc16Stream::update(std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return;
    }
    if (size == 1) {
        std::uint8_t b = static_cast<std::uint8_t>(data[0] ^ (crc_ >> 8));
        std::uint16_t c = 0;
        QVPKG_MakeCrcCheckSum(&b, 1, &c);
        crc_ = static_cast<std::uint16_t>(c ^ ((crc_ & 0xFFu) << 8));
        return;
    }
    const auto hi = static_cast<std::uint8_t>(crc_ >> 8);
    const auto lo = static_cast<std::uint8_t>(crc_ & 0xFFu);
    data[0] ^= hi;
    data[1] ^= lo;
    std::uint16_t c = 0;
    std::size_t done = 0;
    // The library counts in signed 32 bits: feed at most 1 GiB at a time.
    while (done < size) {
        const std::size_t n = std::min<std::size_t>(size - done, std::size_t{1} << 30);
        if (done == 0) {
            QVPKG_MakeCrcCheckSum(data, static_cast<std::int32_t>(n), &c);
        } else {
            Crc16Stream rest;
            rest.crc_ = c;
            rest.update(data + done, n);
            c = rest.crc_;
        }
        done += n;
    }
    data[0] ^= hi;
    data[1] ^= lo;
    crc_ = c;
}

}  // namespace rztool
