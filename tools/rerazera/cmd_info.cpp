// SPDX-License-Identifier: MIT
// rerazera info PKG: size, product type, entry count, extension and header
// checksum state of one package.
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "json_out.hpp"
#include "package.hpp"
#include "rerazera.h"
#include "tool.hpp"

namespace rztool {
namespace {

struct InfoOptions {
    std::string package;
    std::vector<std::string> fields;
    bool json = false;
};

// The values --field can print, as named in the manual.
const std::vector<std::string> &field_keys() {
    static const std::vector<std::string> keys = {
        "size",       "product-type", "entries",      "header",
        "header-crc", "extension",    "extend-count", "subfiles",
    };
    return keys;
}

std::string field_names() {
    std::string names;
    for (const auto &name : field_keys()) {
        names += (names.empty() ? "" : ", ") + name;
    }
    return names;
}

int run_info(const InfoOptions &opt) {
    const PackageView pkg(opt.package);
    if (!pkg.ok()) {
        report_error(opt.package, pkg.error());
        return pkg.status();
    }
    const HeaderInfo &header = pkg.header();
    const ExtensionInfo &ext = pkg.ext();
    const std::uint64_t subfiles = pkg.subfile_count();
    const std::uint32_t productType = header.productType;

    const std::map<std::string, std::string> values = {
        {"size", std::to_string(pkg.size())},        {"product-type", std::to_string(productType)},
        {"entries", std::to_string(header.fileNum)}, {"header", header.valid() ? "ok" : "bad"},
        {"header-crc", hex32(header.storedCrc)},     {"extension", ext_state_name(ext.state)},
        {"extend-count", std::to_string(ext.count)}, {"subfiles", std::to_string(subfiles)},
    };

    if (!opt.fields.empty()) {
        for (const std::string &field : opt.fields) {  // one a line, in the order asked
            std::cout << values.at(field) << '\n';
        }
    } else if (opt.json) {
        JsonStream out(stdout);
        out.begin_document(kInfoDocument);
        out.key("file").value(opt.package);
        out.key("size").value(pkg.size());
        out.key("subfiles").value(subfiles);
        out.key("header").value(header_json(header));
        out.key("extension").value(extension_json(ext));
        out.end_object();
        out.finish();
    } else {
        const std::string type = hex16(productType) + " (" + std::to_string(productType) + ")";
        std::cout << "file:            " << escape(opt.package) << '\n'
                  << "size:            " << pkg.size() << " bytes\n"
                  << "product type:    " << type << '\n'
                  << "entries:         " << header.fileNum;
        if (header.checkCode == QVPKG_ERR_FILE_NUM) {
            std::cout << " (more than 256: the header is refused)";
        }
        // The checksum line says only whether the checksum matches; a
        // header refused for its entry count says so above.
        std::cout << "\nheader checksum: ";
        if (header.crc_matches()) {
            std::cout << "ok (" << hex32(header.storedCrc) << ")\n";
        } else {
            std::cout << "bad: stored " << hex32(header.storedCrc) << ", computed "
                      << hex16(header.computedCrc) << '\n';
        }
        std::cout << "extension:       ";
        switch (ext.state) {
            case ExtState::None:
                std::cout << "none\n";
                break;
            case ExtState::Valid:
                std::cout << "yes, " << ext.count << " extend subfiles\n";
                break;
            case ExtState::Invalid:
                std::cout << "invalid (" << escape(ext.message) << ")\n";
                break;
        }
        std::cout << "sub-files:       " << subfiles << '\n';
    }
    return header.valid() && ext.state != ExtState::Invalid ? kExitOk : kExitFailure;
}

}  // namespace

void add_info(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<InfoOptions>();
    CLI::App *cmd = app.add_subcommand(
        "info", "Show a package's size, product type, entries, extension and header state");
    cmd->add_option("package", opt->package, "Package file")->required();
    cmd->add_flag("--json", opt->json, "Print a JSON object (schema in rerazera(1))");
    cmd->add_option(
           "--field", opt->fields,
           "Print a value alone, one a line in the order given (repeatable): " + field_names())
        ->check(CLI::IsMember(field_keys()))
        ->allow_extra_args(false)
        ->excludes("--json");
    cmd->footer(
        "Exits 1 when the package is too short, its header fails its check or its extension is "
        "invalid, 2 when the file cannot be used.");
    cmd->callback([opt, &run] { run = [opt] { return run_info(*opt); }; });
}

}  // namespace rztool
