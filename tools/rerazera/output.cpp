// SPDX-License-Identifier: MIT
#include "output.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rztool {
namespace {

// Pending temporary files, for the interrupt handler: fixed storage, since
// the handler may only call async-signal-safe functions. The tool keeps at
// most two at once (an extraction and its stripped copy).
constexpr int kSlots = 4;
constexpr std::size_t kPathMax = 4096;
char g_paths[kSlots][kPathMax];
std::atomic<bool> g_used[kSlots];

int claim_slot(const std::string &path) {
    if (path.size() >= kPathMax) {
        return -1;
    }
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (g_used[i].compare_exchange_strong(expected, true)) {
            // Marked used before the path is complete; the handler checks
            // the ready marker (a non-empty path) too.
            g_paths[i][0] = '\0';
            std::memcpy(g_paths[i] + 1, path.c_str() + 1, path.size());
            std::atomic_signal_fence(std::memory_order_seq_cst);
            g_paths[i][0] = path[0];
            return i;
        }
    }
    return -1;
}

void release_slot(int slot) {
    g_paths[slot][0] = '\0';
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_used[slot].store(false);
}

// Every signal whose default action ends the process.
constexpr int kFatalSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                 SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

extern "C" void remove_pending_and_die(int sig) {
    remove_pending_files();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

void remove_pending_files() {
    for (int i = 0; i < kSlots; ++i) {
        if (g_used[i].load() && g_paths[i][0] != '\0') {
            ::unlink(g_paths[i]);
        }
    }
}

namespace {

mode_t current_umask() {
    static const mode_t mask = [] {
        const mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    return mask;
}

std::string directory_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// rename() that refuses to replace: renameat2 where the file system supports
// it, else a hard link (which fails on an existing name) and an unlink.
int rename_noreplace(const char *from, const char *to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    if (::link(from, to) != 0) {
        return -1;
    }
    ::unlink(from);
    return 0;
}

}  // namespace

StagedFile::StagedFile(std::string finalPath) : final_(std::move(finalPath)) {
    current_umask();  // taken once, before any worker could race on it
    std::string templ = directory_of(final_) + "/.rerazera-XXXXXX";
    // A fatal signal waits until the new file is in a slot, where the
    // handler finds it: between the two it would leave the file behind.
    sigset_t fatal, before;
    sigemptyset(&fatal);
    for (const int sig : kFatalSignals) {
        sigaddset(&fatal, sig);
    }
    ::pthread_sigmask(SIG_BLOCK, &fatal, &before);
    const int fd = ::mkstemp(templ.data());
    const int err = errno;
    if (fd >= 0) {
        temp_ = templ;
        slot_ = claim_slot(temp_);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) {
        error_ = std::string("cannot create a file in ") + directory_of(final_) + ": " +
                 std::strerror(err);
        return;
    }
    fd_ = fd;
    if (slot_ < 0) {
        ::unlink(temp_.c_str());
        ::close(fd_);
        fd_ = -1;
        error_ = "too many files pending";
    }
}

StagedFile::~StagedFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (slot_ >= 0) {
        ::unlink(temp_.c_str());
        release_slot(slot_);
    }
}

bool StagedFile::commit(bool replace, unsigned mode) {
    if (slot_ < 0) {
        return false;
    }
    if (fd_ >= 0) {
        const int fd = fd_;
        fd_ = -1;
        // A write error can surface only at close (NFS, quotas).
        if (::close(fd) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
    }
    if (::chmod(temp_.c_str(), static_cast<mode_t>(mode) & ~current_umask()) != 0) {
        error_ = std::strerror(errno);
        return false;
    }
    const int r = replace ? ::rename(temp_.c_str(), final_.c_str())
                          : rename_noreplace(temp_.c_str(), final_.c_str());
    if (r != 0) {
        error_ =
            errno == EEXIST ? "already exists (use --force to replace it)" : std::strerror(errno);
        return false;
    }
    release_slot(slot_);
    slot_ = -1;
    return true;
}

void install_cleanup_handlers() {
    struct sigaction sa {};
    sa.sa_handler = remove_pending_and_die;
    sigemptyset(&sa.sa_mask);
    for (const int sig : kFatalSignals) {
        ::sigaction(sig, &sa, nullptr);
    }
}

bool write_all(int fd, const std::uint8_t *data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

int read_pieces(int fd, const std::function<bool(const std::uint8_t *, std::size_t)> &take) {
    std::vector<std::uint8_t> buf(std::size_t{1} << 20);
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n == 0) {
            return 0;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (!take(buf.data(), static_cast<std::size_t>(n))) {
            return 0;
        }
    }
}

OutputFile::OutputFile(const std::string &path, const std::vector<FileIdentity> &inputs,
                       bool replace, bool fromPackage)
    : name_(path == "-" ? "standard output" : path), replace_(replace) {
    const auto is_input = [&inputs](const struct stat &st) {
        for (const FileIdentity &id : inputs) {
            if (id == FileIdentity{st.st_dev, st.st_ino}) {
                return true;
            }
        }
        return false;
    };
    struct stat st {};
    if (path == "-") {
        if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && is_input(st)) {
            error_ = "is the same file as the input";
            return;
        }
        std::fflush(stdout);
        fd_ = STDOUT_FILENO;
        return;
    }
    std::string target = path;
    if (fromPackage && ::lstat(path.c_str(), &st) == 0) {
        // A name taken from a package: whatever is there is replaced as a
        // name in the directory, never followed or written through.
        if (S_ISDIR(st.st_mode)) {
            error_ = "is a directory";
            return;
        }
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            error_ = "is not a regular file; a package's sub-file is never written into it";
            return;
        }
        if (!replace) {
            error_ = "already exists (use --force to replace it)";
            return;
        }
    } else if (!fromPackage && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Followed, as cp does; the link itself is never replaced.
        char *resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            error_ = "is a symbolic link to a missing file; not creating its target";
            return;
        }
        target = resolved;
        std::free(resolved);
    }
    if (!fromPackage && ::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error_ = "is a directory";
            return;
        }
        if (is_input(st)) {
            error_ = "is the same file as the input";
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            // A device or FIFO: written in place (a FIFO waits for a reader).
            const int fd = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
            if (fd < 0) {
                error_ = std::strerror(errno);
                return;
            }
            fd_ = fd;
            ownFd_ = true;
            return;
        }
        if (!replace) {
            error_ = "already exists (use --force to replace it)";
            return;
        }
    }
    staged_ = std::make_unique<StagedFile>(target);
    if (!staged_->ok()) {
        error_ = staged_->error();
        return;
    }
    fd_ = staged_->fd();
}

OutputFile::~OutputFile() {
    if (ownFd_ && fd_ >= 0) {
        ::close(fd_);
    }
}

bool OutputFile::write(const std::uint8_t *data, std::size_t len) {
    if (fd_ < 0) {
        return false;
    }
    if (!write_all(fd_, data, len)) {
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool OutputFile::commit() {
    if (fd_ < 0) {
        return false;
    }
    if (staged_) {
        fd_ = -1;
        if (!staged_->commit(replace_)) {
            error_ = staged_->error();
            return false;
        }
        return true;
    }
    if (ownFd_) {
        const int fd = fd_;
        fd_ = -1;
        ownFd_ = false;
        if (::close(fd) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool path_exists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace rztool
