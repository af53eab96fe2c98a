// SPDX-License-Identifier: MIT
// A package read from standard input ("-"). The library opens packages by
// name (it resolves the path and maps the file), so what arrives through a
// pipe is first copied into a temporary regular file, through a fixed
// buffer: memory stays the same whatever the size of the input, and the
// copy stops, and is refused, as soon as it passes the 2 GiB that 32-bit
// signed file positions address, so a runaway input never fills the disk.
//
// The copy is made in an unnamed file (O_TMPFILE in $TMPDIR, or /tmp) and is
// given a name only once it is complete, so a download interrupted however
// hard leaves nothing behind; the name is removed when the tool is done with
// it, or by the interrupt handlers of output.hpp. On a file system that
// refuses O_TMPFILE the copy is written under that temporary name from the
// start. With a name to keep (--save), the copy is written beside that name
// instead, and renamed onto it only when asked to (after a verification
// that passed). The name to keep is taken as -o takes a path the user
// typed: a symbolic link is followed (the link stays), and a device or FIFO
// is written in place, from the unnamed copy, instead of being replaced.
#pragma once

#include <memory>
#include <string>

#include "output.hpp"

namespace rztool {

// How a package argument names standard input, and how messages name it.
inline constexpr const char *kStdinArg = "-";
inline constexpr const char *kStdinName = "standard input";

class StdinSpool {
  public:
    // Copies standard input. keepAs: the file --save will write, or "".
    // With streamed, a keepAs that is a regular file (or new) is only
    // prepared: the caller writes the bytes to stream_sink() as it verifies
    // them. A device or FIFO is still copied first, since it can only be
    // written once the package has passed.
    explicit StdinSpool(const std::string &keepAs = "", bool streamed = false);
    ~StdinSpool();
    StdinSpool(const StdinSpool &) = delete;
    StdinSpool &operator=(const StdinSpool &) = delete;

    [[nodiscard]] bool ok() const { return !path_.empty(); }
    // Why the copy failed; kExitTrouble in every case.
    [[nodiscard]] const std::string &error() const { return error_; }
    // Whether error() concerns the keepAs name rather than standard input.
    [[nodiscard]] bool keep_failed() const { return keepFailed_; }
    // A name of the copy the library can open.
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] std::uint64_t size() const { return size_; }
    // The staged copy to write into while streaming, or -1 when standard
    // input was copied already.
    [[nodiscard]] int stream_sink() const { return streamed_ && ok() ? named_->fd() : -1; }

    // Renames the copy onto the keepAs name given to the constructor,
    // replacing what is there. False with error() set when that fails.
    bool keep();

  private:
    bool copy_stdin(int fd);
    bool name_unnamed(const std::string &dir);
    // Where keepAs leads: false with error_ set when it cannot be written.
    bool resolve_keep(const std::string &keepAs, std::string &target);
    bool write_in_place();

    std::unique_ptr<StagedFile> named_;
    std::string path_;
    std::string error_;
    std::uint64_t size_ = 0;
    int unnamed_ = -1;
    bool keepable_ = false;
    std::string inPlace_;  // a device or FIFO that keeps the copy
    bool streamed_ = false;
    bool keepFailed_ = false;
};

}  // namespace rztool
