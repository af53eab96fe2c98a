// SPDX-License-Identifier: MIT
#include "outdir.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace rztool {

// A file name for a sub-file inside the output directory: one path
// component, never "." or "..", no control characters; `fallback` stands in
// for a name with nothing usable left. `why` is set when the package's name
// had to be changed.
std::string safe_name(const std::string &raw, const std::string &fallback, std::string &why) {
    why.clear();
    // What escape() would escape (controls, bytes that are not UTF-8,
    // format characters that hide or reorder text) becomes '_' as well, so
    // a listing of the directory shows every name as it is.
    std::string name;
    bool hadSlash = false;
    bool hadControl = false;
    for (std::size_t i = 0; i < raw.size();) {
        bool safe = false;
        const std::size_t n = shown_char(raw, i, safe);
        if (raw[i] == '/') {
            hadSlash = true;
            name += '_';
        } else if (!safe) {
            hadControl = true;
            name += '_';
        } else {
            name.append(raw, i, n);
        }
        i += n;
    }
    if (name.empty() || name == "." || name == "..") {
        why = raw.empty() ? "is empty" : "'" + raw + "' names a directory";
        return fallback;
    }
    if (hadSlash) {
        why = "'" + raw + "' contains '/'";
    } else if (hadControl) {
        why = "'" + raw + "' contains control characters or bytes that are not UTF-8";
    }
    return name;
}

// dir + "/" + name, without doubling a slash the user wrote.
std::string join_path(const std::string &dir, const std::string &name) {
    std::string out = dir;
    while (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return out == "/" ? out + name : out + "/" + name;
}

std::string entry_file_name(NameSet &used, const Entry &e, const std::string &binName,
                            const std::string &package) {
    std::string why;
    std::string name = safe_name(
        binName, hex32(e.desc.fileId) + "-" + table_name(e.table) + "-" + std::to_string(e.index),
        why);
    if (std::string claimed = used.claim(name); claimed != name) {
        why = "'" + name + "' is taken by an earlier sub-file";
        name = std::move(claimed);
    }
    if (!why.empty()) {
        report_note(package, entry_label(e) + ": its name " + why + "; writing '" + name + "'");
    }
    return name;
}

bool make_output_dir(const std::string &dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir)) {
        report_error(dir, ec ? ec.message() : "not a directory");
        return false;
    }
    return true;
}

bool write_range(const PackageView &pkg, std::uint32_t offset, std::uint32_t length,
                 OutputFile &out, Progress *progress) {
    constexpr std::uint32_t kPiece = 1u << 20;
    while (length > 0) {
        const std::uint32_t n = length < kPiece ? length : kPiece;
        if (!out.write(pkg.bytes(offset, n), n)) {
            // The kernel refuses to copy from pages of a mapping that the
            // file no longer covers.
            if (out.error() == std::strerror(EFAULT)) {
                report_error(pkg.path(), "the file changed (it shrank) while it was read");
                return false;
            }
            report_error(out.name(), out.error());
            return false;
        }
        pkg.release(offset, n);
        offset += n;
        length -= n;
        if (progress != nullptr) {
            progress->add(n);
        }
    }
    if (!out.commit()) {
        report_error(out.name(), out.error());
        return false;
    }
    return true;
}

}  // namespace rztool
