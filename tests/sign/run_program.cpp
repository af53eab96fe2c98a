#include "run_program.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace rztest {

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

RunResult run_program(const std::vector<std::string> &argv, const std::string &dir,
                      const std::string &input) {
    // setsid: no controlling terminal, so that a password is never asked.
    std::string command = "cd '" + dir + "' && exec setsid -w";
    for (const std::string &a : argv) {
        EXPECT_EQ(a.find('\''), std::string::npos) << "cannot quote " << a;
        command += " '" + a + "'";
    }
    write_text(dir + "/.stdin", input);
    const int ws = std::system((command + " <.stdin >.stdout 2>.stderr").c_str());
    RunResult r;
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    r.out = read_text(dir + "/.stdout");
    r.err = read_text(dir + "/.stderr");
    return r;
}

RunResult minisign(std::vector<std::string> args, const std::string &dir,
                   const std::string &input) {
    args.insert(args.begin(), RERAZERA_MINISIGN);
    return run_program(args, dir, input);
}

std::string key_id_of(const std::string &pubPath) {
    const std::string text = read_text(pubPath);
    const std::string first = text.substr(0, text.find('\n'));
    const std::string id = first.substr(first.rfind(' ') + 1);
    return std::string(16 - id.size(), '0') + id;
}

rerazera::writer::Package make_package() {
    std::vector<rerazera::writer::SubFile> files(3);
    for (std::uint32_t i = 0; i < 3; ++i) {
        files[i].fileId = 0x100 + i;
        files[i].name = "part" + std::to_string(i);
        files[i].payload.assign(i == 1 ? 70000 : 1000 + i, static_cast<std::uint8_t>(31 * i + 5));
    }
    return rerazera::writer::PackageBuilder::from_files(std::move(files), 0x1234).build();
}

void flip_byte(const std::string &path, long at) {
    std::string bytes = read_text(path);
    const std::size_t i = at < 0 ? bytes.size() + static_cast<std::size_t>(at) : at;
    bytes[i] = static_cast<char>(bytes[i] ^ 0x20);
    write_text(path, bytes);
}

void edit_line(const std::string &path, int line, long pos, std::size_t count,
               const std::string &text) {
    std::string all = read_text(path);
    std::size_t begin = 0;
    for (int i = 0; i < line; ++i) {
        begin = all.find('\n', begin) + 1;
    }
    const std::size_t at = pos < 0 ? all.find('\n', begin) + pos : begin + pos;
    write_text(path, all.replace(at, count, text));
}

}  // namespace rztest
