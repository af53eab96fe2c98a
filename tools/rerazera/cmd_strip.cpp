// rerazera strip BIN -o OUT: the bare payload of a standalone bin file (an
// extracted sub-file), through the library's bin header stripping.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "output.hpp"
#include "package.hpp"
#include "rerazera.h"
#include "tool.hpp"

namespace rztool {
namespace {

struct StripOptions {
    std::string input;
    std::string out;
};

std::string strip_failure(std::int32_t code) {
    return code == QVPKG_ERR_LENGTH ? "the payload length in the bin header exceeds the file"
                                    : describe_code(code);
}

int strip_to_stdout(const StripOptions &opt) {
    std::uint32_t len = 0;
    std::unique_ptr<std::uint8_t, decltype(&std::free)> image(
        QVPKG_ReadBinFile(opt.input.c_str(), &len), &std::free);
    if (!image) {
        report_error(opt.input, "cannot read it as a bin file (at least 352 bytes)");
        return kExitFailure;
    }
    if (const std::int32_t r = QVPKG_CheckBinHeader(image.get(), len); r != QVPKG_OK) {
        report_error(opt.input, strip_failure(r));
        return kExitFailure;
    }
    const std::uint32_t dataLen = load_be32(image.get() + 340);
    if (!write_all(STDOUT_FILENO, image.get() + BIN_HEADER_SIZE, dataLen)) {
        report_error("standard output", std::strerror(errno));
        return kExitFailure;
    }
    return kExitOk;
}

int run_strip(const StripOptions &opt) {
    if (!check_input_file(opt.input)) {
        return kExitFailure;
    }
    if (opt.out == "-") {
        return strip_to_stdout(opt);
    }
    install_cleanup_handlers();
    StagedFile staged(opt.out);
    if (!staged.ok()) {
        report_error(opt.out, staged.error());
        return kExitFailure;
    }
    if (const std::int32_t r = QVPKG_StripBinHeader(opt.input.c_str(), staged.temp_path().c_str());
        r != QVPKG_OK) {
        report_error(opt.input, strip_failure(r));
        return kExitFailure;
    }
    if (!staged.commit(true)) {
        report_error(opt.out, staged.error());
        return kExitFailure;
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
    cmd->footer("The output is written under a temporary name and renamed into place.");
    cmd->callback([opt, &run] { run = [opt] { return run_strip(*opt); }; });
}

}  // namespace rztool
