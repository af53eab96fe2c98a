// SPDX-License-Identifier: MIT
// Feeds files to a fuzz target without libFuzzer, so the regression inputs
// and the seeds run in the ordinary test suite with any compiler.
//
// Usage: <program> FILE-OR-DIRECTORY...   (directories: every regular file,
// in name order). A missing directory counts as empty.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

void collect(const std::string &path, std::vector<std::string> &files) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return;
    }
    if (S_ISREG(st.st_mode)) {
        files.push_back(path);
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        return;
    }
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(path.c_str())) {
        while (const dirent *e = ::readdir(dir)) {
            if (e->d_name[0] != '.') {
                names.emplace_back(e->d_name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const auto &name : names) {
        collect(path + "/" + name, files);
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        collect(argv[i], files);
    }
    for (const auto &file : files) {
        std::vector<std::uint8_t> bytes;
        if (!rzfuzz::get_file(file, bytes)) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        std::fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
