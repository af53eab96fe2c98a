// rerazera pack -o PKG [--product-type N] (FILE... | --manifest LIST)
//
// Builds a valid package from payload files with the project's package
// writer's layout: every bin header, payload, table and header checksum
// computed, and an extension when there are more than 256 sub-files.
// Payloads are streamed through a fixed buffer twice (checksums first, since
// the header that holds them comes first, then the copy), so memory does not
// grow with their size.
//
// Manifest: one sub-file per line, "ID NAME PATH [DESCRIPTION...]"; blank
// lines and lines starting with '#' are skipped; NAME and PATH may be written
// in double quotes to hold spaces; PATH is relative to the manifest's
// directory; the description is the rest of the line.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "output.hpp"
#include "package.hpp"
#include "rerazera.h"
#include "tool.hpp"
#include "writer/package_writer.hpp"

namespace rztool {
namespace {

using rerazera::writer::plan_layout;
using rerazera::writer::PlannedFile;
using rerazera::writer::StreamLayout;
using rerazera::writer::SubFile;

struct PackOptions {
    std::string out;
    std::string productType = "0";
    std::string manifest;
    std::string firstId = "1";
    std::vector<std::string> files;
};

struct Item {
    std::uint32_t id = 0;
    std::string name;
    std::string desc;
    std::string path;
    std::string origin;  // where it was given, for messages
};

constexpr std::size_t kNameMax = 95;  // the bin header's field less its terminator
constexpr std::size_t kDescMax = 127;
constexpr std::uint64_t kMaxSubFiles = QVPKG_MAX_FILE_NUM - 1 + EXT_MAX_FILE_NUM;
constexpr std::uint64_t kMaxPackage = 0x7FFFFFFFu;  // 32-bit signed file positions

std::string base_name(const std::string &path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Next whitespace-separated token, or a double-quoted one.
bool next_token(const std::string &line, std::size_t &pos, std::string &token) {
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) {
        return false;
    }
    if (line[pos] == '"') {
        const std::size_t end = line.find('"', pos + 1);
        if (end == std::string::npos) {
            throw std::invalid_argument("unterminated quote");
        }
        token = line.substr(pos + 1, end - pos - 1);
        pos = end + 1;
        return true;
    }
    const std::size_t end = line.find_first_of(" \t", pos);
    token = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? line.size() : end;
    return true;
}

bool read_manifest(const std::string &manifest, std::vector<Item> &items) {
    std::ifstream in(manifest);
    if (!in) {
        report_error(manifest, std::strerror(errno));
        return false;
    }
    const std::string dir = manifest.find('/') == std::string::npos
                                ? std::string()
                                : manifest.substr(0, manifest.find_last_of('/') + 1);
    std::string line;
    for (unsigned lineNo = 1; std::getline(in, line); ++lineNo) {
        const std::string where = manifest + ":" + std::to_string(lineNo);
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        Item item;
        item.origin = where;
        std::string id;
        std::size_t pos = 0;
        try {
            if (!next_token(line, pos, id) || !next_token(line, pos, item.name) ||
                !next_token(line, pos, item.path)) {
                report_error(where, "expected 'ID NAME PATH [DESCRIPTION]'");
                return false;
            }
        } catch (const std::invalid_argument &e) {
            report_error(where, e.what());
            return false;
        }
        const auto parsed = parse_u32(id);
        if (!parsed) {
            report_error(where, "'" + id + "' is not a 32-bit file ID (decimal or 0x-hex)");
            return false;
        }
        item.id = *parsed;
        const std::size_t descAt = line.find_first_not_of(" \t", pos);
        if (descAt != std::string::npos) {
            item.desc = line.substr(descAt);
            if (item.desc.size() >= 2 && item.desc.front() == '"' && item.desc.back() == '"') {
                item.desc = item.desc.substr(1, item.desc.size() - 2);
            }
        }
        if (!item.path.empty() && item.path[0] != '/') {
            item.path = dir + item.path;
        }
        items.push_back(std::move(item));
    }
    return true;
}

constexpr std::size_t kBuffer = 1u << 20;

// Streams a payload file through buf, feeding its bytes to `use`; false
// with a message when it cannot be read or its length is not `size`.
template <typename Use>
bool stream_payload(const std::string &path, std::uint32_t size, std::vector<std::uint8_t> &buf,
                    Use use) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        report_error(path, std::strerror(errno));
        return false;
    }
    std::uint64_t total = 0;
    bool ok = true;
    for (;;) {
        // Pieces are read whole, so every piece but the last is full.
        std::size_t got = 0;
        while (got < buf.size()) {
            const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                report_error(path, std::strerror(errno));
                ok = false;
                break;
            }
            if (n == 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (!ok || got == 0) {
            break;
        }
        total += got;
        if (total > size) {
            break;
        }
        if (!use(buf.data(), got)) {
            ok = false;
            break;
        }
        if (got < buf.size()) {
            break;
        }
    }
    ::close(fd);
    if (ok && total != size) {
        report_error(path,
                     "changed while it was packed (" + std::to_string(size) + " bytes expected)");
        ok = false;
    }
    return ok;
}

// Everything that would make the package invalid or ambiguous is refused
// here, before anything is read or written: readers find only the first
// of two equal IDs or names, and take a header entry 255 with the ID 0xABEF
// for the extension's dummy bin file.
bool check_items(const std::vector<Item> &items) {
    if (items.empty()) {
        report_error("pack", "no sub-files given");
        return false;
    }
    if (items.size() > kMaxSubFiles) {
        report_error("pack",
                     "a package holds at most " + std::to_string(kMaxSubFiles) + " sub-files");
        return false;
    }
    std::map<std::uint32_t, std::string> ids;
    std::map<std::string, std::string> names;
    for (const Item &it : items) {
        if (it.name.empty()) {
            report_error(it.origin, "the name is empty");
            return false;
        }
        if (it.name.size() > kNameMax) {
            report_error(it.origin, "name '" + it.name + "' is longer than 95 bytes");
            return false;
        }
        for (const char c : it.name) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '/' || u < 0x20 || u == 0x7f) {
                report_error(it.origin, "name '" + it.name +
                                            "' contains '/' or a control character, which no "
                                            "extraction could keep");
                return false;
            }
        }
        if (it.desc.size() > kDescMax) {
            report_error(it.origin, "description is longer than 127 bytes");
            return false;
        }
        if (it.id == DUMMY_DESC_FILE_ID) {
            report_error(it.origin, "file ID " + hex32(it.id) +
                                        " is reserved: it marks the extension's dummy bin file");
            return false;
        }
        if (const auto [where, inserted] = ids.emplace(it.id, it.origin); !inserted) {
            report_error(it.origin,
                         "file ID " + hex32(it.id) + " is already used by " + where->second);
            return false;
        }
        if (const auto [where, inserted] = names.emplace(it.name, it.origin); !inserted) {
            report_error(it.origin, "name '" + it.name + "' is already used by " + where->second);
            return false;
        }
    }
    return true;
}

