// SPDX-License-Identifier: MIT
// End-to-end tests of the built rerazera tool on packages made by the package writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture.hpp"
#include "writer/bombs.hpp"
#include "writer/package_writer.hpp"

namespace {

using nlohmann::json;
using rerazera::writer::crc16;
using rerazera::writer::make_bin_file;
using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;
using Bytes = std::vector<std::uint8_t>;

struct Outcome {
    int status = -1;
    std::string out, err;
};

const auto bytes_of = [](const std::string &s) { return Bytes(s.begin(), s.end()); };
const auto str = [](const Bytes &b) { return std::string(b.begin(), b.end()); };
const auto text_of = [](const std::string &path) { return str(rztest::read_file(path)); };

// A manifest as version 1 spelled it: file IDs as "0x..." text, the header's checksum as
// "header_crc", computed checksums as "*_actual".
json as_version1(const json &v2) {
    const std::function<json(const json &)> down = [&](const json &v) {
        if (v.is_array()) {
            json out = json::array();
            for (const json &x : v)
                out.push_back(down(x));
            return out;
        }
        if (!v.is_object())
            return v;
        json out = json::object();
        for (const auto &[k, x] : v.items()) {
            const std::string key =
                k.ends_with("_computed") ? k.substr(0, k.size() - 9) + "_actual" : k;
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08x", x.is_number() ? x.get<unsigned>() : 0u);
            out[key] = k == "file_id" || k == "bin_file_id" ? json(hex) : down(x);
        }
        return out;
    };
    json m = down(v2);
    m["version"] = 1;
    json &h = m["header"];
    for (const std::string k : {"crc", "crc_actual"})
        if (h.contains(k)) {
            h["header_" + k] = h[k];
            h.erase(k);
        }
    return m;
}

class ToolTest : public ::testing::Test {
  protected:
    // Runs the tool in the scratch directory on cmd split at spaces, then extra; stdout to outPath.
    // A word "<FILE" feeds FILE (in the scratch directory) to standard input.
    Outcome sh(const std::string &cmd, std::vector<std::string> extra = {},
               std::string outPath = "") {
        std::istringstream in(cmd);
        std::vector<std::string> args(std::istream_iterator<std::string>(in), {});
        std::string inPath = "/dev/null";
        if (!args.empty() && args.back()[0] == '<') {
            inPath = path(args.back().substr(1));
            args.pop_back();
        }
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.begin(), RERAZERA_TOOL);
        outPath = outPath.empty() ? dir_.file(".stdout") : outPath;
        const std::string errPath = dir_.file(".stderr");
        Outcome r;
        r.status = rztest::run_in(args, dir_.path(), inPath, outPath, errPath);
        EXPECT_NE(r.status, -1) << "cannot start " << RERAZERA_TOOL;
        if (std::filesystem::is_regular_file(outPath))
            r.out = text_of(outPath);
        r.err = text_of(errPath);
        if (std::find(args.begin(), args.end(), "--json") != args.end())
            rztest::keep_json(r.out);
        return r;
    }
    void TearDown() override { rztest::keep_manifests(dir_.path()); }

    std::string path(const std::string &name) const { return dir_.file(name); }
    void write(const Package &pkg, const std::string &name) { pkg.write(path(name)); }

    static Bytes payload(std::size_t n, int seed) { return rztest::pattern(n, std::uint8_t(seed)); }

    template <typename... S>
    void files(const S &...args) {
        const std::vector<std::string> named = {std::string(args)...};
        for (std::size_t i = 0; i < named.size(); i += 2) {
            const std::string &name = named[i], &content = named[i + 1];
            std::filesystem::create_directories(std::filesystem::path(path(name)).parent_path());
            rztest::write_file(path(name), bytes_of(content));
        }
    }

    // Per row: status, stderr and stdout texts. Status 2 says why; failures write no stdout.
    struct Row {
        std::string cmd;
        int status;
        std::string err = "";
        std::vector<std::string> out = {}, extra = {};
    };
    void check(const std::vector<Row> &rows) {
        for (const Row &row : rows) {
            SCOPED_TRACE(row.cmd + ::testing::PrintToString(row.extra));
            const Outcome r = sh(row.cmd, row.extra);
            EXPECT_EQ(r.status, row.status) << r.err;
            expect_has(r.err, row.err);
            for (const std::string &o : row.out)
                expect_has(r.out, o);
            EXPECT_TRUE(row.status != 2 || !r.err.empty());
            const bool toStdout = (row.cmd + " ").find("-o - ") != std::string::npos;
            EXPECT_TRUE(row.status == 0 || !toStdout || r.out.empty()) << r.out;
        }
    }

    // Each command's standard output, exactly, with exit status 0.
    void check_out(const std::vector<std::string> &rows) {
        for (std::size_t i = 0; i < rows.size(); i += 2) {
            const std::string &cmd = rows[i], &out = rows[i + 1];
            const Outcome r = sh(cmd);
            EXPECT_EQ(r.status, 0) << cmd << ": " << r.err;
            EXPECT_EQ(r.out, out) << cmd;
        }
    }

    template <typename... V>
    static void expect_at(const json &j, const V &...want) {
        const std::vector<json> v = {json(want)...};
        for (std::size_t i = 0; i < v.size(); i += 2)
            EXPECT_EQ(j.at(json::json_pointer(v[i].get<std::string>())), v[i + 1]) << v[i];
    }

    template <typename... S>
    void expect_files(const S &...pairs) {
        const std::vector<std::string> v = {std::string(pairs)...};
        for (std::size_t i = 0; i < v.size(); i += 2)
            EXPECT_EQ(text_of(path(v[i])), v[i + 1]) << v[i];
    }

    template <typename... S>
    static void expect_has(const std::string &text, const S &...parts) {
        for (const std::string &part : {std::string(parts)...})
            EXPECT_NE(text.find(part), std::string::npos) << part << " in: " << text;
    }

    json js(const std::string &cmd) {
        const Outcome r = sh(cmd);
        EXPECT_EQ(r.status, 0) << cmd << ": " << r.err;
        return json::parse(r.out);
    }

    // How many entries dir holds; none may be an extraction's temporary file.
    static std::ptrdiff_t entries(const std::string &dir) {
        std::ptrdiff_t n = 0;
        for (const auto &entry : std::filesystem::directory_iterator(dir)) {
            EXPECT_NE(entry.path().filename().string().rfind(".rerazera-", 0), 0u) << entry.path();
            ++n;
        }
        return n;
    }

    // Starts the tool on args in the scratch directory, with env (NAME=value
    // words) added, standard input and output on the given descriptors and
    // stderr to .stderr; its process ID.
    pid_t start(std::vector<std::string> args, int in, int out,
                const std::vector<std::string> &env = {}) {
        args.insert(args.begin(), RERAZERA_TOOL);
        args.insert(args.begin(), env.begin(), env.end());
        args.insert(args.begin(), "/usr/bin/env");
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string dir = dir_.path(), err = path(".stderr");
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (::chdir(dir.c_str()) == 0 && ::dup2(in, 0) == 0 && ::dup2(out, 1) == 1 &&
                ::dup2(e, 2) == 2)
                ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        EXPECT_GT(pid, 0);
        return pid;
    }

    rztest::ScratchDir dir_;
};

