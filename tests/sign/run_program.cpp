#include "run_program.hpp"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace rztest {

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

RunResult run_program(const std::vector<std::string> &argv, const std::string &dir,
                      const std::string &input) {
    // setsid: no controlling terminal, so that a password is never asked.
    std::string command = "cd '" + dir + "' && exec setsid -w";
    for (const std::string &a : argv) {
        command += " '";
        for (const char c : a) {
            command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        command += '\'';
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
        files[i].payload.resize(i == 1 ? 70000 : 1000 + i);
        for (std::size_t b = 0; b < files[i].payload.size(); ++b) {
            files[i].payload[b] = static_cast<std::uint8_t>(b * 31 + i);
        }
    }
    return rerazera::writer::PackageBuilder::from_files(std::move(files), 0x1234).build();
}

void flip_byte(const std::string &path, long at) {
    std::string bytes = read_text(path);
    const std::size_t i = at < 0 ? bytes.size() + static_cast<std::size_t>(at) : at;
    bytes[i] = static_cast<char>(bytes[i] ^ 0x20);
    write_text(path, bytes);
}

void edit_line(const std::string &path, int index, const std::function<void(std::string &)> &edit) {
    std::string text = read_text(path);
    std::size_t begin = 0;
    for (int i = 0; i < index; ++i) {
        begin = text.find('\n', begin) + 1;
    }
    std::string line = text.substr(begin, text.find('\n', begin) - begin);
    const std::size_t oldSize = line.size();
    edit(line);
    write_text(path, text.replace(begin, oldSize, line));
}

}  // namespace rztest
