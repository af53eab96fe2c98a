// SPDX-License-Identifier: MIT
#include "package.hpp"

#include <syslog.h>

#include <utility>

namespace rztool {
namespace {

constexpr std::uint32_t kDummyIndex = QVPKG_MAX_FILE_NUM - 1;

// The handle's diagnostic lines join the library's other log lines.
void forward_log(void * /*ctx*/, const char *line) {
    ::syslog(LOG_INFO, "%s", line);
}

void fill_bin(const rerazera_entry &raw, BinInfo &info) {
    // Cleared field by field: a caller's strings keep their storage.
    info.readable = false;
    info.name.clear();
    info.desc.clear();
    info.dataLen = 0;
    info.fileId = 0;
    if ((raw.flags & RERAZERA_ENTRY_BIN_HEADER) == 0) {
        return;
    }
    info.readable = true;
    info.name.assign(raw.name, raw.name_len);
    info.desc.assign(raw.description, raw.description_len);
    info.dataLen = raw.data_len;
    info.fileId = raw.bin_file_id;
}

}  // namespace

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

std::uint32_t be32_at(const std::uint8_t *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
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
    // The same words for a short file from every command.
    if (size < QVPKG_HEADER_SIZE) {
        error_ = "not a package: " + std::to_string(size) + " bytes, shorter than the " +
                 std::to_string(QVPKG_HEADER_SIZE) + "-byte header";
        status_ = kExitFailure;
        return;
    }
    const rerazera_open_options options{0, forward_log, nullptr};
    if (const std::int32_t r = rerazera_package_open_path(file.c_str(), &options, &handle_);
        r != RERAZERA_OK) {
        error_ = std::string("cannot map it: ") + rerazera_strerror(r);
        status_ = kExitTrouble;
        return;
    }
    rerazera_header_info info{};
    (void)rerazera_package_header(handle_, &info);
    size_ = static_cast<std::uint32_t>(info.size);
    header_.checkCode = info.header_result;
    header_.fileNum = info.file_num;
    header_.productType = info.product_type;
    header_.storedCrc = info.header_crc_stored;
    header_.computedCrc = info.header_crc_computed;
    headerEntries_ = info.file_num < QVPKG_MAX_FILE_NUM ? info.file_num : QVPKG_MAX_FILE_NUM;
    entries_ = headerEntries_;
    if (!header_.valid() || info.extension_state == RERAZERA_EXT_NONE) {
        return;  // behind a refused header, the extension is not looked at
    }
    ext_.count = info.extension_count;
    ext_.code = info.extension_result;
    if (info.extension_state == RERAZERA_EXT_VALID) {
        ext_.state = ExtState::Valid;
        entries_ = info.entry_count;
        return;
    }
    ext_.state = ExtState::Invalid;
    char msg[QVPKG_MSG_BUF_LEN] = "";
    (void)rerazera_package_extension_message(handle_, msg, sizeof msg);
    ext_.message = msg;
}

PackageView::~PackageView() {
    set_reading(nullptr);
    rerazera_package_free(handle_);
}

rerazera_entry PackageView::api_entry(const Entry &e) const {
    rerazera_entry out{};
    (void)rerazera_package_entry(
        handle_, e.table == Table::Header ? e.index : std::uint64_t{headerEntries_} + e.index,
        &out);
    return out;
}

Entry PackageView::entry(std::uint64_t k, BinInfo *bin) const {
    rerazera_entry raw{};
    (void)rerazera_package_entry(handle_, k, &raw);
    if (bin != nullptr) {
        fill_bin(raw, *bin);
    }
    return entry_of(raw);
}

std::uint64_t PackageView::subfile_count() const {
    return entries_ - (ext_.state != ExtState::None ? 1 : 0);
}

bool PackageView::is_dummy(const Entry &e) const {
    return ext_.state != ExtState::None && e.table == Table::Header && e.index == kDummyIndex;
}

BinInfo PackageView::bin(const Entry &e) const {
    BinInfo info;
    fill_bin(api_entry(e), info);
    return info;
}

EntryCheck PackageView::check(const Entry &e) const {
    const rerazera_entry raw = api_entry(e);
    rerazera_entry_report rep{};
    (void)rerazera_package_check_entry(handle_, &raw, &rep);
    std::uint64_t unbounded = UINT64_MAX;
    EntryCheck c = describe(e, rep, unbounded);
    release(e.desc.offset, e.desc.length);
    return c;
}

Entry PackageView::entry_of(const rerazera_entry &raw) {
    return Entry{raw.table == RERAZERA_TABLE_HEADER ? Table::Header : Table::Extension, raw.index,
                 QVFileDesc{raw.file_id, raw.offset, raw.length, raw.crc, raw.aux0, raw.aux1}};
}

int PackageView::report(const std::function<void(const Entry &, const EntryCheck &)> &take) const {
    struct Walk {
        const PackageView *view;
        const std::function<void(const Entry &, const EntryCheck &)> *take;
        std::uint64_t budget;
    } walk{this, &take, kExtraSumFactor * std::uint64_t{size_}};
    return rerazera_package_report(
        handle_,
        [](void *ctx, const rerazera_entry_report *rep) {
            auto *w = static_cast<Walk *>(ctx);
            const Entry e = entry_of(rep->entry);
            (*w->take)(e, w->view->describe(e, *rep, w->budget));
            return 0;
        },
        &walk);
}

EntryCheck PackageView::describe(const Entry &e, const rerazera_entry_report &rep,
                                 std::uint64_t &budget) const {
    EntryCheck c;
    c.result = rerazera_reason_name(rep.reason);
    const QVFileDesc &d = e.desc;
    // Sums made for the words of a report, beyond the library's: each is
    // charged to the budget, so that entries sharing bytes cannot make them
    // cost what the entries claim.
    const auto affordable = [&budget](std::uint64_t n) {
        if (n > budget) {
            return false;
        }
        budget -= n;
        return true;
    };
    if ((rep.computed & RERAZERA_REPORT_HEAD_CRC) != 0) {
        c.haveHead = true;
        c.headStored = rep.head_crc_stored;
        c.headComputed = rep.head_crc_computed;
        c.dataLen = rep.entry.data_len;
        c.havePayload = std::uint64_t{BIN_HEADER_SIZE} + c.dataLen <= d.length;
    }
    if ((rep.computed & RERAZERA_REPORT_CRC) != 0) {
        c.payloadComputed = rep.crc_computed;
    } else if (c.havePayload && affordable(c.dataLen)) {
        // A failed bin header stops the check; the payload's sum is still shown.
        std::uint16_t crc = 0;
        QVPKG_MakeCrcCheckSum(bytes(d.offset + BIN_HEADER_SIZE, c.dataLen),
                              static_cast<std::int32_t>(c.dataLen), &crc);
        c.payloadComputed = crc;
    } else {
        c.havePayload = false;
    }
    if (c.result == "out-of-bounds") {
        c.message = "offset " + std::to_string(d.offset) + " + length " + std::to_string(d.length) +
                    " runs past the end of the package (" + std::to_string(size_) + " bytes)";
    } else if (!c.passed() && affordable(d.length)) {
        // The library's verdict for the sub-file, as the one-call check words it.
        char msg[QVPKG_MSG_BUF_LEN] = "";
        (void)QVPKG_ChkSubfile(bytes(d.offset, d.length), &d, msg, sizeof msg);
        c.message = trim_newlines(msg);
    }
    if (!c.passed() && c.message.empty()) {
        c.message = c.result;
    }
    return c;
}

}  // namespace rztool