// Payloads come back byte for byte; big ones leave 1- and 2-byte pieces past the copy buffer.
TEST_F(ToolTest, PackListVerifyExtractRoundTrip) {
    const std::vector<std::pair<std::string, Bytes>> inputs = {
        {"boot.bin", payload(100, 1)},
        {"kernel.img", payload(5000, 2)},
        {"empty.dat", {}},
        {"with space.txt", bytes_of("hello\n")},
        {"big1", payload((1u << 20) + 1, 3)},
        {"big2", payload((2u << 20) + 2, 4)},
        {"one", payload(1, 5)}};
    std::string manifest = "# test\n\n";
    std::uint32_t id = 0x10;
    for (const auto &[name, data] : inputs) {
        files("in/" + name, str(data));
        manifest +=
            std::to_string(id++) + " \"" + name + "\" \"in/" + name + "\" Payload " + name + "\n";
    }
    files("list.txt", manifest);
    check({{"pack --product-type 0x1234 --manifest list.txt -o p.qv", 0},
           {"info --field product-type p.qv", 0, "", {"4660\n"}},
           {"verify p.qv", 0, "", {"Info: System software CRC check OK!"}},
           {"extract p.qv --all --strip -o out", 0},
           {"extract p.qv --id 0x11 -o kernel.sub", 0}});
    const json list = js("list --json p.qv");
    expect_at(list, "/format", "rerazera-list", "/version", 2, "/header/valid", true);
    ASSERT_EQ(list["entries"].size(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const auto &[name, data] = inputs[i];
        expect_at(list["entries"][i], "/file_id", 0x10 + i, "/name", name, "/description",
                  "Payload " + name, "/length", 352 + data.size(), "/data_len", data.size());
    }
    for (const auto &[name, data] : inputs)
        EXPECT_EQ(rztest::read_file(path("out/" + name)), data);
    EXPECT_EQ(entries(path("out")), std::ssize(inputs));  // nothing else
    EXPECT_EQ(rztest::read_file(path("kernel.sub")).size(), 352u + 5000u);
    check_out({"strip kernel.sub -o -", str(inputs[1].second),
               "extract p.qv --name boot.bin --strip -o -", str(inputs[0].second),
               "pack --product-type 0x1234 --manifest list.txt -o -", text_of(path("p.qv"))});
}

// More than 256 files: 255 in the header, the rest behind an extension all commands follow.
TEST_F(ToolTest, ExtensionRoundTrip) {
    constexpr int kFiles = 300;
    std::string cmd = "pack -o big.qv --first-id 1000";
    for (int i = 0; i < kFiles; ++i) {
        files("in/f" + std::to_string(i), str(payload(i % 37, i)));
        cmd += " in/f" + std::to_string(i);
    }
    ASSERT_EQ(sh(cmd).status, 0);
    expect_at(js("info --json big.qv"), "/header/file_num", 256, "/extension/state", "valid",
              "/extension/count", kFiles - 255, "/subfiles", kFiles);
    EXPECT_EQ(sh("info --field extend-count big.qv").out, "45\n");
    const json list = js("list --json big.qv");
    ASSERT_EQ(list["entries"].size(), 256u + 45u);
    expect_at(list, "/entries/255/dummy", true, "/entries/300/table", "extension",
              "/entries/300/name", "f299");
    const json v = js("verify --json big.qv");
    EXPECT_EQ(v["packages"][0]["report"]["subfiles"].size(), 256u + 45u);
    expect_at(v, "/packages/0/report/failures", 0);
    ASSERT_EQ(sh("extract big.qv --all --strip -o out").status, 0);
    for (int i = 0; i < kFiles; ++i)
        ASSERT_EQ(rztest::read_file(path("out/f" + std::to_string(i))), payload(i % 37, i)) << i;
    // By name too: unlike the library's lookup, the tool's searches the extension.
    check_out({"extract big.qv --name f280 --strip -o -", str(payload(280 % 37, 280)),
               "extract big.qv --id 1299 --strip -o -", str(payload(299 % 37, 299))});
}

// The report goes past the first failure; packages keep their order; missing ones go to stderr.
TEST_F(ToolTest, VerifyCorruptPackages) {
    Package pkg = PackageBuilder::from_files({SubFile{1, "a", "", payload(64, 1)},
                                              SubFile{2, "b", "", payload(64, 2)},
                                              SubFile{3, "c", "", payload(64, 3)}})
                      .build();
    write(pkg, "good.qv");
    pkg.bytes[pkg.entryOffsets[0] + 352 + 5] ^= 0xFF;  // payload of entry 0
    pkg.bytes[pkg.entryOffsets[2] + 300] ^= 0xFF;      // bin header of entry 2
    write(pkg, "bad.qv");
    Outcome r = sh("verify -j 2 good.qv bad.qv missing.qv good.qv");
    EXPECT_EQ(r.status, 2);
    const std::size_t b = r.out.find("bad.qv: FAILED (result -1)");
    ASSERT_NE(b, std::string::npos) << r.out;
    EXPECT_LT(r.out.find("good.qv: ok"), b) << r.out;
    EXPECT_NE(r.out.find("good.qv: ok", b), std::string::npos) << r.out;
    expect_has(r.out, "file crc is not correct. fileID =0x1",
               "verified 4 packages: 2 ok, 1 failed, 1 could not be used");
    EXPECT_EQ(r.out.find("missing.qv"), std::string::npos) << r.out;
    expect_has(r.err, "missing.qv: No such file or directory");
    r = sh("verify --json bad.qv");
    EXPECT_EQ(r.status, 1);
    const json v = json::parse(r.out);
    const json &subs = v["packages"][0]["report"]["subfiles"];
    ASSERT_EQ(subs.size(), 3u);
    expect_at(v, "/packages/0/passed", false, "/packages/0/result", -1, "/summary/failed", 1);
    expect_at(subs, "/0/result", "payload-crc-mismatch", "/1/result", "ok", "/2/result",
              "header-crc-mismatch");
    EXPECT_NE(subs[0]["crc"], subs[0]["crc_computed"]);
}

// Exit status per class of input: 0 ok, 1 a package or bin file failed its checks, 2 trouble.
// Non-regular inputs are refused by name; claimed lengths are tested against the file first.
TEST_F(ToolTest, ExitStatusTable) {
    const auto variant = [&](const std::string &name, auto edit) {
        Package p = PackageBuilder::from_files({{1, "boot.bin", "", bytes_of("boot")},
                                                {2, "kernel.img", "", bytes_of("kernel")},
                                                {3, "rootfs.img", "", bytes_of("rootfs")}})
                        .build();
        edit(p);
        p.reseal_header();
        write(p, name);
        return p;
    };
    const Package good = variant("good.qv", [](Package &) {});
    variant("badpay.qv", [](Package &p) { p.bytes[p.entryOffsets[2] + 352] ^= 1; });
    variant("badkernel.qv", [](Package &p) { p.bytes[p.entryOffsets[1] + 352] ^= 1; });
    variant("huge.qv", [](Package &p) { p.set_be32(Package::entry_field(0, 8), 0xFFFFFFF0u); });
    variant("many.qv", [](Package &p) { p.set_file_num(300); });
    variant("claims.qv", [](Package &p) {  // boot.bin claims more payload than it has
        p.set_be32(p.entryOffsets[0] + 340, 0x10000);
        p.reseal_bin_header(p.entryOffsets[0]);
    });
    std::string bin = str(good.bytes).substr(good.entryOffsets[0], 352 + 4);  // boot.bin
    bin[200] ^= 1;
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    std::filesystem::create_directories(path("dir"));
    write(PackageBuilder()
              .add(SubFile{1, "first", "d1", payload(10, 1)})
              .add_raw(RawDesc{2, 0x100000, 400, 0, 0, 0})
              .add(SubFile{3, "kernel.img", "d3", bytes_of("k")})
              .build(),
          "hole.qv");
    std::vector<SubFile> subs;
    for (std::uint32_t i = 0; i < 260; ++i)
        subs.push_back({i + 1, "n" + std::to_string(i), "", payload(8, 9)});
    Package ext = PackageBuilder::from_files(subs).build();
    ext.bytes[ext.extOffsets[1] + 352] ^= 1;
    write(ext, "extbad.qv");
    ext = PackageBuilder::from_files(subs).build();
    ext.set_be32(ext.dummyOffset + 16, 0xFFFFF);  // N claimed in the dummy bin header
    ext.reseal_bin_header(ext.dummyOffset);
    write(ext, "extlong.qv");
    std::filesystem::create_symlink("target", path("link"));
    std::filesystem::create_symlink("nowhere", path("dangling"));
    std::filesystem::create_symlink("good.qv", path("self"));
    files("in/a", "twenty", "in/b", "nine", "in/c", "minus", "target", "old", "keep", "old",
          "d/boot.bin", "old", "d2/boot.bin", "old", "m1.txt", "1 a in/a\n1 b in/b\n", "m2.txt",
          "1 a in/a\n2 a in/b\n", "m3.txt", "0xABEF a in/a\n", "m4.txt", "1 x/y in/a\n", "m5.txt",
          "020 a in/a\n0009 b in/b\n-1 c in/c\n", "damaged.bin", bin, "big.qv", "", "short.qv",
          std::string(351, '\0'), "empty.qv", "");
    std::filesystem::resize_file(path("big.qv"), std::uintmax_t{3} << 30);  // past 2 GiB, sparse
    std::vector<Row> rows = {
        {"verify badpay.qv", 1},
        {"extract badpay.qv --id 3 --strip -o -", 1, "badpay.qv: sub-file 0x00000003: "},
        {"extract good.qv --id 7 -o x", 1, "good.qv: no sub-file with ID 0x00000007"},
        {"strip good.qv -o s", 1, "good.qv: bin header checksum mismatch"},
        // Checks before writing; --all reports each failure and goes on.
        {"extract badkernel.qv --id 2 --strip -o k", 1, "file crc is not correct"},
        {"extract badkernel.qv --all -o out", 1, "header entry 1 (0x00000002): "},
        {"strip damaged.bin -o -", 1},
        // The same short or empty file, the same words from every command.
        {"info short.qv", 1, "short.qv: not a package: 351 bytes, shorter than the"},
        {"list short.qv", 1, "short.qv: not a package: 351 bytes"},
        {"extract short.qv --id 1 -o -", 1, "short.qv: not a package: 351 bytes"},
        {"verify short.qv", 1, "", {"(not a package: 351 bytes, shorter than the"}},
        {"verify --report empty.qv", 1},
        {"list empty.qv", 1, "empty.qv: not a package: 0 bytes"},
        {"extract huge.qv --id 1 -o -", 1,
         "huge.qv: sub-file 0x00000001: offset 6180 + length 4294967280 runs past the end of the "
         "package"},
        {"info extlong.qv", 1, "", {"invalid (the second descriptor table runs past the end"}},
        {"info many.qv", 1, "", {"entries:         300 (more than 256", "header checksum: ok"}},
        {"verify big.qv", 2, "big.qv: 3221225472 bytes: larger than 2 GiB"},
        // An unreadable row is reported, and the rest goes on.
        {"list hole.qv", 0, "", {"bin header past the end of the file", "kernel.img"}},
        {"extract hole.qv --name rootfs.img -o -", 1,
         "no sub-file with name 'rootfs.img' among those that can be read; the bin header of "
         "header entry 1 (0x00000002) lies past the end"},
        {"verify --report extbad.qv",
         1,
         "",
         {"extension       1  0x00000101", "payload-crc-mismatch"}},
        {"verify --report extbad.qv", 1, "", {"report: 260 sub-files, 1 failing"}},
        // -o: a device is written in place, a link followed, a dangling link or the input refused.
        {"extract good.qv --id 2 --strip -o /dev/null", 0},
        {"extract good.qv --id 2 --strip -o link", 0},
        {"extract good.qv --id 2 -o dangling", 2, "dangling: is a symbolic link to a missing file"},
        {"extract good.qv --id 2 -o self", 2, "self: is the same file as the input"},
        {"extract good.qv --id 1 -o good.qv", 2, "good.qv: is the same file as the input"},
        // One extraction is all or nothing; into a directory by its name, replacing only with
        // --force.
        {"extract claims.qv --id 1 --strip -o keep", 1, "claims.qv: sub-file 0x00000001: "},
        {"extract good.qv --id 2 --strip -o dir", 0},
        {"extract good.qv --id 1 -o d", 2, "already exists"},
        {"extract good.qv --id 1 --force -o d2", 0},
        {"extract good.qv --all -o all/", 0, "", {"all/boot.bin\n"}},  // no doubled '/'
        {"info fifo", 2, "fifo: is a FIFO, not a regular file"},
        {"info /dev/null", 2, "/dev/null: is a character device"},
        {"list dir", 2, "dir: is a directory"},
        {"list nothere.qv", 2, "nothere.qv: No such file or directory"},
        {"extract good.qv --id 08x -o -", 2, "--id: '08x' is not"},
        {"verify -j 0 good.qv", 2, "--jobs"},
        {"extract --help", 0, "", {"--strip"}},
        {"pack --manifest m5.txt -o num.qv", 0},
        {"verify -j 010 num.qv", 0},
        {"extract num.qv -o - --id", 2, "", {}, {" 1"}},
        {"extract num.qv -o - --id", 2, "", {}, {""}},
        // pack refuses inputs that would give an invalid or ambiguous package.
        {"pack -o out.qv --manifest m1.txt", 2, "file ID 0x00000001 is already used by m1.txt:1"},
        {"pack -o out.qv --manifest m2.txt", 2, "name 'a' is already used by m2.txt:1"},
        {"pack -o out.qv --manifest m3.txt", 2, "file ID 0x0000abef is reserved"},
        {"pack -o out.qv --manifest m4.txt", 2, "contains '/' or a control character"},
        {"pack -o out.qv --first-id 0xFFFFFFFF in/a in/b", 2, "would pass 0xffffffff"},
        {"pack -o out.qv in/a in/a", 2, "name 'a' is already used by in/a"},
        {"pack --product-type 0x10 in/a -o q.qv", 0}};
    for (const char *cmd : {"list fifo", "verify fifo", "extract fifo --all -o x",
                            "strip fifo -o x", "pack fifo -o x"})
        rows.push_back({cmd, 2, "fifo: is a FIFO"});
    for (const char *cmd : {"strip - -o x", "pack - -o x", "pack --manifest - -o x"})
        rows.push_back({cmd, 2, "-: this command does not read standard input"});
    // Usage errors; numbers are decimal or 0x-hex, and a leading zero is not octal.
    for (const char *cmd :
         {"", "frobnicate", "verify", "verify --bogus good.qv", "extract good.qv -o x",
          "extract good.qv --id 1 --all -o x", "extract good.qv --id banana -o x",
          "info --field colour good.qv", "extract num.qv -o - --id 0x",
          "extract num.qv -o - --id 4294967296", "extract num.qv -o - --id -2147483649",
          "extract num.qv -o - --id 1e3", "extract num.qv -o - --id 0o7"})
        rows.push_back({cmd, 2});
    check(rows);
    for (const char *cmd : {"--version", "version"})
        expect_has(sh(cmd).out, "rerazera " RERAZERA_VERSION "\nlibrerazera ", "\nlibsodium ",
                   "\ncrc kernel ");
    // New spellings, the old ones still working with a note, the parser's words never shown.
    check(
        {{"extract good.qv --all -C allc", 0, "", {"allc/boot.bin\n"}},
         {"extract good.qv --id 2 -C one", 0, "", {"one/kernel.img\n"}},
         {"extract good.qv --all -o olddir", 0, "-o is deprecated", {"olddir/boot.bin\n"}},
         {"strip --force damaged.bin -o /dev/null", 0, "strip's --force is deprecated"},
         {"strip --no-check damaged.bin -o /dev/null", 0},
         {"extract good.qv --id 1 -o a -C b", 2, "--output cannot be used with --directory"},
         {"extract good.qv --id 1", 2, "extract: -o FILE or -C DIR is missing"},
         {"info --field", 2, "info: --field needs a value, one of size"},
         {"extract good.qv --id", 2, "extract: --id needs a value\nRun 'rerazera extract --help'"},
         {"info -o x good.qv", 2, "info: unknown option: -o"},
         {"-x verify good.qv", 2, "unknown option: -x"},
         {"diff good.qv", 2, "diff: the new package is missing"},
         {"list good.qv good.qv", 2, "list: unexpected argument: good.qv"}});
    for (const char *cmd : {"info --field", "extract good.qv --id", "diff good.qv", "info"}) {
        const std::string err = sh(cmd).err;
        for (const char *leak : {"required", "TEXT", "At Most", "received", "Expected"})
            EXPECT_EQ(err.find(leak), std::string::npos) << cmd << ": " << err;
    }
    EXPECT_EQ(sh("strip --help").out.find("--force"), std::string::npos);
    for (const char *cmd : {"info", "list", "verify", "diff"}) {
        const std::string help = sh(std::string(cmd) + " --help").out;
        const std::size_t q = help.find("-q,--quiet");
        ASSERT_NE(q, std::string::npos) << cmd;
        EXPECT_EQ(help.substr(q, help.find('\n', q) - q).find("-o"), std::string::npos) << cmd;
        expect_has(help, "-v,--verbose");
    }
    check({{"verfy x.qv", 2, "unknown subcommand 'verfy'; did you mean 'verify'?"},
           {"help verify", 0, "", {"--json", "-v,--verbose"}},
           {"info --field entries --field size --field entries good.qv",
            0,
            "",
            {"3\n" + std::to_string(std::filesystem::file_size(path("good.qv"))) + "\n3\n"}}});
    check_out({"strip --force damaged.bin -o -", "boot",
               "extract hole.qv --name kernel.img --strip -o -", "k",
               "extract badkernel.qv --id 2 --strip --no-check -o -", "jernel",
               "info --field product-type q.qv", "16\n", "extract num.qv --id 020 --strip -o -",
               "twenty", "extract num.qv --id 0009 --strip -o -", "nine",
               "extract num.qv --id 0xFFFFFFFF --strip -o -", "minus",
               "extract num.qv --id -1 --strip -o -", "minus"});
    for (const char *absent : {"out.qv", "x", "k", "out/kernel.img", "nowhere"})
        EXPECT_FALSE(std::filesystem::exists(path(absent))) << absent;
    for (const auto &[f, size] :
         {std::pair{"out/boot.bin", 356u}, {"out/rootfs.img", 358u}, {"d2/boot.bin", 356u}}) {
        EXPECT_EQ(text_of(path(f)).size(), size) << f;
    }
    expect_files("target", "kernel", "keep", "old", "dir/kernel.img", "kernel", "d/boot.bin",
                 "old");
    EXPECT_EQ(rztest::read_file(path("good.qv")), good.bytes);  // never an output
    EXPECT_TRUE(std::filesystem::is_symlink(path("link")));
    struct stat st {};
    EXPECT_TRUE(::stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
    entries(dir_.path());
    expect_at(js("list --json hole.qv"), "/entries/1/readable", false, "/entries/1/name", nullptr,
              "/entries/2/name", "kernel.img");
    // A write that fails on standard output is trouble, for every writer.
    for (const char *cmd :
         {"verify --json good.qv", "list good.qv", "info good.qv", "extract good.qv --id 1 -o -"}) {
        const Outcome full = sh(cmd, {}, "/dev/full");
        EXPECT_EQ(full.status, 2) << cmd;
        expect_has(full.err, "No space left on device");
    }
    // A FIFO given as output is written in place, for a reader already waiting.
    std::string got;
    std::thread reader([&] { got = text_of(path("fifo")); });
    Outcome r = sh("extract good.qv --name rootfs.img --strip -o fifo");
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(got, "rootfs");
    EXPECT_TRUE(::lstat(path("fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    // -v lines carry their package; the tool's own lookups add no library lines.
    r = sh("-v verify -j 2 good.qv badpay.qv");
    EXPECT_EQ(r.status, 1);
    expect_has(r.err, "rerazera: badpay.qv: [RERAZERA]");
    for (std::size_t at = 0; (at = r.err.find("[RERAZERA]", at)) != std::string::npos; ++at) {
        const std::size_t line = r.err.rfind('\n', at) + 1;
        const std::string prefix = r.err.substr(line, at - line);
        EXPECT_TRUE(prefix == "rerazera: badpay.qv: " || prefix == "rerazera: good.qv: ") << prefix;
    }
    r = sh("-v extract good.qv --id 9 -o -");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("[RERAZERA]"), std::string::npos) << r.err;
}

// Names from a package never leave the output directory, never collide, replace only with --force.
TEST_F(ToolTest, ExtractAllNames) {
    PackageBuilder b;
    b.add(SubFile{1, "../escape", "", bytes_of("one")})
        .add(SubFile{2, "/etc/passwd", "", bytes_of("two")})
        .add(SubFile{3, "", "", bytes_of("three")})
        .add(SubFile{4, "..", "", bytes_of("four")});
    for (std::uint32_t i = 5; i <= 9; ++i)
        b.add(SubFile{i, "same", "", bytes_of(std::to_string(i))});
    write(b.add(SubFile{10, "same~3", "", bytes_of("own")}).build(), "evil.qv");
    files("out/same", "mine");
    Outcome r = sh("extract evil.qv --all --strip -o out");
    EXPECT_EQ(r.status, 2);  // out/same could not be used
    EXPECT_FALSE(rztest::file_exists(path("escape")));
    expect_files("out/.._escape", "one", "out/_etc_passwd", "two", "out/0x00000003-header-2",
                 "three", "out/0x00000004-header-3", "four", "out/same", "mine", "out/same~2", "6",
                 "out/same~3", "7", "out/same~4", "8", "out/same~5", "9", "out/same~3~2", "own");
    expect_has(r.err, "contains '/'", "its name is empty; writing", "out/same: already exists",
               "header entry 5 (0x00000006): its name 'same' is taken by an earlier "
               "sub-file; writing 'same~2'");
    r = sh("extract evil.qv --all --strip --force -o out");
    EXPECT_EQ(r.status, 0) << r.err;
    expect_files("out/same", "5");
    EXPECT_EQ(entries(path("out")), 10);
}

// Text from a package reaches the terminal escaped, on every path.
TEST_F(ToolTest, PackageTextIsEscaped) {
    write(PackageBuilder().add(SubFile{1, "x/\x1b]0;pwned\x07y", "d\x1b[2J", {1}}).build(), "e.qv");
    for (const std::string cmd : {"list e.qv", "extract e.qv --all -o out",
                                  "extract e.qv --id 1 -o out", "extract e.qv -o - --name a\x1b"}) {
        const Outcome r = sh(cmd);
        EXPECT_EQ((r.out + r.err).find('\x1b'), std::string::npos) << cmd;
        EXPECT_NE((r.out + r.err).find("\\x1b"), std::string::npos) << cmd << r.out << r.err;
    }
}

// Streamed JSON keeps every key, also for an empty table, an unusable input and odd names.
TEST_F(ToolTest, StreamedJsonKeepsTheSchema) {
    const std::string odd = "tab\there \"quoted\" \\ \x01";
    write(PackageBuilder().add(SubFile{7, odd, "d\n", bytes_of("x")}).build(), "p.qv");
    write(PackageBuilder().build(), "none.qv");
    expect_at(js("list --json p.qv"), "/entries/0/name", odd, "/entries/0/description", "d\n",
              "/entries/0/file_id", 7, "/entries/0/error", nullptr);
    expect_at(js("list --json none.qv"), "/entries", json::array());
    const Outcome r = sh("verify --json none.qv missing.qv p.qv");
    EXPECT_EQ(r.status, 2);
    json j = json::parse(r.out);
    ASSERT_EQ(j["packages"].size(), 3u);
    expect_at(j, "/packages/0/report/subfiles", json::array(), "/packages/1/report", nullptr,
              "/packages/1/result", nullptr, "/packages/1/error", "No such file or directory",
              "/packages/2/report/subfiles/0/dummy", false, "/summary",
              json::parse(R"({"total":3,"ok":2,"failed":1,"unusable":1})"));
}

// Output for scripts: tab-separated rows with escaped fields, no heading on
// request, a JSON summary without per-sub-file records, and a note that puts
// a directory's '@' where it is.
TEST_F(ToolTest, ScriptFriendlyOutput) {
    write(PackageBuilder()
              .add(SubFile{1, "boot.bin", "Boot\tloader", bytes_of("boot")})
              .add(SubFile{0x20, "a b", "", bytes_of("x")})
              .build(),
          "p.qv");
    const std::string row0 = "header\t0\t0x00000001\t6180\t356\t0x0000";
    Outcome r = sh("list --format tsv p.qv");
    ASSERT_EQ(r.status, 0) << r.err;
    expect_has(r.out, "TABLE\tINDEX\tFILE ID\tOFFSET\tLENGTH\tCRC\tNAME\tDESCRIPTION\n" + row0,
               "\tboot.bin\tBoot\\x09loader\n", "header\t1\t0x00000020\t", "\ta b\t\n");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
    r = sh("list --format tsv --no-header p.qv");
    EXPECT_EQ(r.out.rfind(row0, 0), 0u) << r.out;
    r = sh("list --no-header p.qv");
    EXPECT_EQ(r.out.rfind("header ", 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;

    // Columns after a name line up by display width: é takes 2 bytes, 日本語 9 for 6 columns.
    write(PackageBuilder()
              .add(SubFile{1, "a", "D", bytes_of("x")})
              .add(SubFile{2, "caf\xc3\xa9", "D", bytes_of("x")})
              .add(SubFile{3, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "D", bytes_of("x")})
              .build(),
          "wide.qv");
    std::istringstream rows(sh("list --no-header wide.qv").out);
    std::vector<std::size_t> at;
    for (std::string line; std::getline(rows, line);)
        at.push_back(line.rfind('D'));
    ASSERT_EQ(at.size(), 3u);
    EXPECT_EQ(at[1], at[0] + 1);
    EXPECT_EQ(at[2], at[0] + 3);
    expect_has(sh("verify --report p.qv").out, "0x00000001        6180         356  0x0000");

    Package bad = PackageBuilder().add(SubFile{1, "boot.bin", "", bytes_of("boot")}).build();
    bad.bytes.back() ^= 1;
    write(bad, "bad.qv");
    json j = json::parse(sh("verify --json --summary p.qv bad.qv").out);
    expect_at(j, "/packages/0/report", nullptr, "/packages/0/passed", true, "/packages/1/report",
              nullptr, "/packages/1/passed", false, "/summary/failed", 1);
    j = json::parse(sh("verify --json --summary - <p.qv").out);
    expect_at(j, "/packages/0/passed", true, "/packages/0/report", nullptr);
    // Files streamed give what the whole-file check gives, byte for byte.
    const Outcome whole = sh("verify p.qv bad.qv"), streamed = sh("verify --stream p.qv bad.qv");
    EXPECT_EQ(streamed.status, 1);
    EXPECT_EQ(streamed.out, whole.out);
    check({{"verify --stream --report p.qv", 2, "--report cannot be used with --stream"},
           {"verify --stream --json p.qv", 2, "--stream: checks bytes as they pass"},
           {"verify --stream --json --summary p.qv", 0}});

    std::filesystem::create_directories(path("job@2"));
    write(PackageBuilder().add(SubFile{1, "boot.bin", "", bytes_of("boot")}).build(), "job@2/p.qv");
    std::filesystem::copy_file(path("p.qv"), path("a@b.qv"));
    check({{"verify job@2/p.qv",
            1,
            "",
            {"the '@' is in the directory part, job@2/, not in the file name",
             "cd 'job@2/' && rerazera verify 'p.qv'"}},
           {"verify a@b.qv", 1, "", {"FAILED (result 13)"}},
           {"list --json --format tsv p.qv", 2, "--json cannot be used with --format"},
           {"list --format csv p.qv", 2, "csv"},
           {"verify --summary p.qv", 2, "--summary needs --json"}});
    EXPECT_EQ(sh("verify a@b.qv").out.find("directory part"), std::string::npos);
}

// Entries that share bytes: extract --all refuses, before writing anything,
// to write more than 4 times the package; unpack writes the shared payload once.
TEST_F(ToolTest, SharedBytesAreNotMultiplied) {
    write(rerazera::writer::identical_ranges(300, 4000), "same.qv");
    write(rerazera::writer::staggered_starts(40, 20000), "stagger.qv");
    check({{"extract same.qv --all -o a", 1,
            "extension entry 1 (0x00005000) shares bytes with extension entry 0 (0x00005000); "
            "nothing extracted"},
           {"extract stagger.qv --all --strip -o b", 1, "more than 4 times the package's"},
           {"unpack same.qv -C u", 0},
           {"extract same.qv --id 1 --allow-overlap -o x", 2, "--allow-overlap needs --all"},
           {"-q extract same.qv --all --allow-overlap -o c", 0}});
    EXPECT_FALSE(std::filesystem::exists(path("a")));
    EXPECT_FALSE(std::filesystem::exists(path("b")));
    EXPECT_EQ(entries(path("c")), 300);
    EXPECT_EQ(entries(path("u")), 2);  // big and manifest.json

    // The report of 3,000 failing entries over one payload: every one is
    // reported, the first in the library's words; once twice the file has
    // been summed again for words, the rest are named by their reason.
    Package bad = rerazera::writer::identical_ranges(3000, 50000);
    bad.bytes[bad.extOffsets[0] + 400] ^= 1;
    write(bad, "bad.qv");
    const Outcome r = sh("verify --json bad.qv");
    EXPECT_EQ(r.status, 1);
    const json report = json::parse(r.out)["packages"][0]["report"];
    ASSERT_EQ(report["subfiles"].size(), 256u + 3000u);
    EXPECT_EQ(report["failures"], 3000);
    const json &first = report["subfiles"][256], &last = report["subfiles"][256 + 2999];
    EXPECT_EQ(first["result"], "payload-crc-mismatch");
    EXPECT_NE(first["message"].get<std::string>().find("crc"), std::string::npos) << first;
    EXPECT_EQ(last["result"], "payload-crc-mismatch");
    EXPECT_EQ(last["message"], "payload-crc-mismatch");
}

// diff pairs entries by file ID and names what changed; a CRC-16 collision is still found.
TEST_F(ToolTest, DiffNamesEachChange) {
    const auto variant = [&](const std::string &name, auto edit) {
        std::vector<SubFile> subs = {{1, "boot.bin", "Boot", payload(100, 1)},
                                     {2, "kernel.img", "Kernel", payload(200, 2)},
                                     {3, "rootfs.img", "Root", payload(300, 3)}};
        edit(subs);
        write(PackageBuilder::from_files(subs).build(), name);
    };
    variant("a.qv", [](auto &) {});
    variant("same.qv", [](auto &) {});
    variant("payload.qv", [](auto &s) { s[1].payload[7] ^= 1; });
    // XMODEM's generator 0x11021 XORed into a payload leaves its checksum as it was.
    variant("collide.qv", [](auto &s) {
        for (const auto &[at, bits] : {std::pair{20, 0x01}, {21, 0x10}, {22, 0x21}})
            s[2].payload[at] ^= bits;
    });
    variant("renamed.qv", [](auto &s) { s[1].name = "vmlinuz\x1b"; });
    variant("described.qv", [](auto &s) { s[1].desc = "Kernel 2"; });
    variant("aux.qv", [](auto &s) { s[0].aux0 = 7; });
    variant("added.qv", [](auto &s) { s.push_back({9, "extra", "", bytes_of("x")}); });
    variant("removed.qv", [](auto &s) { s.pop_back(); });
    variant("longer.qv", [](auto &s) { s[1].payload.push_back(0); });  // rootfs moves
    variant("swapped.qv", [](auto &s) { std::swap(s[0], s[2]); });
    Package stale = PackageBuilder::from_files({{1, "boot.bin", "Boot", payload(100, 1)},
                                                {2, "kernel.img", "Kernel", payload(200, 2)},
                                                {3, "rootfs.img", "Root", payload(300, 3)}})
                        .build();
    stale.bytes[stale.entryOffsets[2] + 400] ^= 1;  // bytes change, stored checksums do not
    write(stale, "stale.qv");
    files("short.qv", "tiny", "tail1.qv", text_of(path("a.qv")) + "x", "tail2.qv",
          text_of(path("a.qv")) + "y");
    write(PackageBuilder().add({1, "a", "", {1}}).add({1, "b", "", {2}}).build(), "twice.qv");
    write(PackageBuilder().add({1, "a", "", {1}}).build(), "once.qv");
    // Past the first 1 MiB piece of the comparison, under an unchanged checksum.
    Bytes big = payload((2u << 20) + 3, 4);
    write(PackageBuilder().add({1, "big", "", big}).build(), "big1.qv");
    for (const auto &[back, bits] : {std::pair{3, 0x01}, {2, 0x10}, {1, 0x21}})
        big[big.size() - back] ^= bits;
    write(PackageBuilder().add({1, "big", "", big}).build(), "big2.qv");
    // A bin header past the end of the file has neither name nor description.
    write(PackageBuilder().add({1, "a", "A", {1}}).add({2, "b", "B", {2}}).build(), "hole1.qv");
    write(PackageBuilder().add({1, "a", "A", {1}}).add_raw({2, 0x100000, 353, 0, 0, 0}).build(),
          "hole2.qv");
    check({{"diff a.qv same.qv", 0, "", {"summary: identical", "3 same"}},
           // The same entries, but not the same bytes: identical means byte for byte.
           {"diff tail1.qv tail2.qv",
            1,
            "",
            {"bytes   outside the entries' sub-files differ", "different, 0 header fields"}},
           // A repeated ID pairs its occurrences in order.
           {"diff twice.qv once.qv", 1, "", {"removed 0x00000001 'b' (header entry 1)", "1 same"}},
           {"diff big1.qv big2.qv",
            1,
            "",
            {"'big' (header entry 0): payload differs under the same"}},
           {"diff hole1.qv hole2.qv",
            1,
            "",
            {"; bin header differs: name 'b' -> (unreadable), description 'B' -> (unreadable)\n"}},
           {"diff a.qv payload.qv",
            1,
            "",
            {"changed 0x00000002 'kernel.img' (header entry 1): checksum 0x0000",
             "; payload differs\n", "2 same"}},
           {"diff a.qv collide.qv",
            1,
            "",
            {"0x00000003 'rootfs.img' (header entry 2): payload differs under the same length "
             "and checksum\n"}},
           // A damaged side is named with the library's verdict; the other passes.
           {"diff a.qv stale.qv",
            1,
            "",
            {"verdict old: ok\nverdict new: FAILED (result -1): file crc is not correct. "
             "fileID =0x3; Info: System software CRC check failed!\n",
             "(header entry 2): payload differs under the same length and checksum\n"}},
           {"diff a.qv renamed.qv",
            1,
            "",
            {"bin header differs: name 'kernel.img' -> 'vmlinuz\\x1b'; payload identical\n"}},
           {"diff a.qv described.qv",
            1,
            "",
            {"changed 0x00000002 'kernel.img' (header entry 1): bin header differs: description "
             "'Kernel' -> 'Kernel 2'; payload identical\n"}},
           {"diff a.qv aux.qv", 1, "", {"(header entry 0): aux0 0x00000000 -> 0x00000007\n"}},
           {"diff a.qv added.qv", 1, "", {"header  entries: 3 -> 4", "added   0x00000009 'extra'"}},
           {"diff a.qv removed.qv", 1, "", {"removed 0x00000003 'rootfs.img' (header entry 2)\n"}},
           {"diff a.qv longer.qv",
            1,
            "",
            {"length 552 -> 553, checksum 0x0000", "; bin header differs: data length 200 -> 201\n",
             "1 moved", "--moves lists"}},
           {"diff --moves a.qv longer.qv", 1, "", {"moved   0x00000003", "offset 7184 -> 7185"}},
           {"diff a.qv swapped.qv",
            1,
            "",
            {"position header entry 0 -> header entry 2, offset 6180 -> 7384", "1 moved"}},
           {"diff a.qv missing.qv", 2, "missing.qv: No such file or directory"},
           {"diff short.qv a.qv", 2, "short.qv: not a package: 4 bytes"},
           {"diff - - <a.qv", 2, "standard input can be only one"},
           {"diff a.qv", 2}});
    Outcome r = sh("diff --json a.qv longer.qv");
    EXPECT_EQ(r.status, 1);
    const json j = json::parse(r.out);
    expect_at(j, "/format", "rerazera-diff", "/version", 2, "/old/file", "a.qv", "/header/0/field",
              "size", "/header/0/old", 7836, "/entries/0/status", "changed", "/entries/0/changes",
              json{"length", "checksum"}, "/entries/0/new/length", 553, "/entries/0/new/data_len",
              201, "/entries/0/bin_header_identical", false, "/entries/0/payload_identical", false,
              "/old/passed", true, "/old/result", 0, "/entries/1/status", "moved",
              "/entries/1/old/name", "rootfs.img", "/summary",
              json::parse(R"({"identical":false,"complete":true,"header_fields":2,"changed":1,)"
                          R"("moved":1,"added":0,"removed":0,"same":1})"));
    expect_at(js("diff --json a.qv same.qv"), "/entries", json::array(), "/summary/identical",
              true);
    expect_at(json::parse(sh("diff --json a.qv added.qv").out), "/entries/0/old", nullptr,
              "/entries/0/new/index", 3, "/entries/0/status", "added",
              "/entries/0/payload_identical", nullptr);
    expect_at(json::parse(sh("diff --json a.qv described.qv").out), "/entries/0/changes",
              json{"bytes", "description"}, "/entries/0/bin_header_identical", false,
              "/entries/0/payload_identical", true);
    expect_at(json::parse(sh("diff --json a.qv stale.qv").out), "/new/passed", false, "/new/result",
              -1, "/old/verdict", "Info: System software CRC check OK!",
              "/entries/0/bin_header_identical", true, "/entries/0/payload_identical", false);
    expect_at(json::parse(sh("diff --json hole1.qv hole2.qv").out), "/entries/0/old/name", "b",
              "/entries/0/new/name", nullptr, "/entries/0/new/description", nullptr);

    // One changed extend subfile among hundreds; an invalid extension is trouble.
    std::vector<SubFile> subs;
    for (std::uint32_t i = 0; i < 300; ++i)
        subs.push_back({i + 1, "n" + std::to_string(i), "", payload(8, 9)});
    write(PackageBuilder::from_files(subs).build(), "ext1.qv");
    subs[280].aux1 = 5;
    Package ext = PackageBuilder::from_files(subs).build();
    write(ext, "ext2.qv");
    ext.set_be32(ext.dummyOffset + 16, 0xFFFFF);
    ext.reseal_bin_header(ext.dummyOffset);
    write(ext, "extbad.qv");
    expect_at(json::parse(sh("diff --json ext1.qv ext2.qv").out), "/entries/0/changes",
              json{"aux1"}, "/entries/0/new/table", "extension", "/entries/0/new/index", 25,
              "/entries/0/file_id", 0x119, "/summary/same", 299);
    check(
        {{"diff ext1.qv ext2.qv",
          1,
          "",
          {"changed 0x00000119 'n280' (extension entry 25): aux1 0x00000000 -> 0x00000005",
           "1 changed, 0 moved, 0 added, 0 removed, 299 same"}},
         {"diff ext1.qv extbad.qv", 2, "extbad.qv: extension unreadable", {"incomplete"}},
         {"diff a.qv ext1.qv",
          1,
          "",
          {"header  extension: none -> valid", "header  extend subfiles: 0 -> 45", "297 added"}}});
}

// '-' reads the package from standard input, for every command; --save keeps it only if it passes.
TEST_F(ToolTest, PackageFromStandardInput) {
    Package pkg = PackageBuilder::from_files({{1, "boot.bin", "", bytes_of("boot")},
                                              {2, "kernel.img", "", bytes_of("kernel")}})
                      .build();
    write(pkg, "good.qv");
    pkg.bytes[pkg.entryOffsets[1] + 353] ^= 1;
    write(pkg, "bad.qv");
    std::filesystem::create_directories(path("dir"));
    files("empty", "");
    check({{"info - <good.qv", 0, "", {"file:            -\n", "sub-files:       2"}},
           {"list --json - <good.qv", 0, "", {R"("file": "-")", R"("name": "kernel.img")"}},
           {"verify - <good.qv", 0, "", {"-: ok"}},
           {"verify good.qv - <bad.qv", 1, "", {"good.qv: ok", "-: FAILED"}},
           {"verify - good.qv - <good.qv", 2, "standard input can be given only once"},
           {"verify --key good.qv - <good.qv", 2, "-: a signature is read from beside its package"},
           {"diff good.qv - <bad.qv",
            1,
            "",
            {"+++ -\n", "'kernel.img' (header entry 1): payload differs"}},
           {"diff - good.qv <good.qv", 0},
           {"list - <empty", 1, "-: not a package: 0 bytes"},
           {"list - <dir", 2, "-: cannot read standard input: Is a directory"},
           {"verify - --save kept.qv <good.qv", 0},
           {"verify - --save refused.qv <bad.qv", 1, "refused.qv: not saved: the package from"},
           {"verify - --save dir <good.qv", 2, "dir: Is a directory"},
           {"verify - --save nodir/x.qv <good.qv", 2,
            "rerazera: nodir/x.qv: cannot create a file in nodir"},
           {"verify good.qv --save x.qv", 2, "--save: keeps a package read from standard input"}});
    check_out({"extract - --id 2 --strip -o - <good.qv", "kernel"});

    // From a pipe, a layout whose bytes are needed twice: refused as a
    // stream, verified with --save, whose copy written while streaming
    // serves the second pass.
    const Package before = rztest::read_twice_package();
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
    for (const auto &[cmd, status, text] :
         {std::tuple{"verify - <pipe", 2, "its bytes are needed twice"},
          std::tuple{"verify - --save twice.qv <pipe", 0, ""}}) {
        std::thread feeder([&] { rztest::write_file(path("pipe"), before.bytes); });
        check({{cmd, status, text}});
        feeder.join();
    }
    EXPECT_EQ(rztest::read_file(path("twice.qv")), before.bytes);
    // The copy goes to TMPDIR; one that cannot take it is trouble, named.
    const char *tmp = std::getenv("TMPDIR");
    const std::string saved = tmp != nullptr ? tmp : "";
    ::setenv("TMPDIR", path("nowhere").c_str(), 1);
    // verify streams standard input: it needs no temporary file at all.
    check(
        {{"list - <good.qv", 2, "-: cannot create a file in " + path("nowhere")},
         {"verify - <good.qv", 0, "", {"-: ok"}},
         {"verify good.qv - <bad.qv", 1, "", {"-: FAILED (result -1)", "file crc is not correct"}},
         {"verify - <empty", 1, "", {"-: FAILED", "not a package: 0 bytes"}},
         {"verify - <dir", 2, "-: cannot read standard input: Is a directory"}});
    tmp != nullptr ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
    EXPECT_EQ(rztest::read_file(path("kept.qv")), rztest::read_file(path("good.qv")));
    for (const char *absent : {"refused.qv", "x.qv", "nodir"})
        EXPECT_FALSE(std::filesystem::exists(path(absent))) << absent;
    entries(dir_.path());  // no temporary copy left beside kept.qv
}

// Several --id and --name in one call; -q prints failures, errors and the data asked for.
TEST_F(ToolTest, ManySubfilesAndQuiet) {
    Package pkg = PackageBuilder::from_files({{1, "boot.bin", "", bytes_of("boot")},
                                              {2, "kernel.img", "", bytes_of("kernel")},
                                              {3, "../up", "", bytes_of("up")}})
                      .build();
    write(pkg, "p.qv");
    pkg.bytes[pkg.entryOffsets[1] + 353] ^= 1;
    write(pkg, "bad.qv");
    check(
        {{"extract p.qv --id 1 --name kernel.img --id 9 --strip -C many",
          1,
          "p.qv: no sub-file with ID 0x00000009",
          {"many/boot.bin\n", "many/kernel.img\n"}},
         {"extract p.qv --id 1 --id 2 -o -", 2, "-o -: takes a single sub-file; give a directory"},
         {"extract p.qv --id 1 --id x -C many", 2, "--id: 'x' is not"},
         {"extract p.qv --id 1 -o sub.bin", 0}});
    expect_files("many/boot.bin", "boot", "many/kernel.img", "kernel");
    const std::string failed =
        "bad.qv: FAILED (result -1)\n  file crc is not correct. fileID =0x2\n"
        "  Info: System software CRC check failed!\n";
    // Command, status, its whole stdout, and what stderr holds ("" for nothing).
    const std::tuple<std::string, int, std::string, std::string> rows[] = {
        {"-q verify p.qv", 0, "", ""},
        {"verify -q p.qv bad.qv missing.qv", 2, failed, "missing.qv: No such file"},
        {"-q verify --stream p.qv bad.qv", 1, failed, ""},
        {"-q verify - <bad.qv", 1, "-" + failed.substr(6), ""},
        {"info --quiet --field entries --field header p.qv", 0, "3\nok\n", ""},
        {"extract -q p.qv --all --strip -C all", 0, "", ""},  // no paths, no note on ../up
        {"--quiet extract p.qv --id 1 --id 7 --strip -C q", 1, "",
         "no sub-file with ID 0x00000007"},
        {"-q extract p.qv --name boot.bin --strip -o -", 0, "boot", ""},
        {"diff -q p.qv p.qv", 0, "", ""},
        {"-q diff p.qv bad.qv", 1,
         "verdict new: FAILED (result -1): file crc is not correct. fileID =0x2; Info: System "
         "software CRC check failed!\nchanged 0x00000002 'kernel.img' (header entry 1): payload "
         "differs under the same length and checksum\n",
         ""},
        {"-q strip --force sub.bin -o /dev/null", 0, "", ""}};  // no deprecation note
    for (const auto &[cmd, status, out, err] : rows) {
        const Outcome r = sh(cmd);
        EXPECT_EQ(r.status, status) << cmd << r.err;
        EXPECT_EQ(r.out, out) << cmd;
        EXPECT_TRUE(err.empty() ? r.err.empty() : r.err.find(err) != std::string::npos)
            << cmd << ": " << r.err;
    }
    expect_files("all/.._up", "up");
    // Listings, reports and documents asked for are the same with -q.
    for (const char *cmd : {"info p.qv", "list p.qv", "list --format tsv p.qv",
                            "verify --json p.qv bad.qv", "diff --json p.qv bad.qv"}) {
        const Outcome loud = sh(cmd), quiet = sh(std::string("-q ") + cmd);
        EXPECT_FALSE(loud.out.empty()) << cmd;
        EXPECT_EQ(quiet.out, loud.out) << cmd;
        EXPECT_EQ(quiet.status, loud.status) << cmd;
    }
    // --report with -q: the failing package's table, nothing of the one that passes.
    const Outcome r = sh("-q verify --report p.qv bad.qv");
    EXPECT_EQ(r.out.rfind(failed, 0), 0u) << r.out;
    expect_has(r.out, "payload-crc-mismatch", "report: 3 sub-files, 1 failing");
    EXPECT_EQ(r.out.find("p.qv"), std::string::npos) << r.out;
}

// The completion script loads in bash and completes subcommands, options and files.
TEST_F(ToolTest, BashCompletion) {
    files("pkg.qv", "");
    write(PackageBuilder().add({0x20, "boot.bin", "", {1}}).build(), "real.qv");
    for (const auto &[line, want] : {std::pair{"rerazera di", "diff"},
                                     {"rerazera extract real.qv --name b", "boot.bin"},
                                     {"rerazera extract real.qv --id 0x", "0x00000020"},
                                     {"rerazera verify --ve", "--verbose"},
                                     {"rerazera extract real.qv -", "--directory"},
                                     {"rerazera -q diff --j", "--json"},
                                     {"rerazera extract pkg.qv --na", "--name"},
                                     {"rerazera verify pk", "pkg.qv"},
                                     {"rerazera list --format t", "tsv"}}) {
        files("c.sh", std::string("PATH=") +
                          std::filesystem::path(RERAZERA_TOOL).parent_path().string() +
                          ":$PATH\nsource " + RERAZERA_COMPLETION + "\nCOMP_WORDS=(" + line +
                          ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_rerazera\n"
                          "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
        std::string out;
        FILE *p = ::popen(("cd " + dir_.path() + " && bash c.sh").c_str(), "r");
        ASSERT_NE(p, nullptr);
        for (int c; (c = std::fgetc(p)) != EOF;)
            out += static_cast<char>(c);
        EXPECT_EQ(::pclose(p), 0) << line;
        expect_has(out, std::string(want) + "\n");
    }
}

// Sub-files placed by hand, each after `gap` bytes of `fill`; `tail` bytes of 0x5a end the file.
Package placed(const std::vector<std::tuple<SubFile, std::size_t, std::uint8_t>> &parts,
               std::size_t tail = 0) {
    PackageBuilder b;
    Bytes body;
    for (const auto &[f, gap, fill] : parts) {
        body.insert(body.end(), gap, fill);
        const Bytes bin = make_bin_file(f);
        b.add_raw(RawDesc{f.fileId, static_cast<std::uint32_t>(6180 + body.size()),
                          static_cast<std::uint32_t>(bin.size()),
                          crc16(f.payload.data(), f.payload.size()), f.aux0, f.aux1});
        body.insert(body.end(), bin.begin(), bin.end());
    }
    Package p = b.build();
    p.bytes.insert(p.bytes.end(), body.begin(), body.end());
    p.bytes.insert(p.bytes.end(), tail, 0x5a);
    return p;
}

std::vector<SubFile> numbered(std::uint32_t n) {
    std::vector<SubFile> subs;
    for (std::uint32_t i = 0; i < n; ++i)
        subs.push_back(
            {i + 1, "n" + std::to_string(i), "d", Bytes(i % 5, static_cast<std::uint8_t>(i))});
    return subs;
}

// unpack then pack --manifest gives the same bytes, whatever the package holds beside its payloads.
TEST_F(ToolTest, UnpackPackIsByteIdentical) {
    const SubFile a{1, "a", "first", bytes_of("alpha"), 7, 0xFFFFFFFF},
        b{2, "b", "", bytes_of("bb")};
    std::vector<std::pair<std::string, Package>> rows = {
        {"plain", PackageBuilder::from_files({a, b, {3, "c", "third", payload(3000, 3)}}).build()},
        {"gaps", placed({{a, 100, 0}, {b, 37, 0xEE}, {{3, "c", "", {}}, 0, 0}}, 11)},
        {"odd names", PackageBuilder()
                          .add({1, "with \"quotes\"", "tab\there", bytes_of("q")})
                          .add({2, "a b  c", "\xff\xfe not UTF-8", bytes_of("s")})
                          .add({3, "caf\xe9 \xc3", "", bytes_of("r")})
                          .add({4, "manifest.json", "", bytes_of("m")})
                          .build()},
        {"extension of 3000", PackageBuilder::from_files(numbered(3000)).build()},
        {"empty extension",
         PackageBuilder::from_files(numbered(255)).with_empty_extension().build()},
        {"empty entries",
         PackageBuilder().add(a).add_raw({9, 0x1234, 0, 0xBEEF, 1, 2}).add(b).build()},
        {"no entries", PackageBuilder().build()}};
    Package junk = PackageBuilder::from_files(numbered(300)).build();
    for (std::size_t at : {0u, 10u, 29u})  // uninterpreted header bytes
        junk.bytes[at] = 0xA5;
    junk.bytes[junk.entryOffsets[0] + 1] = 1;          // bin header bytes nobody reads
    junk.bytes[junk.entryOffsets[0] + 244 + 3] = 'Z';  // after the name's terminator
    junk.bytes[junk.entryOffsets[1] + 352] ^= 1;       // a payload whose checksum fails
    junk.bytes[junk.entryOffsets[2] + 250] ^= 1;       // a bin header whose checksum fails
    junk.bytes[junk.tableOffset + 2] = 0x77;           // the table's preamble
    junk.bytes[junk.dummyOffset + 30] = 0x66;          // the dummy bin header
    junk.reseal_bin_header(junk.entryOffsets[0]);
    junk.reseal_bin_header(junk.dummyOffset);
    junk.reseal_table();
    junk.reseal_header();
    rows.emplace_back("reserved bytes and failing checksums", junk);
    Package full =
        placed({{a, 0, 0}, {{2, std::string(95, 'n'), std::string(127, 'd'), {1}}, 0, 0}}, 9);
    full.set_be32(Package::entry_field(1, 8), 352 + 1 + 9);  // the tail is slack of entry 1
    full.bytes[full.entryOffsets[1] + 244 + 95] = 'n';       // fields without a terminator
    full.bytes[full.entryOffsets[1] + 116 + 127] = 'd';
    full.reseal_bin_header(full.entryOffsets[1]);
    full.reseal_header();
    rows.emplace_back("slack and full-width fields", full);
    files("in/x", "ex", "in/y", "why", "list.txt", "5 x in/x\n6 y in/y Second\n");
    ASSERT_EQ(sh("pack --product-type 0x2a --manifest list.txt -o packed.qv").status, 0);
    rows.emplace_back("from pack", Package{});
    rows.back().second.bytes = rztest::read_file(path("packed.qv"));
    // Entries over others' bytes: inside one, identical to one, partly over two, over the header.
    PackageBuilder withShares = PackageBuilder().add(a).add(b).add({3, "c", "", payload(3000, 3)});
    for (std::uint32_t id = 4; id <= 7; ++id)
        withShares.add_raw({id, 0, 0, 0, 0, 0});
    Package mix = withShares.build();
    const std::uint32_t c = mix.entryOffsets[2], from = mix.entryOffsets[0] + 10;
    const std::vector<std::array<std::uint32_t, 3>> sharing = {
        {c, 352 + 3000, mix.be32(Package::entry_field(2, 12))},
        {c + 100, 500, 1},
        {from, mix.entryOffsets[1] + 20 - from, 2},
        {100, 7000, 3}};
    for (std::uint32_t i = 0; i < sharing.size(); ++i)
        for (std::uint32_t f = 0; f < 3; ++f)
            mix.set_be32(Package::entry_field(3 + i, 4 + 4 * f), sharing[i][f]);
    mix.reseal_header();
    rows.emplace_back("shared, partly shared and plain", mix);
    rows.emplace_back("identical ranges", rerazera::writer::identical_ranges(3000, 4000));
    rows.emplace_back("staggered starts", rerazera::writer::staggered_starts(40, 20000));
    rows.emplace_back("header cover", rerazera::writer::header_cover(5000));
    rows.emplace_back("mixed, a failing checksum",
                      rerazera::writer::mixed_ranges(400, 9000, 301, 0));
    rows.emplace_back("100000 entries over 1 MiB",
                      rerazera::writer::identical_ranges(100000, 1u << 20));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].first);
        const std::string n = std::to_string(i);
        write(rows[i].second, n + ".qv");
        Outcome r = sh("unpack " + n + ".qv -C d" + n);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find('\r'), std::string::npos);  // no progress line off a terminal
        r = sh("pack --manifest d" + n + "/manifest.json -o " + n + ".out");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(rztest::read_file(path(n + ".out")), rows[i].second.bytes);
        // The same manifest as version 1 wrote it still packs the same bytes.
        files("d" + n + "/v1.json",
              as_version1(json::parse(text_of(path("d" + n + "/manifest.json")))).dump());
        r = sh("pack --manifest d" + n + "/v1.json -o " + n + ".v1");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(rztest::read_file(path(n + ".v1")), rows[i].second.bytes);
        std::filesystem::remove(path("d" + n + "/v1.json"));
    }
    // Names stay in the manifest, raw bytes as hex; files get extract --all's names.
    const json m = json::parse(text_of(path("d2/manifest.json")));
    expect_at(m, "/format", "rerazera-manifest", "/version", 2, "/entries/0/name",
              "with \"quotes\"", "/entries/0/file", "with \"quotes\"", "/entries/1/description_hex",
              "fffe206e6f74205554462d38", "/entries/2/name_hex", "636166e920c3", "/entries/3/name",
              "manifest.json", "/entries/3/file", "manifest.json~2");
    expect_files("d2/a b  c", "s", "d2/manifest.json~2", "m", "d1/gap-6637.bin",
                 std::string(37, '\xEE'), "d1/gap-7380.bin", std::string(11, 'Z'));
    // Sharing names its owner's position and writes one payload file; without it, no new keys.
    const json shares = json::parse(text_of(path("d10/manifest.json")));
    expect_at(shares, "/entries/3/bytes_of", 2, "/entries/3/at", 0, "/entries/4/bytes_of", 2,
              "/entries/4/at", 100, "/entries/5/range", true, "/entries/6/range", true);
    EXPECT_FALSE(shares["entries"][3].contains("file"));
    EXPECT_EQ(entries(path("d10")), 4);  // a, b, c and the manifest
    for (const char *key : {"bytes_of", "\"at\"", "range"})
        EXPECT_EQ(text_of(path("d0/manifest.json")).find(key), std::string::npos) << key;
    expect_at(json::parse(text_of(path("d7/manifest.json"))), "/header/reserved/0", "a5",
              "/header/reserved/10", "a5", "/header/reserved/29", "a5", "/entries/1/crc_computed",
              0, "/entries/0/reserved/1", "01");
}

// A changed payload moves what follows and gets new checksums; --reflow drops the gaps.
TEST_F(ToolTest, RepackAfterAnEdit) {
    const SubFile a{1, "a", "", bytes_of("alpha"), 5, 6}, b{2, "b", "", bytes_of("bb")};
    const Package orig = placed({{a, 0, 0}, {b, 37, 0xEE}, {{3, "c", "", bytes_of("c")}, 0, 0}}, 9);
    write(orig, "o.qv");
    ASSERT_EQ(sh("unpack o.qv -C d").status, 0);
    files("d/a", "alpha, longer");
    check({{"pack --manifest d/manifest.json -o e.qv", 0},
           {"pack --manifest d/manifest.json --reflow -o r.qv", 0},
           {"verify e.qv r.qv", 0},
           {"pack --manifest d/manifest.json -o d/a", 2, "d/a: is the same file as the input"}});
    const json before = js("list --json o.qv"), after = js("list --json e.qv"),
               tight = js("list --json r.qv");
    const auto field = [](const json &l, int i, const char *k) {
        return l["entries"][i][k].get<std::int64_t>();
    };
    EXPECT_EQ(field(after, 0, "length"), field(before, 0, "length") + 8);
    EXPECT_NE(field(after, 0, "crc"), field(before, 0, "crc"));
    for (const char *k : {"file_id", "offset", "aux0", "aux1"})
        EXPECT_EQ(field(after, 0, k), field(before, 0, k)) << k;
    for (int i : {1, 2}) {
        EXPECT_EQ(field(after, i, "offset"), field(before, i, "offset") + 8);
        EXPECT_EQ(field(after, i, "crc"), field(before, i, "crc"));
        EXPECT_EQ(field(tight, i, "offset"),
                  field(tight, i - 1, "offset") + field(tight, i - 1, "length"));
    }
    const Bytes edited = rztest::read_file(path("e.qv"));
    EXPECT_EQ(edited.size(), orig.bytes.size() + 8);
    EXPECT_EQ(Bytes(edited.end() - 9, edited.end()), Bytes(9, 0x5a));  // the tail moved along
    EXPECT_EQ(rztest::read_file(path("r.qv")).size(), orig.bytes.size() + 8 - 37 - 9);
    // In a package with an extension, its table follows the moves too.
    write(PackageBuilder::from_files(numbered(300)).build(), "x.qv");
    ASSERT_EQ(sh("unpack x.qv -C dx").status, 0);
    files("dx/n3", "three", "dx/n299", "");
    check({{"pack --manifest dx/manifest.json -o x2.qv", 0}, {"verify x2.qv", 0}});
    const json x = js("list --json x.qv"), x2 = js("list --json x2.qv");
    EXPECT_EQ(field(x2, 3, "length"), field(x, 3, "length") + 2);
    EXPECT_EQ(field(x2, 300, "length"), 352);  // n299, the last
    for (int i : {4, 255, 256, 300})
        EXPECT_EQ(field(x2, i, "offset"), field(x, i, "offset") + 2) << i;
    // Entries identical to an edited payload follow it; those sharing the next one move with it.
    write(rerazera::writer::mixed_ranges(40, 9000, 0, 0), "m.qv");
    ASSERT_EQ(sh("unpack m.qv -C dm").status, 0);
    files("dm/a", "a shorter payload");
    check({{"pack --manifest dm/manifest.json -o m2.qv", 0}, {"verify m2.qv", 0}});
    const json m = js("list --json m.qv"), m2 = js("list --json m2.qv");
    EXPECT_EQ(field(m2, 256, "length"), 352 + 17);
    for (int i : {260, 292}) {  // a's twins
        EXPECT_EQ(field(m2, i, "length"), field(m2, 256, "length")) << i;
        EXPECT_EQ(field(m2, i, "crc"), field(m2, 256, "crc")) << i;
    }
    EXPECT_EQ(field(m2, 257, "offset"), field(m, 257, "offset") - 9000 + 17);
    for (int i : {258, 295})  // c's
        EXPECT_EQ(field(m2, i, "offset"), field(m2, 257, "offset")) << i;
}

// Packages whose pieces cannot be told apart are refused; so are manifests that lost their shape.
TEST_F(ToolTest, UnpackRefusals) {
    const auto variant = [&](const std::string &name, auto edit) {
        Package p = PackageBuilder::from_files(
                        {{1, "a", "", bytes_of("one")}, {2, "b", "", bytes_of("two")}})
                        .build();
        edit(p);
        p.reseal_header();
        write(p, name);
    };
    variant("many.qv", [](Package &p) { p.set_file_num(300); });
    variant("huge.qv", [](Package &p) { p.set_be32(Package::entry_field(0, 8), 0xFFFFFFF0u); });
    variant("short.qv", [](Package &p) { p.set_be32(Package::entry_field(0, 8), 100); });
    variant("claims.qv", [](Package &p) {
        p.set_be32(p.entryOffsets[0] + 340, 0x10000);
        p.reseal_bin_header(p.entryOffsets[0]);
    });
    Package ext = PackageBuilder::from_files(numbered(260)).build();
    ext.set_be32(ext.dummyOffset + 16, 0xFFFFF);
    ext.reseal_bin_header(ext.dummyOffset);
    write(ext, "extlong.qv");
    PackageBuilder dup;
    for (std::uint32_t i = 1; i <= 2; ++i)
        dup.add(SubFile{i, "same", "", bytes_of("x")});
    write(dup.build(), "dup.qv");
    write(PackageBuilder().add({1, "a", "", bytes_of("one")}).build(), "ok.qv");
    ASSERT_EQ(sh("unpack ok.qv -C ok").status, 0);
    const json good = json::parse(text_of(path("ok/manifest.json")));
    write(rerazera::writer::identical_ranges(20, 100), "same.qv");
    ASSERT_EQ(sh("unpack same.qv -C ok/s").status, 0);
    const json sharing = json::parse(text_of(path("ok/s/manifest.json")));
    const auto edited = [&](const std::string &name, const std::string &ptr, const json &value,
                            const json &from = nullptr) {
        json m = from.is_null() ? good : from;
        m[json::json_pointer(ptr)] = value;
        files("ok/" + name, m.dump());
    };
    // Entry 255 owns the bytes of extension entries 256 and on; 0 to 254 are empty.
    edited("s/missing.json", "/entries/256/bytes_of", 275, sharing);
    edited("s/self.json", "/entries/256/bytes_of", 256, sharing);
    edited("s/chain.json", "/entries/256/bytes_of", 257, sharing);
    edited("s/empty.json", "/entries/256/bytes_of", 3, sharing);
    edited("s/past.json", "/entries/256/at", 1, sharing);
    edited("s/both.json", "/entries/256/range", true, sharing);
    edited("v3.json", "/version", 3);
    edited("hole.json", "/entries/0/offset", 6000);
    edited("gone.json", "/entries/0/offset", 7000);  // its place is taken by nothing
    edited("lost.json", "/entries/0/file", "gone");
    edited("ext.json", "/entries/0/table", "extension");
    files("ok/broken.json", "{\"format\": ", "list.txt", "1 a ok/a\n");
    check({{"unpack many.qv -C x", 1,
            "many.qv: the package header fails its check; it cannot be unpacked"},
           {"unpack huge.qv -C x", 1,
            "header entry 0 (0x00000001): offset 6180 + length 4294967280 runs past"},
           {"unpack short.qv -C x", 1, "its length 100 is shorter than a bin header"},
           {"unpack claims.qv -C x", 1, "its bin header claims 65536 payload bytes"},
           {"unpack extlong.qv -C x", 1,
            "the extension cannot be read: the second descriptor table runs past"},
           {"unpack nothere.qv -C x", 2, "nothere.qv: No such file or directory"},
           {"unpack dup.qv -C dup", 0,
            "its name 'same' is taken by an earlier sub-file; writing 'same~2'"},
           {"pack --manifest dup/manifest.json -o dup.out", 2, "name 'same' is already used by"},
           {"unpack ok.qv -C ok", 2, "ok/a: already exists"},
           {"unpack ok.qv -C ok --force", 0},
           {"pack --manifest ok/v3.json -o x.qv", 2,
            "version 3 is not supported (this rerazera reads versions 1 to 2)"},
           {"pack --manifest ok/hole.json -o x.qv", 2,
            "the piece at offset 6000 overlaps the one before it, which ends at 6180 (use "
            "--reflow"},
           {"pack --manifest ok/hole.json --reflow -o y.qv", 0},
           {"pack --manifest ok/gone.json -o z.qv", 0},
           {"pack --manifest ok/lost.json -o x.qv", 2, "ok/gone: No such file or directory"},
           {"pack --manifest ok/ext.json -o x.qv", 2,
            "extension entries are listed but there is no extension"},
           {"pack --manifest ok/broken.json -o x.qv", 2, "not a usable manifest: "},
           {"pack --manifest ok/s/missing.json -o x.qv", 2,
            "entry 256: 'bytes_of' names entry 275, which the manifest lacks"},
           {"pack --manifest ok/s/self.json -o x.qv", 2,
            "entry 256: 'bytes_of' names the entry itself"},
           {"pack --manifest ok/s/chain.json -o x.qv", 2,
            "entry 256: 'bytes_of' names entry 257, which has no bytes of its own"},
           {"pack --manifest ok/s/empty.json -o x.qv", 2, "names entry 3, which has no bytes"},
           {"pack --manifest ok/s/past.json -o x.qv", 2,
            "entry 256: 'at' 1 + length 452 runs past the 452 bytes of entry 255"},
           {"pack --manifest ok/s/both.json -o x.qv", 2,
            "entry 256: 'range' and 'bytes_of' exclude each other"},
           {"pack --manifest list.txt --reflow -o x.qv", 2,
            "--reflow: applies to the manifest that unpack writes"},
           {"pack --reflow ok/a -o x.qv", 2, "--reflow needs --manifest as well"}});
    EXPECT_FALSE(rztest::file_exists(path("x")));
    EXPECT_FALSE(rztest::file_exists(path("x.qv")));
    for (const char *same : {"y.qv", "z.qv"})
        EXPECT_EQ(rztest::read_file(path(same)), rztest::read_file(path("ok.qv"))) << same;
}

// A manifest's payloads stay inside its folder, its lengths must hold what
// they describe, its nesting and lines are bounded; --save writes through a
// link and into a FIFO as -o does.
TEST_F(ToolTest, ManifestAndSaveKeepTheirPromises) {
    write(PackageBuilder().add({1, "a", "", bytes_of("one")}).build(), "ok.qv");
    ASSERT_EQ(sh("unpack ok.qv -C w").status, 0);
    const json good = json::parse(text_of(path("w/manifest.json")));
    const auto edited = [&](const std::string &name, const std::string &ptr, const json &value) {
        json m = good;
        m[json::json_pointer(ptr)] = value;
        files("w/" + name, m.dump());
    };
    files("secret", "the secret", "w/sub/a", "one");
    std::filesystem::create_symlink(path("secret"), path("w/link"));
    edited("up.json", "/entries/0/file", "../secret");
    edited("abs.json", "/entries/0/file", path("secret"));
    edited("link.json", "/entries/0/file", "link");
    edited("sub.json", "/entries/0/file", "sub/a");
    edited("short.json", "/entries/0/length", 10);
    edited("long.json", "/entries/0/length", "0xffffffff");
    edited("datalen.json", "/entries/0/data_len", 4294967295u);
    files("w/abs.list", "1 a " + path("secret") + "\n", "w/up.list", "1 a sub/../../secret\n",
          "w/huge.json", "", "w/deep.json",
          "{\"x\":" + std::string(9, '[') + std::string(9, ']') + "}", "w/long.list",
          "1 a " + std::string(64 * 1024, 'x') + "\n");
    std::filesystem::resize_file(path("w/huge.json"), (std::uintmax_t{1} << 30) + 1);  // sparse
    write(PackageBuilder::from_files(numbered(260)).build(), "ext.qv");
    ASSERT_EQ(sh("unpack ext.qv -C we").status, 0);
    json ext = json::parse(text_of(path("we/manifest.json")));
    ext["extension"]["data_len"] = 0;
    files("we/x0.json", ext.dump());
    const std::string out = "-o x.qv";
    check({{"pack --manifest w/up.json " + out, 2,
            "entry 0: the path '../secret' leads out of the manifest's folder (--any-path"},
           {"pack --manifest w/abs.json " + out, 2, "the absolute path '"},
           {"pack --manifest w/link.json " + out, 2,
            "w/link: leads out of the manifest's folder through a symbolic link"},
           {"pack --manifest w/abs.list " + out, 2, "w/abs.list:1: the absolute path"},
           {"pack --manifest w/up.list " + out, 2, "leads out of the manifest's folder"},
           {"pack --manifest w/short.json " + out, 2,
            "entry 0: its length 10 is shorter than its bin header and data_len 3 need"},
           {"pack --manifest w/long.json " + out, 2,
            "entry 0: its length 4294967295 reaches past the end of the package"},
           {"pack --manifest w/datalen.json " + out, 2,
            "w/datalen.json: entry 0: its length 355 is shorter than its bin header and data_len "
            "4294967295 need"},
           {"pack --manifest we/x0.json " + out, 2,
            "we/x0.json: the extension's data_len 0 and length"},
           {"pack --manifest w/huge.json " + out, 2, "w/huge.json: is larger than 1 GiB"},
           {"pack --any-path ok.qv " + out, 2, "--any-path needs --manifest"},
           {"pack --manifest w/deep.json " + out, 2, "nested deeper than 8 levels"},
           {"pack --manifest w/long.list " + out, 2,
            "w/long.list:1: the line is longer than 65536 bytes"},
           {"pack --manifest w/sub.json -o sub.qv", 0},
           {"pack --manifest w/link.json --any-path -o any.qv", 0},
           {"extract any.qv --id 1 --strip -o secret.out", 0}});
    EXPECT_FALSE(rztest::file_exists(path("x.qv")));
    EXPECT_EQ(rztest::read_file(path("sub.qv")), rztest::read_file(path("ok.qv")));
    expect_files("secret.out", "the secret");

    // --save through a link replaces its target, keeps the link; a FIFO is
    // written into, not replaced by a file.
    files("target", "old");
    std::filesystem::create_symlink("target", path("lnk"));
    std::filesystem::create_symlink("nowhere", path("dangling"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    const int reader = ::open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    check(
        {{"verify - --save lnk <ok.qv", 0},
         {"verify - --save fifo <ok.qv", 0},
         {"verify - --save /dev/null <ok.qv", 0},
         {"verify - --save dangling <ok.qv", 2, "dangling: is a symbolic link to a missing file"}});
    EXPECT_TRUE(std::filesystem::is_symlink(path("lnk")));
    EXPECT_EQ(rztest::read_file(path("target")), rztest::read_file(path("ok.qv")));
    Bytes fromFifo(rztest::read_file(path("ok.qv")).size() + 1);
    EXPECT_EQ(::read(reader, fromFifo.data(), fromFifo.size()),
              static_cast<ssize_t>(fromFifo.size() - 1));
    fromFifo.pop_back();
    EXPECT_EQ(fromFifo, rztest::read_file(path("ok.qv")));
    ::close(reader);
    EXPECT_EQ(std::filesystem::status(path("fifo")).type(), std::filesystem::file_type::fifo);
    EXPECT_FALSE(std::filesystem::exists(path("nowhere")));
}

// Edits in the manifest itself: the result verifies, and shows the edit and nothing else.
TEST_F(ToolTest, ManifestEdits) {
    Package damaged = PackageBuilder::from_files(numbered(300)).build();
    damaged.bytes[damaged.entryOffsets[2] + 352] ^= 1;  // n2's payload no longer matches its crc
    write(damaged, "p.qv");
    ASSERT_EQ(sh("unpack p.qv -C d").status, 0);
    const json m = json::parse(text_of(path("d/manifest.json")));
    ASSERT_TRUE(m["entries"][2].contains("crc_computed"));
    struct Edit {
        std::string what;
        std::function<void(json &)> edit;
        std::vector<std::pair<std::string, json>> want;  // pointers into list --json
        std::string product = "";
    };
    const std::vector<Edit> rows = {
        {"rename, describe, aux",
         [](json &j) {
             j["entries"][0]["name"] = "renamed \"one\"";
             j["entries"][0]["description"] = "new";
             j["entries"][1]["aux1"] = 77;
         },
         {{"/entries/0/name", "renamed \"one\""},
          {"/entries/0/description", "new"},
          {"/entries/1/aux1", 77}}},
        {"drop two extension entries",
         [](json &j) {
             auto &e = j["entries"];
             e.erase(e.begin() + 257, e.begin() + 259);
         },
         {{"/entries/257/name", "n256"}, {"/entries/258/name", "n259"}}},
        {"product type from the manifest",
         [](json &j) { j["header"]["product_type"] = 0x1234; },
         {},
         "4660\n"},
        {"hex name",
         [](json &j) {
             j["entries"][5].erase("name");
             j["entries"][5]["name_hex"] = "41ff";
         },
         {{"/entries/5/name", "A\xef\xbf\xbd"}}},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].what);
        json j = m;
        rows[i].edit(j);
        j["entries"][2]["file"] =
            "n3";  // another payload: n2's crc is recomputed, the package heals
        files("d/e" + std::to_string(i) + ".json", j.dump(2));
        const std::string out = "e" + std::to_string(i) + ".qv";
        check({{"pack --manifest d/e" + std::to_string(i) + ".json -o " + out, 0},
               {"verify " + out, 0}});
        const json l = js("list --json " + out);
        for (const auto &[ptr, value] : rows[i].want)
            EXPECT_EQ(l.at(json::json_pointer(ptr)), value) << ptr;
        if (!rows[i].product.empty()) {
            EXPECT_EQ(sh("info --field product-type " + out).out, rows[i].product);
        }
    }
    // Unedited, the failing checksum stays failing; --product-type overrides the manifest.
    check({{"pack --manifest d/manifest.json --product-type 9 -o same.qv", 0},
           {"verify same.qv", 1}});
    Bytes same = rztest::read_file(path("same.qv"));
    EXPECT_EQ(same.size(), damaged.bytes.size());
    EXPECT_EQ(same[31], 9);
    same[31] = 0;
    same[6178] = damaged.bytes[6178], same[6179] = damaged.bytes[6179];  // header checksum
    EXPECT_EQ(same, damaged.bytes);
}

// A name from a package never leads out of the output directory: a link
// already there is replaced as a link (--force) or refused, never written
// through; a FIFO there is refused without waiting for a reader.
TEST_F(ToolTest, NamesFromAPackageNeverLeadOut) {
    write(PackageBuilder::from_files({{1, "boot.bin", "", bytes_of("boot")}}).build(), "p.qv");
    files("victim", "mine");
    for (const char *dir : {"u", "uf", "x", "xf"})
        std::filesystem::create_directories(path(dir));
    for (const char *link :
         {"u/boot.bin", "uf/boot.bin", "uf/manifest.json", "x/boot.bin", "xf/boot.bin"})
        std::filesystem::create_symlink(path("victim"), path(link));
    std::filesystem::create_directories(path("ff"));
    ASSERT_EQ(::mkfifo(path("ff/boot.bin").c_str(), 0600), 0);
    check({{"unpack p.qv -C u", 2, "u/boot.bin: already exists"},
           {"unpack p.qv -C uf --force", 0},
           {"extract p.qv --all -C x", 2, "x/boot.bin: already exists"},
           {"extract p.qv --all -C xf --force", 0},
           {"extract p.qv --all -C ff --force", 2, "ff/boot.bin: is not a regular file"},
           {"unpack p.qv -C ff --force", 2, "ff/boot.bin: is not a regular file"}});
    expect_files("victim", "mine");
    for (const char *replaced : {"uf/boot.bin", "uf/manifest.json", "xf/boot.bin"})
        EXPECT_FALSE(std::filesystem::is_symlink(path(replaced))) << replaced;
    EXPECT_EQ(std::filesystem::status(path("ff/boot.bin")).type(),
              std::filesystem::file_type::fifo);
}

// A fatal signal or a closed standard output while verify - --save writes
// its copy leaves no temporary file behind; a closed pipe is a write error.
TEST_F(ToolTest, NoTemporaryFileOutlivesTheTool) {
    write(PackageBuilder::from_files(numbered(20)).build(), "p.qv");
    const Bytes bytes = rztest::read_file(path("p.qv"));
    std::filesystem::create_directories(path("sv"));
    const auto pending = [&] {
        for (const auto &e : std::filesystem::directory_iterator(path("sv")))
            if (e.path().filename().string().rfind(".rerazera-", 0) == 0)
                return true;
        return false;
    };
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM}) {
        SCOPED_TRACE(::strsignal(sig));
        int in[2], out[2];
        ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        const pid_t pid = start({"verify", "-", "--save", "sv/k.qv"}, in[0], out[1]);
        ::close(in[0]), ::close(out[1]);
        ASSERT_EQ(::write(in[1], bytes.data(), 1000), 1000);  // half a package: it waits
        for (int i = 0; i < 2000 && !pending(); ++i)
            ::usleep(10000);
        EXPECT_TRUE(pending()) << "no copy under way";
        ::kill(pid, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_FALSE(pending());
        ::close(in[1]), ::close(out[0]);
    }
    // Standard output closed before the report: EPIPE, not SIGPIPE.
    const int in = ::open(path("p.qv").c_str(), O_RDONLY | O_CLOEXEC);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ::close(out[0]);
    const pid_t pid = start({"verify", "-", "--save", "sv/k.qv"}, in, out[1]);
    ::close(in), ::close(out[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    expect_has(text_of(path(".stderr")), "rerazera: standard output: Broken pipe");
    EXPECT_FALSE(pending());
}

// A package cut short while the tool reads it (truncated by another process
// once the tool has mapped it) is trouble, named, and never a crash.
TEST_F(ToolTest, PackageShrinkingWhileReadIsTrouble) {
    const Package pkg = PackageBuilder::from_files(numbered(300)).build();
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const char *preload = std::getenv("LD_PRELOAD");
    const std::string shim = std::string("LD_PRELOAD=" RERAZERA_SHRINK_SHIM) +
                             (preload ? std::string(":") + preload : "");
    // In a sanitized build the shim comes before the sanitizer's runtime,
    // which then has to be told that this order is intended.
    const char *asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions = "ASAN_OPTIONS=" + std::string(asan ? asan : "") +
                                    (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
    for (const std::string cmd :
         {"verify p.qv", "verify --report p.qv", "list p.qv", "extract p.qv --all -C out",
          "extract p.qv --id 0x102 -o one", "unpack p.qv -C un"}) {
        SCOPED_TRACE(cmd);
        write(pkg, "p.qv");
        std::istringstream words(cmd);
        const pid_t pid = start({std::istream_iterator<std::string>(words), {}}, null, null,
                                {shim, asanOptions, "RERAZERA_SHRINK_FILE=" + path("p.qv")});
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        expect_has(text_of(path(".stderr")),
                   "p.qv: the file changed (it shrank) while it was read");
        EXPECT_EQ(std::filesystem::file_size(path("p.qv")), 0u);  // the shim did cut it
    }
    ::close(null);
    entries(dir_.path());
}

// One table of text that must never reach a terminal raw: C0 and C1
// controls, DEL, bytes that are not UTF-8 (stray lead and continuation
// bytes, overlong forms, surrogates) and the invisible or bidirectional
// format characters. Every command that prints names shows each escaped.
TEST_F(ToolTest, EveryPrintedNameIsEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x01", "\\x01"},
        {"\x1b[2J", "\\x1b[2J"},
        {"\x7f", "\\x7f"},
        {"\xc2\x9b", "\\xc2\\x9b"},  // CSI, as UTF-8
        {"\x9b", "\\x9b"},
        {"\xf5\x80\x80\x80", "\\xf5\\x80\\x80\\x80"},
        {"\xff", "\\xff"},
        {"\xc0\xaf", "\\xc0\\xaf"},
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xe2\x80\xaa", "\\xe2\\x80\\xaa"},  // U+202A to U+202E
        {"\xe2\x80\xae", "\\xe2\\x80\\xae"},
        {"\xe2\x81\xa6", "\\xe2\\x81\\xa6"},  // U+2066 to U+2069
        {"\xe2\x81\xa9", "\\xe2\\x81\\xa9"},
        {"\xe2\x80\x8b", "\\xe2\\x80\\x8b"},  // U+200B to U+200F
        {"\xe2\x80\x8f", "\\xe2\\x80\\x8f"},
        {"\xe2\x80\xa8", "\\xe2\\x80\\xa8"},  // U+2028, U+2029
        {"\xe2\x80\xa9", "\\xe2\\x80\\xa9"},
        {"\xef\xbb\xbf", "\\xef\\xbb\\xbf"},  // U+FEFF
        {"caf\xc3\xa9", "caf\xc3\xa9"},       // text stays text
    };
    PackageBuilder b;
    for (std::uint32_t i = 0; i < std::size(cases); ++i)
        b.add(SubFile{i + 1, "n" + std::to_string(i) + cases[i].first + "x", "", bytes_of("p")});
    write(b.build(), "e.qv");
    write(PackageBuilder().add(SubFile{100, "other", "", bytes_of("q")}).build(), "o.qv");
    for (const char *cmd : {"list e.qv", "extract e.qv --all -C out", "diff o.qv e.qv"}) {
        SCOPED_TRACE(cmd);
        const Outcome r = sh(cmd);
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const std::string n = "n" + std::to_string(i);
            expect_has(r.out + r.err, n + cases[i].second + "x");
            if (cases[i].first != cases[i].second) {
                EXPECT_EQ((r.out + r.err).find(n + cases[i].first), std::string::npos) << n;
            }
        }
    }
    // The files written take names made of text alone.
    ASSERT_EQ(sh("unpack e.qv -C un").status, 0);
    for (const char *dir : {"out", "un"}) {
        std::size_t n = 0;
        for (const auto &entry : std::filesystem::directory_iterator(path(dir))) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(std::all_of(name.begin(), name.end(),
                                    [](char c) { return c >= 0x20 && c < 0x7f; }) ||
                        name.find("caf\xc3\xa9x") != std::string::npos)
                << dir << "/" << name;
            ++n;
        }
        EXPECT_GE(n, std::size(cases)) << dir;
    }
}

}  // namespace
