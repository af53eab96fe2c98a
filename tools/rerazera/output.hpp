// SPDX-License-Identifier: MIT
// Files the tool writes. A regular file (or a new one) is written under a
// temporary name in its target directory and renamed into place once
// complete, so an interrupted or failed run never leaves a half-written file
// under the final name; an interrupt (SIGINT, SIGTERM, SIGHUP) removes the
// temporary files it finds. Anything else (a character device such as
// /dev/null, a FIFO, standard output) is written in place, never replaced.
// A symbolic link is followed, as cp does: its target is written and the
// link stays; a dangling link is refused. An output that is the same file
// as an input (same device and inode) is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tool.hpp"

namespace rztool {

class StagedFile {
  public:
    // Reserves an empty temporary file beside finalPath. On failure ok() is
    // false and error() says why.
    explicit StagedFile(std::string finalPath);
    ~StagedFile();
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    [[nodiscard]] bool ok() const { return slot_ >= 0; }
    // The temporary file, open for writing.
    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] const std::string &error() const { return error_; }
    [[nodiscard]] const std::string &temp_path() const { return temp_; }
    [[nodiscard]] const std::string &final_path() const { return final_; }

    // Gives the file the usual permission bits (mode, 0666 by default, less
    // the umask) and renames it to the final path. Without replace, an
    // existing file (or symbolic link) there is left alone and commit fails.
    bool commit(bool replace, unsigned mode = 0666);

  private:
    std::string final_;
    std::string temp_;
    std::string error_;
    int slot_ = -1;
    int fd_ = -1;
};

class OutputFile {
  public:
    // Prepares path ("-" is standard output). An existing regular file is
    // replaced only when replace is set; inputs lists the files being read.
    // fromPackage: the file name came from a package (unpack, extract
    // --all), so a symbolic link there is replaced as a link (with replace)
    // and never followed, and a device or FIFO is refused.
    OutputFile(const std::string &path, const std::vector<FileIdentity> &inputs, bool replace,
               bool fromPackage = false);
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    [[nodiscard]] bool ok() const { return fd_ >= 0; }
    // Why the output cannot be used, names the file.
    [[nodiscard]] const std::string &error() const { return error_; }
    [[nodiscard]] const std::string &name() const { return name_; }

    bool write(const std::uint8_t *data, std::size_t len);
    // Completes the file: renames a staged file into place, closes one
    // written in place. False with error() set when that fails.
    bool commit();
    ~OutputFile();

  private:
    std::string name_;  // as the user gave it, for messages
    std::string error_;
    std::unique_ptr<StagedFile> staged_;
    bool replace_ = false;
    int fd_ = -1;
    bool ownFd_ = false;
};

// Installs the handlers that remove pending temporary files on every
// signal that would end the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGUSR1, SIGUSR2, SIGALRM...). SIGPIPE is ignored from the start (see
// install_process_handlers in tool.hpp): a closed pipe is a write error like any other.
void install_cleanup_handlers();
// Removes the pending temporary files; async-signal-safe.
void remove_pending_files();

// Writes all bytes to a descriptor (standard output), retrying short writes.
bool write_all(int fd, const std::uint8_t *data, std::size_t len);

// Reads a descriptor to its end in pieces of at most 1 MiB, retrying reads a
// signal interrupted, and hands each piece to take, which returns false to
// stop early. Returns 0 at the end or when take stopped, otherwise the errno
// of the read that failed.
int read_pieces(int fd, const std::function<bool(const std::uint8_t *, std::size_t)> &take);

// True when something (a file, a directory, a dangling link) is at path.
bool path_exists(const std::string &path);
bool is_directory(const std::string &path);

}  // namespace rztool
