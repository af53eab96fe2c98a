// SPDX-License-Identifier: MIT
// rerazera extract PKG ((--id ID | --name NAME)... | --all) (-o OUT | -C DIR)
//                 [--strip] [--force] [--no-check] [--allow-overlap]
//
// Sub-files by ID (header table, then extension) or by the name in their
// bin header, several in one call (each into directory DIR; a failure of
// one is reported and the others are still written), or every sub-file
// into a directory under the names of their bin headers. Names come from the package and are not
// trusted: one that would leave the output directory, or is empty, is rewritten and the user told
// so, and an existing file is replaced only with --force.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "outdir.hpp"
#include "output.hpp"
#include "package.hpp"
#include "progress.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

struct ExtractOptions {
    std::string package;
    std::vector<std::string> ids;
    std::vector<std::string> names;
    bool all = false;
    std::string out;
    std::string dir;  // -C: the output directory, made when missing
    bool strip = false;
    bool force = false;
    bool noCheck = false;
    bool allowOverlap = false;
};

// extract --all writes at most this many times the package's size unless
// told otherwise: entries may describe the same bytes any number of times,
// and a small package must not fill a disk.
constexpr std::uint64_t kOutputFactor = 4;

// What extract --all would write, and the first two entries found sharing
// bytes (empty when none do). Entries that are empty, the dummy, or whose
// bin header lies past the end write nothing.
struct Planned {
    std::uint64_t bytes = 0;
    std::string overlap;
};

Planned plan_all(const PackageView &pkg, bool strip) {
    struct Span {
        std::uint64_t start, end, k;
    };
    std::vector<Span> spans;
    Planned plan;
    for (std::uint64_t k = 0; k < pkg.entry_count(); ++k) {
        BinInfo bin;
        const Entry e = pkg.entry(k, &bin);
        if (pkg.is_dummy(e) || e.desc.length == 0 || !bin.readable) {
            continue;
        }
        plan.bytes += strip ? bin.dataLen : e.desc.length;
        spans.push_back({e.desc.offset, std::uint64_t{e.desc.offset} + e.desc.length, k});
    }
    std::sort(spans.begin(), spans.end(), [](const Span &a, const Span &b) {
        return a.start < b.start || (a.start == b.start && a.k < b.k);
    });
    const Span *furthest = nullptr;
    for (const Span &s : spans) {
        if (furthest != nullptr && s.start < furthest->end) {
            plan.overlap = entry_label(pkg.entry(s.k)) + " shares bytes with " +
                           entry_label(pkg.entry(furthest->k));
            break;
        }
        if (furthest == nullptr || s.end > furthest->end) {
            furthest = &s;
        }
    }
    return plan;
}

// One sub-file asked for: by ID when it has one, else by name.
struct Request {
    std::optional<std::uint32_t> id;
    std::string name;
};

struct Found {
    std::optional<Entry> entry;
    std::string error;  // why nothing was found
};

// The first entry, header table then extension, that `match` accepts.
// Unlike the library's lookups it goes on past an entry whose bin header
// cannot be read, and says so when nothing matched.
template <typename Match>
Found find_entry(const PackageView &pkg, const std::string &what, bool readsBinHeader,
                 Match match) {
    Found f;
    if (!pkg.header().valid()) {
        f.error = "the package header fails its check; no sub-file can be looked up";
        return f;
    }
    std::optional<Entry> unreadable;
    BinInfo bin;
    for (std::uint64_t k = 0; k < pkg.entry_count(); ++k) {
        const Entry e = pkg.entry(k, readsBinHeader ? &bin : nullptr);
        if (pkg.is_dummy(e)) {
            continue;  // the extension's own table, not a sub-file
        }
        if (readsBinHeader && !bin.readable) {
            if (!unreadable) {
                unreadable = e;
            }
            continue;
        }
        if (match(e, bin)) {
            f.entry = e;
            return f;
        }
    }
    f.error = "no sub-file with " + what;
    if (unreadable) {
        f.error += " among those that can be read; the bin header of " + entry_label(*unreadable) +
                   " lies past the end of the file";
    }
    if (pkg.ext().state == ExtState::Invalid) {
        f.error += "; the extension cannot be searched: " + pkg.ext().message;
    }
    return f;
}

// Everything that must hold before a byte is written: the range in the
// file, a non-empty sub-file, and unless --no-check its bin header and
// payload checksums. "" when it may be written.
std::string check_before_writing(const ExtractOptions &opt, const PackageView &pkg,
                                 const Entry &e) {
    if (e.desc.length == 0) {
        return "is empty (length 0)";
    }
    const EntryCheck c = pkg.check(e);
    if (c.result == "out-of-bounds") {
        return c.message;
    }
    if (!opt.noCheck && c.result != "ok") {
        return c.message + " (use --no-check to extract it anyway)";
    }
    if (opt.strip && !c.havePayload) {
        return "its bin header's payload length does not fit the sub-file; it cannot be stripped";
    }
    return {};
}

