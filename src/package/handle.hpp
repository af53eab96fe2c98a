// SPDX-License-Identifier: MIT
// The handle behind rerazera_package: one snapshot of a package's bytes and
// what was decoded from it when it was opened. Immutable once open, so any
// number of threads may read it at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/layout.hpp"
#include "reader/held_mapping.hpp"
#include "rerazera/package.h"
#include "verify/mapping.hpp"

namespace rerazera::package {

// Where the snapshot's bytes live, which decides how they are released and
// whether pages may be given back after reading (only file pages can be:
// dropping anonymous pages would lose their contents).
enum class Storage { Borrowed, Mapped, Heap };

// Decodes the header and the extension of the bytes already in pkg; logs
// through the handle's sink.
void decode(rerazera_package &pkg) noexcept;

// Whether the rpg file is listed, as the name rule looks it up: a valid
// header, then its table, then a valid extension's table. Asked only for a
// path holding '@', so that opening a package never scans its tables.
bool lists_rpg_file(const rerazera_package &pkg) noexcept;

// The entry served at position k (k < entry count), no checks.
void fill_entry(const rerazera_package &pkg, std::uint64_t k, rerazera_entry &out) noexcept;
// True when entry k (k > 0) is served exactly as entry k - 1 but for its
// index: the same table, neither of them the dummy's slot, and the same
// descriptor bytes, so the same bin header and the same checks.
bool repeats_previous(const rerazera_package &pkg, std::uint64_t k) noexcept;

// The handle's own copy of an entry a caller hands back (from an entry or a
// lookup of this handle): false when it names no entry of this handle or
// its descriptor differs.
bool own_entry(const rerazera_package &pkg, const rerazera_entry &given,
               rerazera_entry &own) noexcept;

// Gives the file pages wholly inside [p, p + n) back to the system once they
// have been read; nothing for memory that is not a file mapping, whose
// contents would be lost.
void release_pages(const rerazera_package &pkg, const std::uint8_t *p, std::size_t n) noexcept;

}  // namespace rerazera::package

struct rerazera_package {
    const std::uint8_t *data = nullptr;
    std::uint32_t size = 0;
    rerazera::package::Storage storage = rerazera::package::Storage::Borrowed;
    rerazera::Mapping mapping;  // Storage::Mapped
    void *heap = nullptr;       // Storage::Heap, from malloc
    char *path = nullptr;       // the path as given (open_path only), from malloc
    rerazera_log_fn log = nullptr;
    void *log_ctx = nullptr;

    rerazera_header_info info{};
    std::uint32_t header_entries = 0;         // min(file_num, 256)
    bool dummy = false;                       // header entry 255 opens an extension
    const std::uint8_t *ext_descs = nullptr;  // the second table's descriptors (valid only)
    char ext_message[rerazera::layout::kMsgBufLen] = {};  // why an invalid extension failed
    // The second table's CRC from opening: checks of the snapshot reuse it.
    rerazera::SummedRange table_sum;

    rerazera_package() noexcept = default;
    rerazera_package(const rerazera_package &) = delete;
    rerazera_package &operator=(const rerazera_package &) = delete;
    ~rerazera_package();

    [[nodiscard]] const rerazera::PageFeeder *feeder_or_null(
        const rerazera::PageFeeder &feeder) const noexcept {
        return storage == rerazera::package::Storage::Mapped ? &feeder : nullptr;
    }
};
