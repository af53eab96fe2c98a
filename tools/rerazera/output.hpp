// Files the tool writes. Each is written under a temporary name in its
// target directory and renamed into place once complete, so an interrupted
// or failed run never leaves a half-written file under the final name. An
// interrupt (SIGINT, SIGTERM, SIGHUP) removes the temporary files it finds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
    [[nodiscard]] const std::string &error() const { return error_; }
    [[nodiscard]] const std::string &temp_path() const { return temp_; }
    [[nodiscard]] const std::string &final_path() const { return final_; }

    // Gives the file the usual permission bits (0666 less the umask) and
    // renames it to the final path. Without replace, an existing file (or
    // symbolic link) there is left alone and commit fails.
    bool commit(bool replace);

  private:
    std::string final_;
    std::string temp_;
    std::string error_;
    int slot_ = -1;
};

// Installs the interrupt handlers that remove pending temporary files.
void install_cleanup_handlers();

// Writes all bytes to a descriptor (standard output), retrying short writes.
bool write_all(int fd, const std::uint8_t *data, std::size_t len);

// True when something (a file, a directory, a dangling link) is at path.
bool path_exists(const std::string &path);
bool is_directory(const std::string &path);

}  // namespace rztool
