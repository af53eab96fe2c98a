// SPDX-License-Identifier: MIT
#include "spool.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace rztool {
namespace {

// Read and written in pieces of this size: the whole of the memory a copy
// takes, however long the input.
constexpr std::size_t kPiece = std::size_t{1} << 20;
// The largest package: 32-bit signed file positions.
constexpr std::uint64_t kMaxSize = INT32_MAX;

std::string temp_dir() {
    const char *dir = std::getenv("TMPDIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

}  // namespace

StdinSpool::StdinSpool(const std::string &keepAs) : keepable_(!keepAs.empty()) {
    install_cleanup_handlers();  // the named copy goes on SIGINT, SIGTERM, SIGHUP
    if (::isatty(STDIN_FILENO) == 1) {
        error_ = "standard input is a terminal; pipe or redirect a package into it";
        return;
    }
    const std::string dir = temp_dir();
    if (keepAs.empty()) {
        unnamed_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
    if (unnamed_ >= 0) {
        if (copy_stdin(unnamed_) && name_unnamed(dir)) {
            path_ = named_->temp_path();
        }
        return;
    }
    // Kept under a name (--save), or a file system without O_TMPFILE: the
    // copy is a named temporary file from the start.
    named_ = std::make_unique<StagedFile>(keepAs.empty() ? dir + "/stdin" : keepAs);
    if (!named_->ok()) {
        error_ = named_->error();
        return;
    }
    if (copy_stdin(named_->fd())) {
        path_ = named_->temp_path();
    }
}

StdinSpool::~StdinSpool() {
    if (unnamed_ >= 0) {
        ::close(unnamed_);
    }
}

bool StdinSpool::copy_stdin(int fd) {
    std::vector<std::uint8_t> buf(kPiece);
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buf.data(), buf.size());
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        size_ += static_cast<std::uint64_t>(n);
        if (size_ > kMaxSize) {
            error_ =
                "standard input holds more than 2 GiB, the limit of the 32-bit signed file "
                "positions that packages use; stopped reading it";
            return false;
        }
        if (!write_all(fd, buf.data(), static_cast<std::size_t>(n))) {
            error_ = std::string("cannot copy standard input to a temporary file: ") +
                     std::strerror(errno);
            return false;
        }
    }
}

// Gives the finished unnamed copy a temporary name for the library to open:
// a name reserved (and registered for removal on interrupt) by StagedFile
// is freed and the copy linked in its place through /proc. Without /proc
// the copy is copied once more, under that name.
bool StdinSpool::name_unnamed(const std::string &dir) {
    named_ = std::make_unique<StagedFile>(dir + "/stdin");
    if (!named_->ok()) {
        error_ = named_->error();
        return false;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(unnamed_);
    const std::string &name = named_->temp_path();
    if (::unlink(name.c_str()) == 0 &&
        ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    named_ = std::make_unique<StagedFile>(dir + "/stdin");
    if (!named_->ok()) {
        error_ = named_->error();
        return false;
    }
    std::vector<std::uint8_t> buf(kPiece);
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(unnamed_, buf.data(), buf.size(), at);
        if (n == 0) {
            return true;
        }
        if (n < 0 || !write_all(named_->fd(), buf.data(), static_cast<std::size_t>(n))) {
            error_ = std::string("cannot copy standard input to a temporary file: ") +
                     std::strerror(errno);
            return false;
        }
        at += n;
    }
}

bool StdinSpool::keep() {
    if (!keepable_ || !ok() || !named_->commit(true)) {
        error_ = keepable_ && ok() ? named_->error() : "no copy to keep";
        return false;
    }
    return true;
}

}  // namespace rztool
