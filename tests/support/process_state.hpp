// Scoped changes to process-wide state that file-creating tests depend on:
// the file-creation mask and the working directory, restored on scope exit.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <stdexcept>
#include <string>

namespace rztest {

class UmaskScope {
  public:
    explicit UmaskScope(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskScope() { ::umask(old_); }
    UmaskScope(const UmaskScope &) = delete;
    UmaskScope &operator=(const UmaskScope &) = delete;

  private:
    mode_t old_;
};

class WorkingDirScope {
  public:
    explicit WorkingDirScope(const std::string &dir) {
        char buf[PATH_MAX];
        if (::getcwd(buf, sizeof buf) == nullptr) {
            throw std::runtime_error("getcwd failed");
        }
        old_ = buf;
        if (::chdir(dir.c_str()) != 0) {
            throw std::runtime_error("chdir failed: " + dir);
        }
    }
    ~WorkingDirScope() {
        if (::chdir(old_.c_str()) != 0) {
            std::terminate();  // later tests would run in the wrong place
        }
    }
    WorkingDirScope(const WorkingDirScope &) = delete;
    WorkingDirScope &operator=(const WorkingDirScope &) = delete;

  private:
    std::string old_;
};

}  // namespace rztest