// One sub-file to opt.out, a file or a directory that exists, or into
// opt.dir (toDir).
int extract_one(const ExtractOptions &opt, const PackageView &pkg, const Request &req, bool toDir) {
    const std::optional<std::uint32_t> id = req.id;
    const Found found =
        id ? find_entry(pkg, "ID " + hex32(*id), false,
                        [&](const Entry &e, const BinInfo &) { return e.desc.fileId == *id; })
           : find_entry(pkg, "name '" + req.name + "'", true,
                        [&](const Entry &, const BinInfo &bin) { return bin.name == req.name; });
    if (!found.entry) {
        report_error(opt.package, found.error);
        return kExitFailure;
    }
    const Entry &e = *found.entry;
    const std::string label = "sub-file " + hex32(e.desc.fileId);
    if (const std::string why = check_before_writing(opt, pkg, e); !why.empty()) {
        report_error(opt.package, label + ": " + why);
        return kExitFailure;
    }

    // An existing directory receives the sub-file under its bin header's
    // name: a name the user did not give, so it replaces nothing unasked.
    std::string target = opt.out;
    bool replace = true;
    bool named = false;
    if (toDir || (opt.out != "-" && is_directory(opt.out))) {
        std::string why;
        const std::string name = safe_name(pkg.bin(e).name, hex32(e.desc.fileId), why);
        if (!why.empty()) {
            report_note(opt.package, label + ": its name " + why + "; writing '" + name + "'");
        }
        target = join_path(toDir ? opt.dir : opt.out, name);
        replace = opt.force;
        named = true;
    }
    OutputFile out(target, {pkg.identity()}, replace, named);
    if (!out.ok()) {
        report_error(out.name(), out.error());
        return kExitTrouble;
    }
    if (!write_entry(pkg, e, opt.strip, out)) {
        return kExitTrouble;
    }
    if (toDir && !quiet()) {
        std::printf("%s\n", escape(target).c_str());
    }
    return kExitOk;
}

// Every --id and --name, IDs first, each in the order given. With -C, or
// more than one, each is written under its bin header's name into the
// directory, made when missing.
int extract_some(const ExtractOptions &opt) {
    std::vector<Request> requests;
    for (const std::string &text : opt.ids) {
        const std::optional<std::uint32_t> id = parse_u32(text);
        if (!id) {
            report_error("--id", "'" + text + "' is not a 32-bit number (decimal or 0x-hex)");
            return kExitUsage;
        }
        requests.push_back(Request{id, {}});
    }
    for (const std::string &name : opt.names) {
        requests.push_back(Request{std::nullopt, name});
    }
    const bool toDir = !opt.dir.empty();
    if (requests.size() > 1 && !toDir) {
        report_error(opt.out == "-" ? "-o -" : "-o",
                     "takes a single sub-file; give a directory with -C DIR");
        return kExitUsage;
    }
    const PackageView pkg(opt.package);
    if (!pkg.ok()) {
        report_error(opt.package, pkg.error());
        return pkg.status();
    }
    if (toDir) {
        if (!make_output_dir(opt.dir)) {
            return kExitTrouble;
        }
    }
    int status = kExitOk;
    for (const Request &req : requests) {
        status = worse(status, extract_one(opt, pkg, req, toDir));
    }
    return status;
}

