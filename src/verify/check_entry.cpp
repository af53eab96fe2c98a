// SPDX-License-Identifier: MIT
// The one-call verification of a package by its path, and the package name
// rule it applies first.
#include <cstring>

#include "base/c_boundary.hpp"
#include "base/log.hpp"
#include "base/safe_memory.hpp"
#include "reader/lookup.hpp"
#include "verify/check_entry.hpp"
#include "verify/mapping.hpp"
#include "verify/walk.hpp"

namespace rerazera {
namespace {

constexpr char kNameHasAt[] = "Info: V5 packet name can't contain character '@'!\n";

// Only a package that does not carry the rpg file is bound by the rule; the
// lookup answers -1 for every other outcome (absent, unreadable, invalid),
// so a path that cannot be read at all is bound by it too.
std::int32_t check_filename(const char *path, char *msg, std::uint32_t msgSize,
                            HeldMapping *held = nullptr) noexcept {
    if (check_rpg(path, held) != QVPKG_ERR) {
        return QVPKG_OK;
    }
    // The whole path as given counts, directories included.
    if (path != nullptr && std::strchr(path, '@') != nullptr) {
        bounded_print(msg, msgSize, kNameHasAt);
        return QVPKG_ERR_NAME;
    }
    return QVPKG_OK;
}

// The package is mapped before the name rule runs, so that the rule's
// lookup, which may pass over the whole second table, takes it from the
// mapping and the walk reuses its checksum. Mapping logs nothing and the
// rule writes msg only when it refuses, so a failed mapping is reported
// after the rule passes with its own text, as if mapped in that order.
std::int32_t check_package_file(const char *path, char *msg, std::uint32_t msgSize) noexcept {
    Mapping mapping = map_package(path, msg, msgSize);
    HeldMapping held{mapping.data(), mapping.size(), {}};
    if (const std::int32_t r = check_filename(path, msg, msgSize, mapping ? &held : nullptr);
        r != QVPKG_OK) {
        log_info(kInvalidName, path);
        return r;
    }
    if (!mapping) {
        log_info(kMapFailed, path, msg);
        return QVPKG_ERR;
    }
    // The walk reads every sub-file once from start to end.
    advise_whole_read(mapping);
    const PageFeeder feeder(mapping);
    const std::int32_t r = check_package(mapping.data(), mapping.size(), msg, msgSize, &feeder,
                                         CrcMode::Auto, &held.table);
    if (r != QVPKG_OK) {
        log_info(kWalkFailed, path, msg);
    }
    (void)mapping.reset();  // released before the result is handed back; its result is moot
    return r;
}

}  // namespace
}  // namespace rerazera

RERAZERA_EXPORT int32_t QVPKG_CheckFilename(const char *path, char *msg, uint32_t msgSize) {
    return rerazera::check_filename(path, msg, msgSize);
}

RERAZERA_EXPORT int32_t QVPKG_ChkQVFileInfo(const char *path, char *msg, uint32_t msgSize) {
    return rerazera::check_package_file(path, msg, msgSize);
}