int run_pack(const PackOptions &opt) {
    const auto productType = parse_u32(opt.productType);
    if (!productType || *productType > 0xFFFFu) {
        report_error("--product-type", "'" + opt.productType + "' is not a 16-bit number");
        return kExitUsage;
    }
    std::vector<Item> items;
    std::vector<FileIdentity> inputs;
    if (!opt.manifest.empty()) {
        FileIdentity id;
        if (!check_input_file(opt.manifest, nullptr, &id)) {
            return kExitTrouble;
        }
        inputs.push_back(id);
        if (!read_manifest(opt.manifest, items)) {
            return kExitTrouble;
        }
    } else {
        const auto firstId = parse_u32(opt.firstId);
        if (!firstId) {
            report_error("--first-id", "'" + opt.firstId + "' is not a 32-bit number");
            return kExitUsage;
        }
        if (std::uint64_t{*firstId} + opt.files.size() - 1 > UINT32_MAX) {
            report_error("--first-id", "IDs counting up from " + hex32(*firstId) + " for " +
                                           std::to_string(opt.files.size()) +
                                           " files would pass 0xffffffff and wrap around");
            return kExitUsage;
        }
        std::uint32_t id = *firstId;
        for (const std::string &path : opt.files) {
            items.push_back(Item{id++, base_name(path), "", path, path});
        }
    }
    if (!check_items(items)) {
        return kExitTrouble;
    }

    // First pass: sizes and payload checksums, through one fixed buffer.
    std::vector<PlannedFile> planned;
    planned.reserve(items.size());
    std::vector<std::uint8_t> buf(kBuffer);
    std::uint64_t total = QVPKG_HEADER_SIZE;
    for (const Item &it : items) {
        std::uint64_t size = 0;
        FileIdentity id;
        if (!check_input_file(it.path, &size, &id)) {
            return kExitTrouble;
        }
        inputs.push_back(id);
        total += BIN_HEADER_SIZE + size;
        if (total > kMaxPackage) {
            report_error(it.path,
                         "the package would exceed 2 GiB, the limit of the 32-bit "
                         "signed file positions that readers use");
            return kExitTrouble;
        }
        Crc16Stream crc;
        if (!stream_payload(it.path, static_cast<std::uint32_t>(size), buf,
                            [&crc](std::uint8_t *p, std::size_t n) {
                                crc.update(p, n);
                                return true;
                            })) {
            return kExitTrouble;
        }
        planned.push_back(PlannedFile{it.id, it.name, it.desc, static_cast<std::uint32_t>(size),
                                      crc.value(), 0, 0});
    }
    const StreamLayout layout = plan_layout(planned, static_cast<std::uint16_t>(*productType));
    if (layout.total > kMaxPackage) {
        report_error(opt.out,
                     "the package would exceed 2 GiB, the limit of the 32-bit signed "
                     "file positions that readers use");
        return kExitTrouble;
    }

    // Second pass: header, then each sub-file streamed again; a payload that
    // changed since the first pass fails the package.
    install_cleanup_handlers();
    OutputFile out(opt.out, inputs, true);
    if (!out.ok()) {
        report_error(out.name(), out.error());
        return kExitTrouble;
    }
    const auto put = [&out](const std::uint8_t *p, std::size_t n) {
        if (!out.write(p, n)) {
            report_error(out.name(), out.error());
            return false;
        }
        return true;
    };
    if (!put(layout.header.data(), layout.header.size())) {
        return kExitTrouble;
    }
    for (std::size_t i = 0; i < planned.size(); ++i) {
        if (i == layout.extensionBefore && !put(layout.extension.data(), layout.extension.size())) {
            return kExitTrouble;
        }
        const PlannedFile &f = planned[i];
        const auto binHeader = rerazera::writer::make_bin_header(
            SubFile{f.fileId, f.name, f.desc, {}, 0, 0}, f.size, f.fileId);
        if (!put(binHeader.data(), binHeader.size())) {
            return kExitTrouble;
        }
        Crc16Stream crc;
        // The checksum is taken before the piece is written (update restores
        // the bytes it touches).
        if (!stream_payload(items[i].path, f.size, buf, [&](std::uint8_t *p, std::size_t n) {
                crc.update(p, n);
                return put(p, n);
            })) {
            return kExitTrouble;
        }
        if (crc.value() != f.crc) {
            report_error(items[i].path, "changed while it was packed");
            return kExitTrouble;
        }
    }
    if (!out.commit()) {
        report_error(out.name(), out.error());
        return kExitTrouble;
    }
    return kExitOk;
}

}  // namespace