int extract_all(const ExtractOptions &opt) {
    const PackageView pkg(opt.package);
    if (!pkg.ok()) {
        report_error(opt.package, pkg.error());
        return pkg.status();
    }
    if (!pkg.header().valid()) {
        report_error(opt.package, "the package header fails its check; nothing extracted");
        return kExitFailure;
    }
    int status = kExitOk;
    if (pkg.ext().state == ExtState::Invalid) {
        report_error(opt.package, "extension unreadable, extracting the header table only: " +
                                      pkg.ext().message);
        status = kExitFailure;
    }
    const Planned plan = plan_all(pkg, opt.strip);
    const std::uint64_t limit = kOutputFactor * pkg.size();
    if (plan.bytes > limit && !opt.allowOverlap) {
        report_error(opt.package, "its sub-files would write " + std::to_string(plan.bytes) +
                                      " bytes, more than " + std::to_string(kOutputFactor) +
                                      " times the package's " + std::to_string(pkg.size()) +
                                      " bytes" + (plan.overlap.empty() ? "" : ": " + plan.overlap) +
                                      "; nothing extracted (--allow-overlap writes them all)");
        return kExitFailure;
    }
    if (!make_output_dir(opt.dir)) {
        return kExitTrouble;
    }

    NameSet used;
    Progress progress("extract " + opt.package, plan.bytes);
    for (std::uint64_t k = 0; k < pkg.entry_count(); ++k) {
        progress.clear();  // notes and file names go on lines of their own
        BinInfo bin;
        const Entry e = pkg.entry(k, &bin);
        if (pkg.is_dummy(e)) {
            continue;  // the extension's own table, not a sub-file
        }
        const std::string label = entry_label(e);
        if (e.desc.length == 0) {
            report_note(opt.package, label + " is empty; skipped");
            continue;
        }
        if (!bin.readable) {
            report_error(opt.package, label + ": its bin header lies past the end of the file");
            status = worse(status, kExitFailure);
            continue;
        }
        if (const std::string why = check_before_writing(opt, pkg, e); !why.empty()) {
            report_error(opt.package, label + ": " + why);
            status = worse(status, kExitFailure);
            continue;
        }
        const std::string name = entry_file_name(used, e, bin.name, opt.package);
        const std::string target = join_path(opt.dir, name);
        OutputFile out(target, {pkg.identity()}, opt.force, true);
        if (!out.ok()) {
            report_error(out.name(), out.error());
            status = worse(status, kExitTrouble);
            continue;
        }
        if (!write_entry(pkg, e, opt.strip, out, &progress)) {
            status = worse(status, kExitTrouble);
            continue;
        }
        if (!quiet()) {
            std::printf("%s\n", escape(target).c_str());
        }
    }
    return status;
}

int run_extract(ExtractOptions opt) {
    install_cleanup_handlers();
    if (opt.out == "-" && opt.all) {
        report_error("-o -", "standard output takes a single sub-file, not --all");
        return kExitUsage;
    }
    // Until 1.2, -o DIR still names the directory of --all or of several
    // sub-files.
    if (opt.out != "-" && !opt.out.empty() && (opt.all || opt.ids.size() + opt.names.size() > 1)) {
        report_note("-o",
                    "an output directory given with -o is deprecated (removed in 1.3); "
                    "use -C " +
                        opt.out);
        opt.dir = std::move(opt.out);
        opt.out.clear();
    }
    return opt.all ? extract_all(opt) : extract_some(opt);
}

}  // namespace

void add_extract(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<ExtractOptions>();
    CLI::App *cmd = app.add_subcommand(
        "extract",
        "Extract sub-files (by ID or name, several at once) or all of them, bin header included");
    cmd->add_option("package", opt->package, "Package file")->required();
    auto *id = cmd->add_option("--id", opt->ids,
                               "File ID (decimal, 0x-hex or negative), header table then "
                               "extension; repeatable")
                   ->allow_extra_args(false);
    auto *name =
        cmd->add_option("--name", opt->names, "Name in the sub-file's bin header; repeatable")
            ->allow_extra_args(false);
    auto *all = cmd->add_flag("--all", opt->all,
                              "Every sub-file, into directory DIR under its bin header's name");
    id->excludes(all);
    name->excludes(all);
    auto *out = cmd->add_option("-o,--output", opt->out,
                                "Output file of one sub-file (or an existing directory to put it "
                                "in), or - for stdout");
    auto *dir = cmd->add_option("-C,--directory", opt->dir,
                                "Directory to write into under the bin headers' names (created "
                                "if missing)");
    out->excludes(dir);
    cmd->add_flag("--strip", opt->strip, "Write the bare payload, without the bin header");
    cmd->add_flag("--force", opt->force,
                  "Replace existing files whose names come from the package");
    cmd->add_flag("--no-check", opt->noCheck,
                  "Write sub-files whose bin header or payload checksum fails");
    cmd->add_flag("--allow-overlap", opt->allowOverlap,
                  "With --all, write sub-files that share bytes even past 4 times the "
                  "package's size")
        ->needs(all);
    cmd->footer(
        "--all, or any number of --id and --name (more than one needs -C DIR; one that fails is "
        "reported and the others are still written). A package '-' "
        "is read from standard input. Each sub-file's bin header and payload "
        "checksums are checked first; one that fails is not written (exit 1). Regular files "
        "are written under a temporary name and renamed into place; devices and FIFOs are "
        "written in place; a symbolic link is followed. The package itself is never an "
        "output.");
    cmd->callback([opt, &run, id, name, out, dir] {
        if (id->count() == 0 && name->count() == 0 && !opt->all) {
            throw CLI::RequiredError("one of --id, --name or --all");
        }
        if (out->count() == 0 && dir->count() == 0) {
            throw CLI::RequiredError("-o FILE or -C DIR");
        }
        run = [opt] { return run_extract(*opt); };
    });
}

}  // namespace rztool
