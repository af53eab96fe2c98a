// SPDX-License-Identifier: MIT
#include "run_program.hpp"

#include "support/scratch.hpp"

namespace rztest {

RunResult run_program(const std::vector<std::string> &argv, const std::string &dir,
                      const std::string &input) {
    // setsid: no controlling terminal, so that a password is never asked.
    std::vector<std::string> args = {"setsid", "-w"};
    args.insert(args.end(), argv.begin(), argv.end());
    write_text(dir + "/.stdin", input);
    const int status = run_in(args, dir, dir + "/.stdin", dir + "/.stdout", dir + "/.stderr");
    return {status, read_text(dir + "/.stdout"), read_text(dir + "/.stderr")};
}

RunResult minisign(std::vector<std::string> args, const std::string &dir,
                   const std::string &input) {
    args.insert(args.begin(), RERAZERA_MINISIGN);
    return run_program(args, dir, input);
}

}  // namespace rztest