void add_pack(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<PackOptions>();
    CLI::App *cmd = app.add_subcommand("pack", "Build a valid package from payload files");
    cmd->add_option("-o,--output", opt->out, "Package to write, or - for stdout")->required();
    cmd->add_option("--product-type", opt->productType, "16-bit product type code (default 0)");
    auto *manifest = cmd->add_option("--manifest", opt->manifest,
                                     "File listing 'ID NAME PATH [DESCRIPTION]' per line");
    auto *firstId = cmd->add_option("--first-id", opt->firstId,
                                    "ID of the first FILE; the next ones count up (default 1)");
    auto *files = cmd->add_option("files", opt->files,
                                  "Payload files, named after their base names, no description");
    manifest->excludes(files)->excludes(firstId);
    cmd->footer(
        "Up to 256 sub-files go to the header table; more put the first 255 there and "
        "the rest behind an extension. IDs and names must be unique, 0xABEF is reserved, "
        "and the package must stay below 2 GiB; pack exits 2 when its inputs break a rule.");
    cmd->callback([opt, &run, manifest, files] {
        if (manifest->count() == 0 && files->count() == 0) {
            throw CLI::RequiredError("FILE... or --manifest");
        }
        run = [opt] { return run_pack(*opt); };
    });
}

}  // namespace rztool
