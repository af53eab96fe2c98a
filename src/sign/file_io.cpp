// SPDX-License-Identifier: MIT
#include "sign/file_io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/unique_fd.hpp"

namespace rerazera::sign {

ReadStatus read_small_file(const char *path, std::size_t maxSize, std::string &content) {
    // Non-blocking, so that a FIFO planted in its place never waits for a
    // writer; anything but a regular file is refused before it is read.
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) {
        return errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return ReadStatus::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        return ReadStatus::NotRegular;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ReadStatus::Failed;
        }
        if (n == 0) {
            break;
        }
        if (text.size() + static_cast<std::size_t>(n) > maxSize) {
            return ReadStatus::TooLarge;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    content = std::move(text);
    return ReadStatus::Ok;
}

FileView::~FileView() {
    if (addr_ != nullptr) {
        ::munmap(addr_, size_);
    }
}

FileView FileView::map(const char *path) noexcept {
    FileView view;
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return view;
    }
    if (st.st_size > 0) {
        void *addr = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED,
                            fd.get(), 0);
        if (addr == MAP_FAILED) {
            return view;
        }
        view.addr_ = static_cast<std::uint8_t *>(addr);
        view.size_ = static_cast<std::size_t>(st.st_size);
    }
    view.ok_ = true;
    return view;
}

}  // namespace rerazera::sign
