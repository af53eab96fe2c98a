// The per-sub-file report of verify: every sub-file of a mapped package,
// extend subfiles included, with its stored and computed checksums and its
// result, going on past the first failure. The library's own verdict stops
// at the first failing sub-file and does not walk the extension; the report
// shows everything, bounds-checking each range before it touches it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package.hpp"
#include "rerazera.h"

namespace rztool {

struct SubfileReport {
    Table table = Table::Header;
    std::uint32_t index = 0;
    QVFileDesc desc{};
    std::optional<std::uint32_t> dataLen;
    std::optional<std::uint32_t> headStored;
    std::optional<std::uint16_t> headComputed;
    std::optional<std::uint16_t> payloadComputed;
    // ok, empty, out-of-bounds, too-short, header-crc-mismatch,
    // payload-crc-mismatch or payload-overrun
    std::string result;
    std::string message;

    [[nodiscard]] bool failed() const { return result != "ok" && result != "empty"; }
};

struct PackageReport {
    std::string error;  // the package could not be mapped
    std::uint32_t size = 0;
    HeaderInfo header;  // entries unused; check result and checksums
    ExtensionInfo ext;  // entries unused; state, result, message, count
    std::vector<SubfileReport> subfiles;
    std::size_t failures = 0;  // failing sub-files and extension checks
};

PackageReport build_report(const std::string &path);

}  // namespace rztool
