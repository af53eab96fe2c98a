// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/scratch.hpp"

namespace rztest {

void keep_json(const std::string &text) {
    const std::size_t start = text.find_first_not_of(" \n");
    if (start == std::string::npos || text[start] != '{') {
        return;
    }
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test == nullptr ? "outside-a-test"
                                       : std::string(test->test_suite_name()) + "." + test->name();
    for (char &c : name) {
        c = c == '/' ? '_' : c;  // parameterized names
    }
    static unsigned kept = 0;  // one test at a time per process
    const std::filesystem::path dir = RERAZERA_JSON_DIR;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / (name + "-" + std::to_string(++kept) + ".json"), std::ios::binary) << text;
}

void keep_manifests(const std::string &dir) {
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->path().filename() == "manifest.json" && it->is_regular_file()) {
            std::ifstream in(it->path(), std::ios::binary);
            keep_json(std::string(std::istreambuf_iterator<char>(in), {}));
        }
    }
}

}  // namespace rztest
