// rerazera extract PKG (--id ID | --name NAME | --all) -o OUT [--strip] [--force]
//
// One sub-file by ID (header table, then extension) or by the name in its
// bin header, or every sub-file into a directory under the names of their
// bin headers. Names come from the package and are not trusted: one that
// would leave the output directory, or is empty, is rewritten and the user
// told so, and an existing file is replaced only with --force.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "output.hpp"
#include "package.hpp"
#include "rerazera.h"
#include "tool.hpp"

namespace rztool {
namespace {

struct ExtractOptions {
    std::string package;
    std::string id;
    std::string name;
    bool all = false;
    std::string out;
    bool strip = false;
    bool force = false;
    bool byName = false;
};

// Staged files are created 0600 and opened by the library with O_TRUNC,
// which keeps those bits; commit() gives them their final ones.
constexpr std::uint32_t kStageMode = 0600;

// A file name for a sub-file inside the output directory: one path
// component, never "." or "..", no control characters; `fallback` stands in
// for a name with nothing usable left. `why` is set when the package's name
// had to be changed.
std::string safe_name(const std::string &raw, const std::string &fallback, std::string &why) {
    why.clear();
    std::string name = raw;
    bool hadSlash = false;
    bool hadControl = false;
    for (char &c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/') {
            c = '_';
            hadSlash = true;
        } else if (u < 0x20 || u == 0x7f) {
            c = '_';
            hadControl = true;
        }
    }
    if (name.empty() || name == "." || name == "..") {
        why = raw.empty() ? "it is empty" : "'" + raw + "' names a directory";
        return fallback;
    }
    if (hadSlash) {
        why = "'" + raw + "' contains '/'";
    } else if (hadControl) {
        why = "the name contains control characters";
    }
    return name;
}

// A sub-file the library can copy: not empty, and below the 2 GiB that
// 32-bit file positions reach.
bool check_extractable(const ExtractOptions &opt, const QVFileDesc &d) {
    if (d.length == 0) {
        report_error(opt.package, "sub-file " + hex32(d.fileId) + " is empty (length 0)");
        return false;
    }
    if (d.offset > static_cast<std::uint32_t>(INT32_MAX)) {
        report_error(opt.package, "sub-file " + hex32(d.fileId) + " lies beyond 2 GiB");
        return false;
    }
    return true;
}

// Extracts into a staged file beside finalPath with `extract`, strips it
// when asked, and renames it into place.
bool stage_and_commit(const ExtractOptions &opt, const std::string &finalPath, bool replace,
                      const std::function<std::int32_t(const char *)> &extract) {
    if (!replace && path_exists(finalPath)) {
        report_error(finalPath, "already exists (use --force to replace it)");
        return false;
    }
    StagedFile staged(finalPath);
    if (!staged.ok()) {
        report_error(finalPath, staged.error());
        return false;
    }
    if (const std::int32_t r = extract(staged.temp_path().c_str()); r != QVPKG_OK) {
        report_error(opt.package, "cannot extract to " + finalPath + ": " + describe_code(r));
        return false;
    }
    if (opt.strip) {
        // The library reads the whole bin file before it truncates its
        // output, so the staged file can be stripped in place.
        const std::int32_t r =
            QVPKG_StripBinHeader(staged.temp_path().c_str(), staged.temp_path().c_str());
        if (r != QVPKG_OK) {
            report_error(finalPath, "cannot strip the bin header: " +
                                        (r == QVPKG_ERR_LENGTH
                                             ? std::string("its payload length exceeds the file")
                                             : describe_code(r)));
            return false;
        }
    }
    if (!staged.commit(replace)) {
        report_error(finalPath, staged.error());
        return false;
    }
    return true;
}

// Sub-file bytes to standard output, stripped when asked.
bool to_stdout(const ExtractOptions &opt, const QVFileDesc &d) {
    if (!check_extractable(opt, d)) {
        return false;
    }
    std::vector<std::uint8_t> buf(d.length);
    if (const std::int32_t r = QVPKG_ReadFileByOffset(
            opt.package.c_str(), static_cast<std::int32_t>(d.offset), buf.data(), d.length);
        r != QVPKG_OK) {
        report_error(opt.package, "cannot read sub-file " + hex32(d.fileId) + ": " +
                                      (r == QVPKG_ERR_IO ? std::string("it runs past the end")
                                                         : describe_code(r)));
        return false;
    }
    std::size_t from = 0;
    std::size_t len = buf.size();
    if (opt.strip) {
        if (d.length < BIN_HEADER_SIZE || QVPKG_CheckBinHeader(buf.data(), d.length) != QVPKG_OK) {
            report_error(opt.package,
                         "sub-file " + hex32(d.fileId) + ": the payload does not fit the sub-file");
            return false;
        }
        from = BIN_HEADER_SIZE;
        len = load_be32(buf.data() + 340);
    }
    if (!write_all(STDOUT_FILENO, buf.data() + from, len)) {
        report_error("standard output", std::strerror(errno));
        return false;
    }
    return true;
}

// The first entry, header table then extension, whose bin header name is
// `name`. The library's name lookup covers the header table; the extension
// is searched here so every sub-file a package lists can be named.
std::optional<QVFileDesc> find_by_name(const ExtractOptions &opt, std::int32_t &code) {
    QVFileDesc d{};
    code = QVPKG_GetQVFileInfoByName(opt.package.c_str(), &d, opt.name.c_str());
    if (code == QVPKG_OK) {
        return d;
    }
    if (code != QVPKG_ERR_NOT_FOUND) {
        return std::nullopt;
    }
    const HeaderInfo header = read_header(opt.package);
    const ExtensionInfo ext = read_extension(opt.package, header);
    for (const QVFileDesc &e : ext.entries) {
        const BinInfo bin = read_bin_header(opt.package, e.offset);
        if (bin.readable() && bin.name == opt.name) {
            code = QVPKG_OK;
            return e;
        }
    }
    return std::nullopt;
}

int extract_one(const ExtractOptions &opt) {
    QVFileDesc d{};
    std::int32_t code = QVPKG_OK;
    std::string what;
    if (!opt.byName) {
        const auto id = parse_u32(opt.id);
        if (!id) {
            report_error("--id", "'" + opt.id + "' is not a 32-bit number");
            return kExitUsage;
        }
        what = "ID " + hex32(*id);
        code = QVPKG_GetQVFileInfo(opt.package.c_str(), &d, static_cast<std::int32_t>(*id));
    } else {
        what = "name '" + opt.name + "'";
        if (const auto found = find_by_name(opt, code)) {
            d = *found;
        }
    }
    if (code != QVPKG_OK) {
        const bool absent =
            code == QVPKG_ERR || code == QVPKG_ERR_NO_EXTEND || code == QVPKG_ERR_NOT_FOUND;
        report_error(opt.package, absent ? "no sub-file with " + what
                                         : "cannot look up " + what + ": " + describe_code(code));
        return kExitFailure;
    }
    if (opt.out == "-") {
        return to_stdout(opt, d) ? kExitOk : kExitFailure;
    }
    if (!check_extractable(opt, d)) {
        return kExitFailure;
    }

    // An existing directory receives the sub-file under its bin header's
    // name: a name the user did not give, so it replaces nothing unasked.
    std::string finalPath = opt.out;
    bool replace = true;
    if (is_directory(opt.out)) {
        const BinInfo bin = read_bin_header(opt.package, d.offset);
        if (!bin.readable()) {
            report_error(opt.package, "cannot read the bin header of " + what);
            return kExitFailure;
        }
        std::string why;
        const std::string name = safe_name(bin.name, hex32(d.fileId), why);
        if (!why.empty()) {
            report_note(opt.package, "name of " + what + " not used as it is (" + why +
                                         "); writing '" + name + "'");
        }
        finalPath = opt.out + "/" + name;
        replace = opt.force;
    }
    const bool done = stage_and_commit(opt, finalPath, replace, [&](const char *temp) {
        if (!opt.byName) {
            return QVPKG_ExtractFileFromQVExt(opt.package.c_str(), temp,
                                              static_cast<std::int32_t>(d.fileId), kStageMode);
        }
        return QVPKG_ExtractSubFile(opt.package.c_str(), temp, static_cast<std::int32_t>(d.offset),
                                    d.length, kStageMode);
    });
    return done ? kExitOk : kExitFailure;
}

int extract_all(const ExtractOptions &opt) {
    const HeaderInfo header = read_header(opt.package);
    if (!header.valid()) {
        report_error(opt.package, header.readable() ? "the package header fails its check"
                                                    : "cannot read the package header (" +
                                                          describe_code(header.readCode) + ")");
        return kExitFailure;
    }
    const ExtensionInfo ext = read_extension(opt.package, header);
    bool ok = true;
    if (ext.state == ExtState::Invalid) {
        report_error(opt.package,
                     "extension unreadable, extracting the header table only: " + ext.message);
        ok = false;
    }
    std::error_code ec;
    std::filesystem::create_directories(opt.out, ec);
    if (!is_directory(opt.out)) {
        report_error(opt.out, ec ? ec.message() : "not a directory");
        return kExitFailure;
    }

    std::set<std::string> used;
    for (const Entry &e : all_entries(header, ext)) {
        if (is_dummy_entry(e, ext)) {
            continue;  // the extension's own table, not a sub-file
        }
        const std::string label = std::string(table_name(e.table)) + " entry " +
                                  std::to_string(e.index) + " (" + hex32(e.desc.fileId) + ")";
        if (e.desc.length == 0) {
            report_note(opt.package, label + " is empty; skipped");
            continue;
        }
        const BinInfo bin = read_bin_header(opt.package, e.desc.offset);
        if (!bin.readable()) {
            report_error(opt.package, label + ": bin header cannot be read");
            ok = false;
            continue;
        }
        std::string why;
        std::string name = safe_name(
            bin.name,
            hex32(e.desc.fileId) + "-" + table_name(e.table) + "-" + std::to_string(e.index), why);
        if (used.count(name) != 0) {
            const std::string base = name;
            for (unsigned k = 2; used.count(name) != 0; ++k) {
                name = base + "~" + std::to_string(k);
            }
            why = "another sub-file already has the name '" + base + "'";
        }
        if (!why.empty()) {
            report_note(opt.package, label + ": " + why + "; writing '" + name + "'");
        }
        used.insert(name);
        const std::string finalPath = opt.out + "/" + name;
        const bool done = stage_and_commit(opt, finalPath, opt.force, [&](const char *temp) {
            return QVPKG_ExtractSubFile(opt.package.c_str(), temp,
                                        static_cast<std::int32_t>(e.desc.offset), e.desc.length,
                                        kStageMode);
        });
        if (done) {
            std::cout << finalPath << '\n';
        }
        ok = ok && done;
    }
    return ok ? kExitOk : kExitFailure;
}

int run_extract(const ExtractOptions &opt) {
    if (!check_input_file(opt.package)) {
        return kExitFailure;
    }
    install_cleanup_handlers();
    if (opt.all) {
        if (opt.out == "-") {
            report_error("-o -", "standard output takes a single sub-file, not --all");
            return kExitUsage;
        }
        return extract_all(opt);
    }
    return extract_one(opt);
}

}  // namespace

