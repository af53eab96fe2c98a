// rerazera info PKG: size, product type, entry count, extension and header
// checksum state of one package.
#include <sys/stat.h>

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
    std::string field;
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
    if (!check_input_file(opt.package)) {
        return kExitFailure;
    }
    struct stat st {};
    ::stat(opt.package.c_str(), &st);
    const auto size = static_cast<std::uint64_t>(st.st_size);

    const HeaderInfo header = read_header(opt.package);
    if (!header.readable()) {
        report_error(opt.package, size < QVPKG_HEADER_SIZE
                                      ? "too short to be a package (" + std::to_string(size) +
                                            " bytes, a header has 6180)"
                                      : describe_code(header.readCode));
        return kExitFailure;
    }
    std::uint32_t productType = 0;
    if (const std::int32_t r = QVPKG_ExtractProductTypeFromQV(opt.package.c_str(), &productType);
        r != QVPKG_OK) {
        report_error(opt.package, describe_code(r));
        return kExitFailure;
    }
    const ExtensionInfo ext = read_extension(opt.package, header);
    const std::uint64_t subfiles =
        header.entries.size() - (ext.state != ExtState::None ? 1 : 0) + ext.entries.size();

    const std::map<std::string, std::string> values = {
        {"size", std::to_string(size)},
        {"product-type", std::to_string(productType)},
        {"entries", std::to_string(header.fileNum)},
        {"header", header.valid() ? "ok" : "bad"},
        {"header-crc", hex32(header.storedCrc)},
        {"extension", ext_state_name(ext.state)},
        {"extend-count", std::to_string(ext.count)},
        {"subfiles", std::to_string(subfiles)},
    };

    if (!opt.field.empty()) {
        std::cout << values.at(opt.field) << '\n';
    } else if (opt.json) {
        ojson j;
        j["schema"] = 1;
        j["file"] = opt.package;
        j["size"] = size;
        j["product_type"] = productType;
        j["entries"] = header.fileNum;
        j["subfiles"] = subfiles;
        j["header"] = header_json(header);
        j["extension"] = extension_json(ext);
        print_json(j);
    } else {
        char type[32];
        std::snprintf(type, sizeof type, "0x%04x (%u)", productType, productType);
        std::cout << "file:            " << opt.package << '\n'
                  << "size:            " << size << " bytes\n"
                  << "product type:    " << type << '\n'
                  << "entries:         " << header.fileNum << '\n';
        std::cout << "header checksum: ";
        if (header.valid()) {
            std::cout << "ok (" << hex32(header.storedCrc) << ")\n";
        } else if (header.checkCode == QVPKG_ERR_FILE_NUM) {
            std::cout << "bad: more than 256 entries\n";
        } else {
            std::cout << "bad: stored " << hex32(header.storedCrc) << ", computed "
                      << hex32(header.computedCrc) << '\n';
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
                std::cout << "invalid (" << ext.message << ")\n";
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
    cmd->add_option("--field", opt->field, "Print one value alone: " + field_names())
        ->check(CLI::IsMember(field_keys()))
        ->excludes("--json");
    cmd->footer(
        "Exits 1 when the package cannot be read, its header fails its check or its "
        "extension is invalid.");
    cmd->callback([opt, &run] { run = [opt] { return run_info(*opt); }; });
}

}  // namespace rztool
