// SPDX-License-Identifier: MIT
#include "support/scratch.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace rztest {

ScratchDir::ScratchDir() {
    const char *base = std::getenv("TMPDIR");
    path_ = std::string(base != nullptr ? base : "/tmp") + "/rerazera-test-XXXXXX";
    if (::mkdtemp(path_.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

int open_fd_count() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<int>(std::distance(begin(fds), end(fds))) - 1;  // the iterator's own
}

std::vector<std::uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool file_exists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

unsigned file_mode(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode) & 07777u : ~0u;
}

std::string vm_flags(const void *address) {
    std::ifstream in("/proc/self/smaps");
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        std::uintptr_t lo = 0;
        std::uintptr_t hi = 0;
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " ", &lo, &hi) == 2 &&
            line.find(':') > line.find(' ')) {
            inside = lo <= at && at < hi;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line + " ";
        }
    }
    return {};
}

namespace {
constexpr std::uintptr_t kPage = 4096;
}

std::size_t pages_mapped(const void *p, std::size_t n) {
    const auto first = reinterpret_cast<std::uintptr_t>(p) / kPage;
    const std::size_t count = (reinterpret_cast<std::uintptr_t>(p) + n + kPage - 1) / kPage - first;
    std::vector<std::uint64_t> entries(count);
    const int fd = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    const auto bytes = static_cast<ssize_t>(count * sizeof(std::uint64_t));
    const bool read = fd >= 0 && ::pread(fd, entries.data(), static_cast<std::size_t>(bytes),
                                         static_cast<off_t>(first * 8)) == bytes;
    ::close(fd);
    if (!read) {
        throw std::runtime_error("cannot read /proc/self/pagemap");
    }
    return static_cast<std::size_t>(
        std::count_if(entries.begin(), entries.end(), [](std::uint64_t e) { return e >> 63; }));
}

bool all_resident(const void *p, std::size_t n) {
    std::vector<unsigned char> pages((n + kPage - 1) / kPage);
    return ::mincore(const_cast<void *>(p), n, pages.data()) == 0 &&
           std::all_of(pages.begin(), pages.end(), [](unsigned char v) { return (v & 1) != 0; });
}

std::string mapping_of(const std::string &text) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find(text) != std::string::npos) {
            return line;
        }
    }
    return {};
}

int run_in(const std::vector<std::string> &argv, const std::string &dir, const std::string &in,
           const std::string &out, const std::string &err) {
    std::vector<char *> args;  // posix_spawn changes none
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    // Non-blocking, so that an output on a pipe or /dev/full fails instead of waiting.
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid = 0;
    const int started = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int ws = 0;
    if (started != 0 || ::waitpid(pid, &ws, 0) != pid) {
        return -1;
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

FdLeakCheck::~FdLeakCheck() {
    EXPECT_EQ(open_fd_count(), before_) << "a descriptor leaked";
}

}  // namespace rztest