void add_extract(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<ExtractOptions>();
    CLI::App *cmd = app.add_subcommand(
        "extract", "Extract one sub-file (by ID or name) or all of them, bin header included");
    cmd->add_option("package", opt->package, "Package file")->required();
    auto *id = cmd->add_option(
        "--id", opt->id, "File ID (decimal, 0x-hex or negative), header table then extension");
    auto *name = cmd->add_option("--name", opt->name, "Name in the sub-file's bin header");
    auto *all = cmd->add_flag("--all", opt->all,
                              "Every sub-file, into directory OUT under its bin header's name");
    id->excludes(name)->excludes(all);
    name->excludes(all);
    cmd->add_option("-o,--output", opt->out,
                    "Output file, directory (--all, or an existing one) or - for stdout")
        ->required();
    cmd->add_flag("--strip", opt->strip, "Write the bare payload, without the bin header");
    cmd->add_flag("--force", opt->force,
                  "Replace existing files whose names come from the package");
    cmd->footer(
        "Exactly one of --id, --name and --all. Files are written under a temporary name "
        "and renamed into place when complete.");
    cmd->callback([opt, &run, id, name] {
        if (id->count() == 0 && name->count() == 0 && !opt->all) {
            throw CLI::RequiredError("one of --id, --name or --all");
        }
        opt->byName = name->count() != 0;
        run = [opt] { return run_extract(*opt); };
    });
}

}  // namespace rztool
