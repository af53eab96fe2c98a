#include "run_program.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char **environ;

namespace rztest {

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

RunResult run_program(const std::vector<std::string> &argv, const std::string &dir,
                      const std::string &input, const std::vector<std::string> &env) {
    const std::string in = dir + "/.stdin";
    const std::string out = dir + "/.stdout";
    const std::string err = dir + "/.stderr";
    write_text(in, input);
    std::vector<std::string> args = argv;
    std::vector<char *> cargv;
    for (std::string &a : args) {
        cargv.push_back(a.data());
    }
    cargv.push_back(nullptr);
    std::vector<std::string> envs = env;
    std::vector<char *> cenv;
    for (char **e = environ; *e != nullptr; ++e) {
        cenv.push_back(*e);
    }
    for (std::string &e : envs) {
        cenv.push_back(e.data());
    }
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    // setsid: no controlling terminal, so that a password is never asked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    RunResult r;
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, cargv[0], &actions, &attr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        r.err = "cannot start " + argv[0];
        return r;
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    r.out = read_text(out);
    r.err = read_text(err);
    return r;
}

}  // namespace rztest
