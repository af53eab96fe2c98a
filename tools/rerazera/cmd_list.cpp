// SPDX-License-Identifier: MIT
// rerazera list PKG: every entry of the header table and of the extension,
// with the name and description of its bin header. An entry whose bin header
// cannot be read is reported on its own row; the listing goes on.
#include <charconv>
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
    std::string format = "text";  // or "tsv"
    bool noHeader = false;
};

std::string unreadable_reason(const PackageView &pkg, const QVFileDesc &d) {
    return "bin header past the end of the file (offset " + std::to_string(d.offset) + ", " +
           std::to_string(pkg.size()) + " bytes)";
}

// Text padded with spaces to width terminal columns, on the left or the right.
void pad(OutBuffer &out, std::string_view text, std::size_t width, bool left) {
    if (left) {
        out.put(text);
    }
    const std::size_t shown = display_width(text);
    if (shown < width) {
        out.spaces(width - shown);
    }
    if (!left) {
        out.put(text);
    }
}

std::string_view decimal(std::uint32_t v, char (&buf)[16]) {
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return {buf, static_cast<std::size_t>(r.ptr - buf)};
}

std::string_view hex_id(std::uint32_t v, char (&buf)[16]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    buf[0] = '0';
    buf[1] = 'x';
    for (int i = 0; i < 8; ++i) {
        buf[2 + i] = kDigits[(v >> (28 - 4 * i)) & 0xFu];
    }
    return {buf, 10};
}

// The last column: the description, what the dummy holds, or why the bin
// header cannot be read.
void put_description(OutBuffer &out, const PackageView &pkg, const Entry &e, const BinInfo &bin) {
    if (!bin.readable) {
        out.put(unreadable_reason(pkg, e.desc));
    } else if (pkg.is_dummy(e)) {
        out.put("(extension table: " + std::to_string(pkg.ext().count) + " extend subfiles)");
    } else {
        out.put_escaped(bin.desc);
    }
}

// One row, laid out as the heading printed by run_list.
void print_row(OutBuffer &out, const PackageView &pkg, const Entry &e, const BinInfo &bin) {
    char num[16];
    pad(out, table_name(e.table), 9, true);
    out.put(' ');
    pad(out, decimal(e.index, num), 7, false);
    out.put("  ");
    out.put(hex_id(e.desc.fileId, num));
    out.put("  ");
    pad(out, decimal(e.desc.offset, num), 10, false);
    out.put("  ");
    pad(out, decimal(e.desc.length, num), 10, false);
    out.put("  ");
    out.put(hex_id(e.desc.crc, num));
    out.put("  ");
    if (bin.readable) {
        const std::string name = escape(bin.name);
        pad(out, name, 24, true);
    } else {
        pad(out, "-", 24, true);
    }
    out.put("  ");
    put_description(out, pkg, e, bin);
    out.put('\n');
}

// One row of tab-separated fields for scripts: no padding, every field
// escaped (a tab or a line break in a name cannot split it), "-" for a name
// that cannot be read, whose reason then stands in the last field.
void print_tsv_row(OutBuffer &out, const PackageView &pkg, const Entry &e, const BinInfo &bin) {
    char num[16];
    out.put(table_name(e.table));
    out.put('\t');
    out.put(decimal(e.index, num));
    out.put('\t');
    out.put(hex_id(e.desc.fileId, num));
    out.put('\t');
    out.put(decimal(e.desc.offset, num));
    out.put('\t');
    out.put(decimal(e.desc.length, num));
    out.put('\t');
    out.put(hex_id(e.desc.crc, num));
    out.put('\t');
    out.put(bin.readable ? escape(bin.name) : std::string("-"));
    out.put('\t');
    put_description(out, pkg, e, bin);
    out.put('\n');
}

void json_row(JsonStream &out, const PackageView &pkg, const Entry &e, const BinInfo &bin) {
    out.begin_object();
    out.key("table").value(table_name(e.table));
    out.key("index").value(e.index);
    out.key("file_id").value(e.desc.fileId);
    out.key("offset").value(e.desc.offset);
    out.key("length").value(e.desc.length);
    out.key("crc").value(e.desc.crc);
    out.key("aux0").value(e.desc.aux0);
    out.key("aux1").value(e.desc.aux1);
    out.key("readable").value(bin.readable);
    if (bin.readable) {
        out.key("name").value(bin.name);
        out.key("description").value(bin.desc);
        out.key("data_len").value(bin.dataLen);
    } else {
        out.key("name").null();
        out.key("description").null();
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
    OutBuffer text(stdout);
    const bool tsv = opt.format == "tsv";
    if (opt.json) {
        out.begin_document(kListDocument);
        out.key("file").value(opt.package);
        out.key("header").value(header_json(header));
        out.key("extension").value(extension_json(ext));
        out.key("entries").begin_array();
    } else if (opt.noHeader) {
    } else if (tsv) {
        std::printf("TABLE\tINDEX\tFILE ID\tOFFSET\tLENGTH\tCRC\tNAME\tDESCRIPTION\n");
    } else {
        std::printf("%-9s %7s  %-10s  %10s  %10s  %-10s  %-24s  %s\n", "TABLE", "INDEX", "FILE ID",
                    "OFFSET", "LENGTH", "CRC", "NAME", "DESCRIPTION");
    }
    BinInfo bin;
    for (std::uint64_t k = 0; k < pkg.entry_count(); ++k) {
        const Entry e = pkg.entry(k, &bin);
        if (opt.json) {
            json_row(out, pkg, e, bin);
        } else if (tsv) {
            print_tsv_row(text, pkg, e, bin);
        } else {
            print_row(text, pkg, e, bin);
        }
    }
    if (opt.json) {
        out.end_array();
        out.end_object();
        out.finish();
    }
    text.flush();
    return header.valid() && ext.state != ExtState::Invalid ? kExitOk : kExitFailure;
}

}  // namespace

void add_list(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<ListOptions>();
    CLI::App *cmd = app.add_subcommand(
        "list", "List every entry of the header table and of the extension with its bin header");
    cmd->add_option("package", opt->package, "Package file")->required();
    cmd->add_flag("--json", opt->json, "Print a JSON object (schema in rerazera(1))");
    cmd->add_option("--format", opt->format,
                    "text (aligned columns, the default) or tsv (tab-separated, for scripts)")
        ->check(CLI::IsMember({"text", "tsv"}))
        ->excludes("--json");
    cmd->add_flag("--no-header", opt->noHeader, "Leave out the heading line")->excludes("--json");
    cmd->footer(
        "Exits 1 when the package is too short, its header fails its check (the table is "
        "still listed) or its extension is invalid, 2 when the file cannot be used.");
    cmd->callback([opt, &run] { run = [opt] { return run_list(*opt); }; });
}

}  // namespace rztool
