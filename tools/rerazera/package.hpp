// SPDX-License-Identifier: MIT
// A package as the commands see it, over one handle of the package API
// (rerazera/package.h): the header and the extension as decoded when the
// handle was opened, its entries with their bin headers, the check of one
// entry, and the snapshot's bytes for the commands that compare or
// reproduce records as stored. Nothing here stops at the first problem:
// every piece records whether it could be read and why not, so broken
// packages can still be inspected.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "rerazera.h"
#include "rerazera/package.h"
#include "spool.hpp"
#include "tool.hpp"

namespace rztool {

enum class Table { Header, Extension };
const char *table_name(Table table);

struct HeaderInfo {
    std::int32_t checkCode = QVPKG_OK;  // the header check's QVPKG_ code
    std::uint32_t fileNum = 0;
    std::uint32_t productType = 0;
    std::uint32_t storedCrc = 0;
    std::uint32_t computedCrc = 0;

    [[nodiscard]] bool valid() const { return checkCode == QVPKG_OK; }
    [[nodiscard]] bool crc_matches() const { return storedCrc == computedCrc; }
};

enum class ExtState {
    None,     // fewer than 256 entries, or entry 255 is an ordinary sub-file
    Invalid,  // entry 255 is the dummy bin file but a check failed
    Valid,
};
const char *ext_state_name(ExtState state);

// The extension is looked at only behind a valid header.
struct ExtensionInfo {
    ExtState state = ExtState::None;
    std::int32_t code = QVPKG_OK;  // result of the failing step
    std::string message;           // its verdict text, without the trailing newline
    std::uint32_t count = 0;       // N as the dummy bin header states it
};

struct BinInfo {
    bool readable = false;  // the 352 bytes lie in the file
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

// The check of one entry: bounds, then its bin header and payload.
struct EntryCheck {
    std::string result;     // a reason name: ok, empty, out-of-bounds, too-short, ...
    std::string message;    // "" when it passes, else why not
    bool haveHead = false;  // the bin header lies in the entry
    std::uint32_t headStored = 0;
    std::uint32_t headComputed = 0;
    std::uint32_t dataLen = 0;
    bool havePayload = false;  // and its payload too
    std::uint32_t payloadComputed = 0;

    [[nodiscard]] bool passed() const { return result == "ok" || result == "empty"; }
};

class PackageView {
  public:
    // Checks the input (a regular file below 2 GiB, see input_problem) and
    // opens a handle on it. On failure ok() is false, error() says why and
    // status() is kExitTrouble for an input that cannot be used or
    // kExitFailure for a file too short to be a package. "-" reads the
    // package from standard input (see StdinSpool).
    explicit PackageView(std::string path);
    ~PackageView();
    PackageView(const PackageView &) = delete;
    PackageView &operator=(const PackageView &) = delete;

    [[nodiscard]] bool ok() const { return handle_ != nullptr; }
    [[nodiscard]] int status() const { return status_; }
    [[nodiscard]] const std::string &error() const { return error_; }
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] std::uint32_t size() const { return size_; }
    [[nodiscard]] const FileIdentity &identity() const { return identity_; }
    [[nodiscard]] const HeaderInfo &header() const { return header_; }
    [[nodiscard]] const ExtensionInfo &ext() const { return ext_; }
    [[nodiscard]] const rerazera_package *handle() const { return handle_; }

    // Entries of the header table (at most 256, even when fileNum says
    // more), then those of a valid extension.
    [[nodiscard]] std::uint64_t entry_count() const { return entries_; }
    // Entry k, and its bin header into *bin when bin is given (one lookup).
    [[nodiscard]] Entry entry(std::uint64_t k, BinInfo *bin = nullptr) const;
    // Sub-files: entries less the dummy bin file.
    [[nodiscard]] std::uint64_t subfile_count() const;
    [[nodiscard]] bool is_dummy(const Entry &e) const;
    // The bin header of an entry, when its 352 bytes lie in the file.
    [[nodiscard]] BinInfo bin(const Entry &e) const;
    // The entry as the package API serves it.
    [[nodiscard]] rerazera_entry api_entry(const Entry &e) const;
    [[nodiscard]] EntryCheck check(const Entry &e) const;
    // Every entry's check in one pass of the library's report, in entry
    // order: time linear in the file however much the entries claim. The
    // messages' extra sums stop after kExtraSumFactor times the file; past
    // that a failure is named by its reason alone. Returns the report's
    // result code.
    int report(const std::function<void(const Entry &, const EntryCheck &)> &take) const;
    static constexpr std::uint64_t kExtraSumFactor = 2;

    // length bytes at offset, or nullptr when they do not lie in the file.
    [[nodiscard]] const std::uint8_t *bytes(std::uint32_t offset, std::uint32_t length) const {
        return rerazera_package_bytes(handle_, offset, length);
    }
    // Gives the pages of a range back to the system once it has been read,
    // so that a large sub-file does not stay counted against the tool.
    void release(std::uint32_t offset, std::uint32_t length) const {
        (void)rerazera_package_release(handle_, offset, length);
    }

  private:
    static Entry entry_of(const rerazera_entry &raw);
    EntryCheck describe(const Entry &e, const rerazera_entry_report &rep,
                        std::uint64_t &budget) const;

    std::string path_;
    std::string error_;
    int status_ = kExitOk;
    std::unique_ptr<StdinSpool> spool_;
    rerazera_package *handle_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t headerEntries_ = 0;
    std::uint64_t entries_ = 0;
    FileIdentity identity_;
    HeaderInfo header_;
    ExtensionInfo ext_;
};

// Trims the trailing newlines of a verdict for display.
std::string trim_newlines(std::string text);

// A big-endian word of a record image (a bin file's header, a stored table).
std::uint32_t be32_at(const std::uint8_t *p);

}  // namespace rztool
