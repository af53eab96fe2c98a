// SPDX-License-Identifier: MIT
#include "spool.hpp"

#include <fcntl.h>
#include <sys/stat.h>
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

StdinSpool::StdinSpool(const std::string &keepAs, bool streamed) : keepable_(!keepAs.empty()) {
    install_cleanup_handlers();  // the named copy goes on SIGINT, SIGTERM, SIGHUP
    if (::isatty(STDIN_FILENO) == 1) {
        error_ = "standard input is a terminal; pipe or redirect a package into it";
        return;
    }
    const std::string dir = temp_dir();
    std::string target;
    if (keepable_ && !resolve_keep(keepAs, target)) {
        return;
    }
    if (streamed && keepable_ && inPlace_.empty()) {
        named_ = std::make_unique<StagedFile>(target);
        if (!named_->ok()) {
            error_ = named_->error();
            keepFailed_ = true;
            return;
        }
        streamed_ = true;
        path_ = named_->temp_path();
        return;
    }
    if (keepAs.empty() || !inPlace_.empty()) {
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
    named_ =
        std::make_unique<StagedFile>(keepAs.empty() || !inPlace_.empty() ? dir + "/stdin" : target);
    if (!named_->ok()) {
        error_ = named_->error();
        keepFailed_ = !keepAs.empty() && inPlace_.empty();
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
    const int readError = read_pieces(STDIN_FILENO, [&](const std::uint8_t *data, std::size_t n) {
        size_ += n;
        if (size_ > kMaxSize) {
            error_ =
                "standard input holds more than 2 GiB, the limit of the 32-bit signed file "
                "positions that packages use; stopped reading it";
        } else if (!write_all(fd, data, n)) {
            error_ = std::string("cannot copy standard input to a temporary file: ") +
                     std::strerror(errno);
        }
        return error_.empty();
    });
    if (readError != 0) {
        error_ = std::string("cannot read standard input: ") + std::strerror(readError);
    }
    return error_.empty();
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

bool StdinSpool::resolve_keep(const std::string &keepAs, std::string &target) {
    target = keepAs;
    struct stat st {};
    if (::lstat(keepAs.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char *resolved = ::realpath(keepAs.c_str(), nullptr);
        if (resolved == nullptr) {
            error_ = "is a symbolic link to a missing file; not creating its target";
            keepFailed_ = true;
            return false;
        }
        target = resolved;
        std::free(resolved);
    }
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error_ = std::strerror(EISDIR);
            keepFailed_ = true;
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            inPlace_ = target;
        }
    }
    return true;
}

// The verified copy into the device or FIFO, as -o writes one.
bool StdinSpool::write_in_place() {
    const int in = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = in < 0 ? -1 : ::open(inPlace_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    bool done = out >= 0;
    std::vector<std::uint8_t> buf(done ? kPiece : 0);
    for (off_t at = 0; done;) {
        const ssize_t n = ::pread(in, buf.data(), buf.size(), at);
        if (n == 0) {
            break;
        }
        done = n > 0 && write_all(out, buf.data(), static_cast<std::size_t>(n));
        at += n;
    }
    if (!done) {
        error_ = std::strerror(errno);
    }
    if (out >= 0 && ::close(out) != 0 && done) {
        error_ = std::strerror(errno);
        done = false;
    }
    if (in >= 0) {
        ::close(in);
    }
    return done;
}

bool StdinSpool::keep() {
    if (keepable_ && ok() && !inPlace_.empty()) {
        return write_in_place();
    }
    if (!keepable_ || !ok() || !named_->commit(true)) {
        error_ = keepable_ && ok() ? named_->error() : "no copy to keep";
        return false;
    }
    return true;
}

}  // namespace rztool
