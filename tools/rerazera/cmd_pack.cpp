// rerazera pack -o PKG [--product-type N] (FILE... | --manifest LIST)
//
// Builds a valid package from payload files with the project's package
// writer: every bin header, payload, table and header checksum computed, and
// an extension when there are more than 256 sub-files.
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
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "output.hpp"
#include "rerazera.h"
#include "tool.hpp"
#include "writer/package_writer.hpp"

namespace rztool {
namespace {

using rerazera::writer::PackageBuilder;
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
            report_error(where, "'" + id + "' is not a 32-bit file ID");
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

bool read_payload(const std::string &path, std::vector<std::uint8_t> &out) {
    const std::string problem = input_problem(path);
    if (!problem.empty()) {
        report_error(path, problem);
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        report_error(path, "read error");
        return false;
    }
    return true;
}

// Names and descriptions must fit their fields; IDs must be unique, since a
// lookup by ID only ever finds the first.
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
    std::map<std::uint32_t, std::string> seen;
    for (const Item &it : items) {
        if (it.name.size() > kNameMax) {
            report_error(it.origin, "name '" + it.name + "' is longer than 95 bytes");
            return false;
        }
        if (it.desc.size() > kDescMax) {
            report_error(it.origin, "description is longer than 127 bytes");
            return false;
        }
        if (const auto [where, inserted] = seen.emplace(it.id, it.origin); !inserted) {
            report_error(it.origin,
                         "file ID " + hex32(it.id) + " is already used by " + where->second);
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
    if (!opt.manifest.empty()) {
        if (!read_manifest(opt.manifest, items)) {
            return kExitFailure;
        }
    } else {
        const auto firstId = parse_u32(opt.firstId);
        if (!firstId) {
            report_error("--first-id", "'" + opt.firstId + "' is not a 32-bit number");
            return kExitUsage;
        }
        std::uint32_t id = *firstId;
        for (const std::string &path : opt.files) {
            items.push_back(Item{id++, base_name(path), "", path, path});
        }
    }
    if (!check_items(items)) {
        return kExitFailure;
    }

    std::vector<SubFile> files;
    files.reserve(items.size());
    std::uint64_t total = QVPKG_HEADER_SIZE;
    for (Item &it : items) {
        SubFile f;
        f.fileId = it.id;
        f.name = std::move(it.name);
        f.desc = std::move(it.desc);
        if (!read_payload(it.path, f.payload)) {
            return kExitFailure;
        }
        total += BIN_HEADER_SIZE + f.payload.size();
        if (total > kMaxPackage) {
            report_error(opt.out, "the package would exceed 2 GiB, beyond what readers address");
            return kExitFailure;
        }
        files.push_back(std::move(f));
    }
    const rerazera::writer::Package pkg =
        PackageBuilder::from_files(std::move(files), static_cast<std::uint16_t>(*productType))
            .build();
    if (pkg.bytes.size() > kMaxPackage) {
        report_error(opt.out, "the package would exceed 2 GiB, beyond what readers address");
        return kExitFailure;
    }

    if (opt.out == "-") {
        if (!write_all(STDOUT_FILENO, pkg.bytes.data(), pkg.bytes.size())) {
            report_error("standard output", std::strerror(errno));
            return kExitFailure;
        }
        return kExitOk;
    }
    install_cleanup_handlers();
    StagedFile staged(opt.out);
    if (!staged.ok()) {
        report_error(opt.out, staged.error());
        return kExitFailure;
    }
    const int fd = ::open(staged.temp_path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const bool written = fd >= 0 && write_all(fd, pkg.bytes.data(), pkg.bytes.size());
    const int err = errno;
    if (fd >= 0 && ::close(fd) != 0 && written) {
        report_error(opt.out, std::strerror(errno));
        return kExitFailure;
    }
    if (!written) {
        report_error(opt.out, std::strerror(err));
        return kExitFailure;
    }
    if (!staged.commit(true)) {
        report_error(opt.out, staged.error());
        return kExitFailure;
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
        "the rest behind an extension.");
    cmd->callback([opt, &run, manifest, files] {
        if (manifest->count() == 0 && files->count() == 0) {
            throw CLI::RequiredError("FILE... or --manifest");
        }
        run = [opt] { return run_pack(*opt); };
    });
}

}  // namespace rztool
