// SPDX-License-Identifier: MIT
// Entries of a handle: by position, and the lookups over both tables.
#include <algorithm>
#include <cstring>

#include "base/c_boundary.hpp"
#include "format/layout.hpp"
#include "format/records.hpp"
#include "package/descriptor_fields.hpp"
#include "package/handle.hpp"
#include "reader/lookup.hpp"
#include "verify/subfile_check.hpp"

namespace rerazera::package {
namespace {

// A bin header text field: its bytes up to the first NUL or its width.
std::uint32_t copy_text(char *dst, const std::uint8_t *field, std::uint32_t width) noexcept {
    const void *nul = std::memchr(field, 0, width);
    const auto len =
        nul != nullptr ? static_cast<std::uint32_t>(static_cast<const std::uint8_t *>(nul) - field)
                       : width;
    std::memcpy(dst, field, len);
    dst[len] = '\0';
    return len;
}

const std::uint8_t *raw_desc(const rerazera_package &pkg, std::uint64_t k) noexcept {
    if (k < pkg.header_entries) {
        return HeaderView(pkg.data).raw_desc(static_cast<std::uint32_t>(k));
    }
    return pkg.ext_descs + (k - pkg.header_entries) * layout::desc::kSize;
}

// The served entries matching pred, in serving order; the dummy and empty
// entries never match.
template <class Pred>
int32_t find(const rerazera_package *pkg, rerazera_entry *out, Pred pred) noexcept {
    if (pkg == nullptr || out == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    for (std::uint64_t k = 0; k < pkg->info.entry_count; ++k) {
        const std::uint8_t *raw = raw_desc(*pkg, k);
        if (load_be32(raw + layout::desc::kLength) == 0 ||
            (pkg->dummy && k == layout::header::kExtEntryIndex)) {
            continue;
        }
        if (pred(raw)) {
            fill_entry(*pkg, k, *out);
            return RERAZERA_OK;
        }
    }
    return RERAZERA_ERR_NOT_FOUND;
}

// The bin header of the entry described at raw, when all of it lies in the
// snapshot.
const std::uint8_t *bin_header(const rerazera_package &pkg, const std::uint8_t *raw) noexcept {
    const std::uint32_t offset = load_be32(raw + layout::desc::kOffset);
    return lies_within(offset, layout::bin::kSize, pkg.size) ? pkg.data + offset : nullptr;
}

}  // namespace

void fill_entry(const rerazera_package &pkg, std::uint64_t k, rerazera_entry &out) noexcept {
    std::memset(&out, 0, sizeof out);
    const bool header = k < pkg.header_entries;
    out.table = header ? RERAZERA_TABLE_HEADER : RERAZERA_TABLE_EXTENSION;
    out.index = static_cast<std::uint32_t>(header ? k : k - pkg.header_entries);
    const std::uint8_t *raw = raw_desc(pkg, k);
    set_descriptor(out, decode_desc(raw));
    if (header && pkg.dummy && k == layout::header::kExtEntryIndex) {
        out.flags |= RERAZERA_ENTRY_DUMMY;
    }
    if (const std::uint8_t *bin = bin_header(pkg, raw); bin != nullptr) {
        const BinHeaderView view(bin);
        out.flags |= RERAZERA_ENTRY_BIN_HEADER;
        out.data_len = view.data_len();
        out.bin_file_id = view.file_id();
        out.name_len = copy_text(out.name, bin + layout::bin::kName, layout::bin::kNameSize);
        out.description_len =
            copy_text(out.description, bin + layout::bin::kDesc, layout::bin::kDescSize);
    }
}

bool repeats_previous(const rerazera_package &pkg, std::uint64_t k) noexcept {
    if (k == 0 || k == pkg.header_entries || k == layout::header::kExtEntryIndex) {
        return false;
    }
    // Descriptors lie back to back within one table: the previous one ends
    // where this one starts.
    const std::uint8_t *raw = raw_desc(pkg, k);
    static_assert(layout::desc::kSize == 24);
    std::uint64_t w[6];
    std::memcpy(w, raw - layout::desc::kSize, 2 * layout::desc::kSize);
    return ((w[0] ^ w[3]) | (w[1] ^ w[4]) | (w[2] ^ w[5])) == 0;
}

bool own_entry(const rerazera_package &pkg, const rerazera_entry &given,
               rerazera_entry &own) noexcept {
    std::uint64_t k = given.index;
    if (given.table == RERAZERA_TABLE_HEADER) {
        if (k >= pkg.header_entries) {
            return false;
        }
    } else if (given.table == RERAZERA_TABLE_EXTENSION) {
        k += pkg.header_entries;
        if (k >= pkg.info.entry_count) {
            return false;
        }
    } else {
        return false;
    }
    fill_entry(pkg, k, own);
    return own.file_id == given.file_id && own.offset == given.offset &&
           own.length == given.length && own.crc == given.crc;
}

}  // namespace rerazera::package

using namespace rerazera;
using namespace rerazera::package;

RERAZERA_EXPORT uint64_t rerazera_package_entry_count(const rerazera_package *pkg) {
    return pkg != nullptr ? pkg->info.entry_count : 0;
}

RERAZERA_EXPORT int32_t rerazera_package_entry(const rerazera_package *pkg, uint64_t k,
                                               rerazera_entry *out) {
    if (pkg == nullptr || out == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    if (k >= pkg->info.entry_count) {
        return RERAZERA_ERR_NOT_FOUND;
    }
    fill_entry(*pkg, k, *out);
    return RERAZERA_OK;
}

RERAZERA_EXPORT int32_t rerazera_package_descriptors(const rerazera_package *pkg, uint64_t first,
                                                     rerazera_descriptor *out, size_t count,
                                                     size_t *filled) {
    if (pkg == nullptr || filled == nullptr || (out == nullptr && count > 0)) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    *filled = 0;
    const std::uint64_t total = pkg->info.entry_count;
    if (first > total) {
        return RERAZERA_ERR_NOT_FOUND;
    }
    const std::uint64_t n = std::min<std::uint64_t>(count, total - first);
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t k = first + i;
        const bool header = k < pkg->header_entries;
        rerazera_descriptor &o = out[i];
        o.table = header ? RERAZERA_TABLE_HEADER : RERAZERA_TABLE_EXTENSION;
        o.index = static_cast<std::uint32_t>(header ? k : k - pkg->header_entries);
        set_descriptor(o, decode_desc(raw_desc(*pkg, k)));
        o.flags =
            header && pkg->dummy && k == layout::header::kExtEntryIndex ? RERAZERA_ENTRY_DUMMY : 0;
    }
    *filled = static_cast<std::size_t>(n);
    return RERAZERA_OK;
}

RERAZERA_EXPORT int32_t rerazera_package_find_id(const rerazera_package *pkg, uint32_t file_id,
                                                 rerazera_entry *out) {
    return find(pkg, out, [file_id](const std::uint8_t *raw) {
        return load_be32(raw + layout::desc::kFileId) == file_id;
    });
}

RERAZERA_EXPORT int32_t rerazera_package_find_name(const rerazera_package *pkg, const char *name,
                                                   rerazera_entry *out) {
    if (name == nullptr) {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    return find(pkg, out, [pkg, name](const std::uint8_t *raw) {
        const std::uint8_t *bin = bin_header(*pkg, raw);
        return bin != nullptr && name_matches(bin, name);
    });
}

RERAZERA_EXPORT int32_t rerazera_package_find_description(const rerazera_package *pkg,
                                                          const char *text, rerazera_entry *out) {
    if (text == nullptr || text[0] == '\0') {
        return RERAZERA_ERR_INVALID_ARGUMENT;
    }
    return find(pkg, out, [pkg, text](const std::uint8_t *raw) {
        const std::uint8_t *bin = bin_header(*pkg, raw);
        return bin != nullptr && desc_contains(bin, text);
    });
}
