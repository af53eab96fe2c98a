#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "rerazera.h"
#include "tool.hpp"

namespace rztool {

void report_error(const std::string &what, const std::string &reason) {
    std::cerr << "rerazera: " << what << ": " << reason << '\n';
}

void report_note(const std::string &what, const std::string &text) {
    std::cerr << "rerazera: " << what << ": note: " << text << '\n';
}

std::string describe_code(std::int32_t code) {
    switch (code) {
        case QVPKG_OK:
            return "success";
        case QVPKG_ERR:
            return "failed (checksum, absent sub-file or not an extension)";
        case QVPKG_ERR_EXT_TABLE:
            return "the second descriptor table cannot be read";
        case QVPKG_ERR_IO:
            return "cannot open, read or write the file";
        case QVPKG_ERR_NO_MEMORY:
            return "out of memory";
        case QVPKG_ERR_PATH:
            return "no such file or directory";
        case QVPKG_ERR_FILE_NUM:
            return "the header lists more than 256 entries";
        case QVPKG_ERR_LENGTH:
            return "a sub-file runs past the end of its container";
        case QVPKG_ERR_CRC:
            return "checksum mismatch";
        case QVPKG_ERR_NO_EXTEND:
            return "not found (the package has no extension)";
        case QVPKG_ERR_EXTEND:
            return "the extension is malformed";
        case QVPKG_ERR_NULL_ARG:
            return "missing argument";
        case QVPKG_ERR_HEADER:
            return "the package header is missing or invalid";
        case QVPKG_ERR_INVALID_ARG:
            return "invalid argument (empty sub-file or output path without a file name)";
        case QVPKG_ERR_NAME:
            return "the package path contains '@'";
        case QVPKG_ERR_NOT_FOUND:
            return "no sub-file matches";
        default:
            return "failed with code " + std::to_string(code);
    }
}

std::optional<std::uint32_t> parse_u32(const std::string &text) {
    if (text.empty()) {
        return std::nullopt;
    }
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    if (text[0] == '-') {
        const long long v = std::strtoll(begin, &end, 10);
        if (errno != 0 || *end != '\0' || end == begin || v < INT32_MIN) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
    }
    if (!(text[0] >= '0' && text[0] <= '9')) {
        return std::nullopt;
    }
    const unsigned long long v = std::strtoull(begin, &end, 0);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

std::string hex32(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08" PRIx32, value);
    return buf;
}

std::string input_problem(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return "is a directory";
    }
    if (::access(path.c_str(), R_OK) != 0) {
        return std::strerror(errno);
    }
    return {};
}

bool check_input_file(const std::string &path) {
    const std::string problem = input_problem(path);
    if (!problem.empty()) {
        report_error(path, problem);
    }
    return problem.empty();
}

unsigned default_jobs() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

}  // namespace rztool
