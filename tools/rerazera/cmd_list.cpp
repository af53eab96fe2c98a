// rerazera list PKG: every entry of the header table and of the extension,
// with the name and description of its bin header. An entry whose bin header
// cannot be read is reported on its own row; the listing goes on.
#include <cstdio>
#include <iostream>
#include <memory>

#include "json_out.hpp"
#include "package.hpp"
#include "rerazera.h"
#include "tool.hpp"

namespace rztool {
namespace {

struct ListOptions {
    std::string package;
    bool json = false;
};

// Names and descriptions come from the package: show control bytes escaped.
std::string printable(const std::string &text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

// A stored checksum is a 16-bit CRC in a 32-bit word; show the whole word
// only when its upper half is set, since such a word never matches.
std::string crc_text(std::uint32_t crc) {
    if (crc > 0xFFFFu) {
        return hex32(crc);
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04x", crc);
    return buf;
}

std::string unreadable_reason(const QVFileDesc &d, const BinInfo &bin) {
    if (d.offset > static_cast<std::uint32_t>(INT32_MAX)) {
        return "bin header at or beyond 2 GiB";
    }
    return "bin header cannot be read (" + describe_code(bin.readCode) + ")";
}

int run_list(const ListOptions &opt) {
    if (!check_input_file(opt.package)) {
        return kExitFailure;
    }
    const HeaderInfo header = read_header(opt.package);
    if (!header.readable()) {
        report_error(opt.package,
                     "cannot read the package header (" + describe_code(header.readCode) + ")");
        return kExitFailure;
    }
    if (!header.valid()) {
        report_error(opt.package, header.checkCode == QVPKG_ERR_FILE_NUM
                                      ? "the header lists " + std::to_string(header.fileNum) +
                                            " entries, more than 256; listing the first 256"
                                      : "the header checksum does not match; listing it anyway");
    }
    const ExtensionInfo ext = read_extension(opt.package, header);
    if (ext.state == ExtState::Invalid) {
        report_error(opt.package, "extension unreadable: " + ext.message);
    }

    ojson rows = ojson::array();
    if (!opt.json) {
        std::printf("%-9s %7s  %-10s  %10s  %10s  %-10s  %-24s  %s\n", "TABLE", "INDEX", "FILE ID",
                    "OFFSET", "LENGTH", "CRC", "NAME", "DESCRIPTION");
    }
    for (const Entry &e : all_entries(header, ext)) {
        const BinInfo bin = read_bin_header(opt.package, e.desc.offset);
        std::string name = bin.readable() ? bin.name : "-";
        std::string desc = bin.readable() ? bin.desc : unreadable_reason(e.desc, bin);
        if (bin.readable() && is_dummy_entry(e, ext)) {
            desc = "(extension table: " + std::to_string(ext.count) + " extend subfiles)";
        }
        if (opt.json) {
            ojson row;
            row["table"] = table_name(e.table);
            row["index"] = e.index;
            row["file_id"] = e.desc.fileId;
            row["file_id_hex"] = hex32(e.desc.fileId);
            row["offset"] = e.desc.offset;
            row["length"] = e.desc.length;
            row["crc"] = e.desc.crc;
            row["aux0"] = e.desc.aux0;
            row["aux1"] = e.desc.aux1;
            row["readable"] = bin.readable();
            row["name"] = bin.readable() ? ojson(bin.name) : ojson(nullptr);
            row["desc"] = bin.readable() ? ojson(bin.desc) : ojson(nullptr);
            row["data_len"] = bin.readable() ? ojson(bin.dataLen) : ojson(nullptr);
            row["dummy"] = is_dummy_entry(e, ext);
            row["error"] = bin.readable() ? ojson(nullptr) : ojson(unreadable_reason(e.desc, bin));
            rows.push_back(std::move(row));
        } else {
            std::printf("%-9s %7u  %-10s  %10u  %10u  %-10s  %-24s  %s\n", table_name(e.table),
                        e.index, hex32(e.desc.fileId).c_str(), e.desc.offset, e.desc.length,
                        crc_text(e.desc.crc).c_str(), printable(name).c_str(),
                        printable(desc).c_str());
        }
    }
    if (opt.json) {
        ojson doc;
        doc["schema"] = 1;
        doc["file"] = opt.package;
        doc["header"] = header_json(header);
        doc["extension"] = extension_json(ext);
        doc["entries"] = std::move(rows);
        print_json(doc);
    }
    std::fflush(stdout);
    return header.valid() ? kExitOk : kExitFailure;
}

}  // namespace

void add_list(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<ListOptions>();
    CLI::App *cmd = app.add_subcommand(
        "list", "List every entry of the header table and of the extension with its bin header");
    cmd->add_option("package", opt->package, "Package file")->required();
    cmd->add_flag("--json", opt->json, "Print a JSON object (schema in rerazera(1))");
    cmd->footer(
        "Exits 1 when the package cannot be read or its header fails its check (the "
        "table is still listed when it can be read).");
    cmd->callback([opt, &run] { run = [opt] { return run_list(*opt); }; });
}

}  // namespace rztool
