// Test scratch space: a fresh directory per test, removed afterwards, and a
// count of open descriptors to catch leaks.
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

// Number of entries in /proc/self/fd.
int open_fd_count();

std::vector<std::uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes);
bool file_exists(const std::string &path);
// Permission bits of a file (mode & 07777).
unsigned file_mode(const std::string &path);

}  // namespace rztest

namespace rztest {

// Fails the current test if the number of open descriptors differs at the
// end of the scope from the number at its start.
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
