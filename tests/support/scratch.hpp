// SPDX-License-Identifier: MIT
// Test scratch space: a fresh directory per test, removed afterwards; file
// helpers; and a check that no descriptor was left open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rztest {

class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

int open_fd_count();  // entries of /proc/self/fd
std::vector<std::uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes);
bool file_exists(const std::string &path);
unsigned file_mode(const std::string &path);  // mode & 07777

// How the kernel holds the memory at an address: the VmFlags line of its
// mapping from /proc/self/smaps (with a trailing space, so " hg " can be
// looked for); the pages of [p, p + n) mapped into this process, from
// /proc/self/pagemap; and whether all of them are resident (mincore).
std::string vm_flags(const void *address);
std::size_t pages_mapped(const void *p, std::size_t n);
bool all_resident(const void *p, std::size_t n);
// The first line of /proc/self/maps that holds text (a path), or "".
std::string mapping_of(const std::string &text);

// Runs argv (argv[0] looked up on PATH) in dir, with standard input, output and error on the
// paths given; the exit status, 128 + the signal that ended it, or -1 when it cannot start.
int run_in(const std::vector<std::string> &argv, const std::string &dir, const std::string &in,
           const std::string &out, const std::string &err);

// Keeps a JSON document the tool printed or wrote, under the build tree's
// tests/json-documents, named after the running test, for the check that
// validates every document against its schema; text that is not a JSON
// object (an empty output, a line manifest) is left out.
void keep_json(const std::string &text);
// keep_json for every file named manifest.json under dir.
void keep_manifests(const std::string &dir);

// Fails the current test when the scope ends with another number of open
// descriptors than it began with.
class FdLeakCheck {
  public:
    FdLeakCheck() : before_(open_fd_count()) {}
    ~FdLeakCheck();
    FdLeakCheck(const FdLeakCheck &) = delete;
    FdLeakCheck &operator=(const FdLeakCheck &) = delete;

  private:
    int before_;
};

}  // namespace rztest
