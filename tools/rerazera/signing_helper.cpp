// SPDX-License-Identifier: MIT
#include "signing_helper.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

namespace rztool {
namespace {

void close_fd(int &fd) {
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
}

// The whole message; a helper that exits without reading it all fails.
bool write_all(int fd, const std::uint8_t *p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Up to cap bytes until end of file; more than cap is not read.
std::size_t read_up_to(int fd, std::uint8_t *p, std::size_t cap) {
    std::size_t got = 0;
    while (got < cap) {
        const ssize_t r = ::read(fd, p + got, cap - got);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        got += static_cast<std::size_t>(r);
    }
    return got;
}

}  // namespace

int run_signing_helper(void *ctx, const std::uint8_t *message, std::size_t len,
                       std::uint8_t signature[64]) {
    auto &helper = *static_cast<SigningHelper *>(ctx);
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        helper.failure = std::strerror(errno);
        close_fd(in[0]);
        close_fd(in[1]);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char sh[] = "/bin/sh";
    char dashC[] = "-c";
    char *argv[] = {sh, dashC, helper.command.data(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, sh, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close_fd(in[0]);
    close_fd(out[1]);
    if (spawned != 0) {
        helper.failure = std::string("cannot run /bin/sh: ") + std::strerror(spawned);
        close_fd(in[1]);
        close_fd(out[0]);
        return -1;
    }
    // The message is at most a digest or a signature and a comment line,
    // well within a pipe's buffer: written whole before the answer is read.
    const bool sent = write_all(in[1], message, len);
    close_fd(in[1]);
    std::uint8_t answer[65];
    const std::size_t got = read_up_to(out[0], answer, sizeof answer);
    close_fd(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        helper.failure =
            WIFEXITED(status)
                ? "the signing helper exited with status " + std::to_string(WEXITSTATUS(status))
                : "the signing helper was killed by signal " + std::to_string(WTERMSIG(status));
        return -1;
    }
    // A wrong answer is named before a message left unread: a helper that
    // answers at once may exit before the message is written, so whether
    // the write fails depends on timing, and the answer is what is wrong.
    if (got != 64) {
        helper.failure = "the signing helper wrote " +
                         std::string(got > 64 ? "more than 64" : std::to_string(got)) +
                         " bytes, not a 64-byte signature";
        return -1;
    }
    if (!sent) {
        helper.failure = "the signing helper did not read what it was to sign";
        return -1;
    }
    std::memcpy(signature, answer, 64);
    return 0;
}

}  // namespace rztool
