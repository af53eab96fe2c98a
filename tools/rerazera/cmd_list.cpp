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

// A stored checksum is a 16-bit CRC in a 32-bit word; show the whole word
// only when its upper half is set, since such a word never matches.
const char *crc_text(std::uint32_t crc, char (&buf)[16]) {
    std::snprintf(buf, sizeof buf, crc > 0xFFFFu ? "0x%08x" : "0x%04x", crc);
    return buf;
}

std::string unreadable_reason(const PackageView &pkg, const QVFileDesc &d) {
    return "bin header past the end of the file (offset " + std::to_string(d.offset) + ", " +
           std::to_string(pkg.size()) + " bytes)";
}

void print_row(const PackageView &pkg, const Entry &e, const BinInfo &bin) {
    std::string desc;
    if (!bin.readable) {
        desc = unreadable_reason(pkg, e.desc);
    } else if (pkg.is_dummy(e)) {
        desc = "(extension table: " + std::to_string(pkg.ext().count) + " extend subfiles)";
    } else {
        desc = escape(bin.desc);
    }
    const std::string name = bin.readable ? escape(bin.name) : "-";
    char id[16];
    char crc[16];
    std::snprintf(id, sizeof id, "0x%08x", e.desc.fileId);
    std::printf("%-9s %7u  %-10s  %10u  %10u  %-10s  %-24s  %s\n", table_name(e.table), e.index, id,
                e.desc.offset, e.desc.length, crc_text(e.desc.crc, crc), name.c_str(),
                desc.c_str());
}

void json_row(JsonStream &out, const PackageView &pkg, const Entry &e, const BinInfo &bin) {
    out.begin_object();
    out.key("table").value(table_name(e.table));
    out.key("index").value(e.index);
    out.key("file_id").value(e.desc.fileId);
    out.key("file_id_hex").value(hex32(e.desc.fileId));
    out.key("offset").value(e.desc.offset);
    out.key("length").value(e.desc.length);
    out.key("crc").value(e.desc.crc);
    out.key("aux0").value(e.desc.aux0);
    out.key("aux1").value(e.desc.aux1);
    out.key("readable").value(bin.readable);
    if (bin.readable) {
        out.key("name").value(bin.name);
        out.key("desc").value(bin.desc);
        out.key("data_len").value(bin.dataLen);
    } else {
        out.key("name").null();
        out.key("desc").null();
        out.key("data_len").null();
    }
    out.key("dummy").value(pkg.is_dummy(e));
    if (bin.readable) {
        out.key("error").null();
    } else {
        out.key("error").value(unreadable_reason(pkg, e.desc));
    }
    out.end_object();
}

int run_list(const ListOptions &opt) {
    const PackageView pkg(opt.package);
    if (!pkg.ok()) {
        report_error(opt.package, pkg.error());
        return pkg.status();
    }
    const HeaderInfo &header = pkg.header();
    if (!header.valid()) {
        report_error(opt.package, header.checkCode == QVPKG_ERR_FILE_NUM
                                      ? "the header lists " + std::to_string(header.fileNum) +
                                            " entries, more than 256; listing the first 256"
                                      : "the header checksum does not match; listing it anyway");
    }
    const ExtensionInfo &ext = pkg.ext();
    if (ext.state == ExtState::Invalid) {
        report_error(opt.package,
                     "extension unreadable, listing the header table only: " + ext.message);
    }

    JsonStream out(stdout);
    if (opt.json) {
        out.begin_object();
        out.key("schema").value(1u);
        out.key("file").value(opt.package);
        out.key("header").value(header_json(header));
        out.key("extension").value(extension_json(ext));
        out.key("entries").begin_array();
    } else {
        std::printf("%-9s %7s  %-10s  %10s  %10s  %-10s  %-24s  %s\n", "TABLE", "INDEX", "FILE ID",
                    "OFFSET", "LENGTH", "CRC", "NAME", "DESCRIPTION");
    }
    for (std::uint64_t k = 0; k < pkg.entry_count(); ++k) {
        const Entry e = pkg.entry(k);
        const BinInfo bin = pkg.bin_header(e.desc.offset);
        if (opt.json) {
            json_row(out, pkg, e, bin);
        } else {
            print_row(pkg, e, bin);
        }
    }
    if (opt.json) {
        out.end_array();
        out.end_object();
        out.finish();
    }
    return header.valid() && ext.state != ExtState::Invalid ? kExitOk : kExitFailure;
}

}  // namespace

void add_list(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<ListOptions>();
    CLI::App *cmd = app.add_subcommand(
        "list", "List every entry of the header table and of the extension with its bin header");
    cmd->add_option("package", opt->package, "Package file")->required();
    cmd->add_flag("--json", opt->json, "Print a JSON object (schema in rerazera(1))");
    cmd->footer(
        "Exits 1 when the package is too short, its header fails its check (the table is "
        "still listed) or its extension is invalid, 2 when the file cannot be used.");
    cmd->callback([opt, &run] { run = [opt] { return run_list(*opt); }; });
}

}  // namespace rztool
