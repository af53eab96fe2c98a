// SPDX-License-Identifier: MIT
#include "output_dirs.hpp"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <cstdio>
#include <cstring>

namespace rzbench {
namespace {

std::vector<OutputDir> &chosen() {
    static std::vector<OutputDir> dirs;
    return dirs;
}

std::vector<std::function<void()>> &hooks() {
    static std::vector<std::function<void()>> list;
    return list;
}

bool is_tmpfs(const std::string &path, bool &tmpfs) {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) {
        return false;
    }
    tmpfs = fs.f_type == TMPFS_MAGIC;
    return true;
}

std::vector<OutputDir> defaults() {
    std::vector<OutputDir> dirs;
    bool tmpfs = false;
    if (is_tmpfs("/dev/shm", tmpfs) && tmpfs) {
        dirs.push_back({"tmpfs", "/dev/shm"});
    }
    if (is_tmpfs("/var/tmp", tmpfs) && !tmpfs) {
        dirs.push_back({"disk", "/var/tmp"});
    }
    return dirs;
}

bool parse(const std::string &value, std::vector<OutputDir> &dirs) {
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(',', start);
        if (end == std::string::npos) {
            end = value.size();
        }
        const std::string item = value.substr(start, end - start);
        const std::size_t colon = item.find(':');
        if (colon == 0 || colon == std::string::npos || colon + 1 == item.size()) {
            return false;
        }
        dirs.push_back({item.substr(0, colon), item.substr(colon + 1)});
        start = end + 1;
    }
    return !dirs.empty();
}

}  // namespace

bool take_output_dirs_flag(int &argc, char **argv) {
    constexpr char kFlag[] = "--output_dirs=";
    int kept = 1;
    bool ok = true;
    bool given = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0) {
            given = true;
            chosen().clear();
            if (!parse(argv[i] + sizeof kFlag - 1, chosen())) {
                std::fprintf(stderr, "%s: expected LABEL:DIR[,LABEL:DIR...]\n", argv[i]);
                ok = false;
            }
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    if (!given) {
        chosen() = defaults();
    }
    return ok;
}

const std::vector<OutputDir> &output_dirs() {
    return chosen();
}

bool add_registration(std::function<void()> hook) {
    hooks().push_back(std::move(hook));
    return true;
}

void run_registrations() {
    for (const auto &hook : hooks()) {
        hook();
    }
}

}  // namespace rzbench
