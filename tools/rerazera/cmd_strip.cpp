// SPDX-License-Identifier: MIT
// rerazera strip BIN -o OUT: the bare payload of a standalone bin file (an
// extracted sub-file). The bin header is checked first (its checksum, and
// that the payload it announces fits the file); the payload is then copied
// through a fixed buffer, so the tool's memory does not grow with the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "output.hpp"
#include "package.hpp"
#include "rerazera.h"
#include "tool.hpp"

namespace rztool {
namespace {

struct StripOptions {
    std::string input;
    std::string out;
    bool noCheck = false;
    bool force = false;  // the old spelling of --no-check, until 1.2
};

constexpr std::size_t kBuffer = 1u << 20;

// Reads exactly len bytes at offset; false on error or early end of file.
bool read_exact(int fd, std::uint8_t *buf, std::size_t len, off_t offset) {
    while (len > 0) {
        const ssize_t n = ::pread(fd, buf, len, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        buf += n;
        len -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

int run_strip(const StripOptions &opt) {
    std::uint64_t size = 0;
    FileIdentity identity;
    if (!check_input_file(opt.input, &size, &identity)) {
        return kExitTrouble;
    }
    if (size < BIN_HEADER_SIZE) {
        report_error(opt.input, "not a bin file: " + std::to_string(size) +
                                    " bytes, shorter than the 352-byte bin header");
        return kExitFailure;
    }
    const int fd = ::open(opt.input.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        report_error(opt.input, std::strerror(errno));
        return kExitTrouble;
    }
    const std::unique_ptr<int, void (*)(int *)> closer(new int(fd), [](int *p) {
        ::close(*p);
        delete p;
    });
    std::vector<std::uint8_t> buf(kBuffer);
    if (!read_exact(fd, buf.data(), BIN_HEADER_SIZE, 0)) {
        report_error(opt.input, std::strerror(errno));
        return kExitTrouble;
    }
    const std::uint32_t stored = be32_at(buf.data() + 4);
    std::uint16_t computed = 0;
    QVPKG_MakeCrcCheckSum(buf.data() + 8, static_cast<std::int32_t>(BIN_HEADER_CRC_LEN), &computed);
    if (opt.force) {
        report_note("--force", "strip's --force is deprecated (removed in 1.3); use --no-check");
    }
    if (stored != computed && !opt.noCheck && !opt.force) {
        report_error(opt.input, "bin header checksum mismatch (stored " + hex32(stored) +
                                    ", computed " + hex16(computed) +
                                    "); not a bin file? (use --no-check to strip it anyway)");
        return kExitFailure;
    }
    const std::uint32_t dataLen = be32_at(buf.data() + 340);
    if (dataLen > size - BIN_HEADER_SIZE) {
        report_error(opt.input, "the payload length in the bin header (" + std::to_string(dataLen) +
                                    " bytes) exceeds the " +
                                    std::to_string(size - BIN_HEADER_SIZE) +
                                    " bytes that follow it");
        return kExitFailure;
    }

    install_cleanup_handlers();
    OutputFile out(opt.out, {identity}, true);
    if (!out.ok()) {
        report_error(out.name(), out.error());
        return kExitTrouble;
    }
    std::uint64_t left = dataLen;
    off_t at = BIN_HEADER_SIZE;
    while (left > 0) {
        const std::size_t n = left < kBuffer ? static_cast<std::size_t>(left) : kBuffer;
        if (!read_exact(fd, buf.data(), n, at)) {
            report_error(opt.input, std::strerror(errno));
            return kExitTrouble;
        }
        if (!out.write(buf.data(), n)) {
            report_error(out.name(), out.error());
            return kExitTrouble;
        }
        left -= n;
        at += static_cast<off_t>(n);
    }
    if (!out.commit()) {
        report_error(out.name(), out.error());
        return kExitTrouble;
    }
    return kExitOk;
}

}  // namespace

void add_strip(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<StripOptions>();
    CLI::App *cmd =
        app.add_subcommand("strip", "Write the payload of a bin file without its bin header");
    cmd->add_option("bin", opt->input, "Bin file (a sub-file on its own)")->required();
    cmd->add_option("-o,--output", opt->out, "Output file, or - for stdout")->required();
    cmd->add_flag("--no-check", opt->noCheck, "Strip even when the bin header checksum fails");
    cmd->add_flag("--force", opt->force, "Deprecated spelling of --no-check")->group("");
    cmd->footer(
        "Exits 1 when the bin header's checksum fails (unless --no-check) or its payload does not "
        "fit the file. Regular files are written under a temporary name and renamed into place.");
    cmd->callback([opt, &run] { run = [opt] { return run_strip(*opt); }; });
}

}  // namespace rztool
