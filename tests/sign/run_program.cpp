#include "run_program.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

namespace rztest {

RunResult run_program(const std::vector<std::string> &argv, const std::string &dir,
                      const std::string &input) {
    // setsid: no controlling terminal, so that a password is never asked.
    std::string command = "cd '" + dir + "' && exec setsid -w";
    for (const std::string &a : argv) {
        EXPECT_EQ(a.find('\''), std::string::npos) << "cannot quote " << a;
        command += " '" + a + "'";
    }
    write_text(dir + "/.stdin", input);
    const int ws = std::system((command + " <.stdin >.stdout 2>.stderr").c_str());
    return {WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), read_text(dir + "/.stdout"),
            read_text(dir + "/.stderr")};
}

RunResult minisign(std::vector<std::string> args, const std::string &dir,
                   const std::string &input) {
    args.insert(args.begin(), RERAZERA_MINISIGN);
    return run_program(args, dir, input);
}

}  // namespace rztest
