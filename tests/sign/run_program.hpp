// Running minisign and the tool from the signature tests.
#pragma once

#include <string>
#include <vector>

namespace rztest {

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with argv in directory dir, stdin fed from input,
// stdout and stderr captured; env entries ("NAME=value") are added to the
// environment.
RunResult run_program(const std::vector<std::string> &argv, const std::string &dir,
                      const std::string &input = "", const std::vector<std::string> &env = {});

std::string read_text(const std::string &path);
void write_text(const std::string &path, const std::string &text);

}  // namespace rztest
