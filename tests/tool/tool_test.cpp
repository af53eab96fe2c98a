// End-to-end tests of the rerazera command-line tool: each test runs the
// built binary on packages made by the package writer and checks its
// output, its JSON and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch.hpp"
#include "writer/package_writer.hpp"

extern char **environ;

namespace {

using nlohmann::json;
using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::RawDesc;
using rerazera::writer::SubFile;
using Bytes = std::vector<std::uint8_t>;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string text_of(const std::string &path) {
    const Bytes b = rztest::read_file(path);
    return {b.begin(), b.end()};
}

Bytes bytes_of(const std::string &s) {
    return {s.begin(), s.end()};
}

class ToolTest : public ::testing::Test {
  protected:
    // Runs the tool with args; stdout and stderr go to files of the scratch
    // directory, the working directory is the scratch directory.
    Outcome run(const std::vector<std::string> &args) { return run_to(args, dir_.file(".stdout")); }

    // The same with standard output opened on outPath (a device, say).
    Outcome run_to(const std::vector<std::string> &args, const std::string &outPath) {
        std::vector<char *> argv;
        std::string tool = RERAZERA_TOOL;
        argv.push_back(tool.data());
        std::vector<std::string> copy = args;
        for (std::string &a : copy) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const std::string errPath = dir_.file(".stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addchdir_np(&actions, dir_.path().c_str());
        pid_t pid = 0;
        Outcome r;
        if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << tool;
            return r;
        }
        posix_spawn_file_actions_destroy(&actions);
        int ws = 0;
        waitpid(pid, &ws, 0);
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        struct stat st {};
        if (::stat(outPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            r.out = text_of(outPath);
        }
        r.err = text_of(errPath);
        return r;
    }

    std::string path(const std::string &name) const { return dir_.file(name); }

    std::string write(const Package &pkg, const std::string &name) {
        pkg.write(path(name));
        return path(name);
    }

    static Bytes payload(std::size_t n, int seed) {
        Bytes b(n);
        for (std::size_t i = 0; i < n; ++i) {
            b[i] = static_cast<std::uint8_t>(static_cast<std::size_t>(seed) + i * 7);
        }
        return b;
    }

    rztest::ScratchDir dir_;
};

// pack from a manifest, then list, verify and extract --all --strip: the
// payloads come back byte for byte, and list shows names and descriptions.
TEST_F(ToolTest, PackListVerifyExtractRoundTrip) {
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"boot.bin", payload(100, 1)},
        {"kernel.img", payload(5000, 2)},
        {"empty.dat", {}},
        {"with space.txt", bytes_of("hello\n")},
    };
    std::string manifest = "# test\n\n";
    std::uint32_t id = 0x10;
    for (const auto &[name, data] : files) {
        std::filesystem::create_directories(path("in"));
        rztest::write_file(path("in/" + name), data);
        manifest +=
            std::to_string(id++) + " \"" + name + "\" \"in/" + name + "\" Payload " + name + "\n";
    }
    rztest::write_file(path("list.txt"), bytes_of(manifest));

    Outcome r = run({"pack", "--product-type", "0x1234", "--manifest", "list.txt", "-o", "p.qv"});
    ASSERT_EQ(r.status, 0) << r.err;

    r = run({"list", "--json", "p.qv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json list = json::parse(r.out);
    EXPECT_EQ(list["schema"], 1);
    EXPECT_TRUE(list["header"]["valid"]);
    ASSERT_EQ(list["entries"].size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const json &e = list["entries"][i];
        EXPECT_EQ(e["file_id"], 0x10 + i);
        EXPECT_EQ(e["name"], files[i].first);
        EXPECT_EQ(e["desc"], "Payload " + files[i].first);
        EXPECT_EQ(e["length"], 352 + files[i].second.size());
        EXPECT_EQ(e["data_len"], files[i].second.size());
    }

    r = run({"info", "--field", "product-type", "p.qv"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "4660\n");

    r = run({"verify", "p.qv"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Info: System software CRC check OK!"), std::string::npos);

    r = run({"extract", "p.qv", "--all", "--strip", "-o", "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto &[name, data] : files) {
        EXPECT_EQ(rztest::read_file(path("out/" + name)), data) << name;
    }
    // Nothing else, no temporary file left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path("out")), {}),
              static_cast<long>(files.size()));

    // Without --strip a sub-file keeps its bin header; strip removes it.
    r = run({"extract", "p.qv", "--id", "0x11", "-o", "kernel.sub"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(rztest::read_file(path("kernel.sub")).size(), 352u + 5000u);
    r = run({"strip", "kernel.sub", "-o", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytes_of(r.out), files[1].second);
    r = run({"extract", "p.qv", "--name", "boot.bin", "--strip", "-o", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytes_of(r.out), files[0].second);
}

// More than 256 files: 255 in the header, the rest behind an extension that
// info, list, verify and extract all follow.
TEST_F(ToolTest, ExtensionRoundTrip) {
    constexpr int kFiles = 300;
    std::vector<std::string> args = {"pack", "-o", "big.qv", "--first-id", "1000"};
    std::filesystem::create_directories(path("in"));
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "f" + std::to_string(i);
        rztest::write_file(path("in/" + name), payload(static_cast<std::size_t>(i % 37), i));
        args.push_back("in/" + name);
    }
    Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;

    r = run({"info", "--json", "big.qv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json info = json::parse(r.out);
    EXPECT_EQ(info["entries"], 256);
    EXPECT_EQ(info["extension"]["state"], "valid");
    EXPECT_EQ(info["extension"]["count"], kFiles - 255);
    EXPECT_EQ(info["subfiles"], kFiles);
    EXPECT_EQ(run({"info", "--field", "extend-count", "big.qv"}).out, "45\n");

    r = run({"list", "--json", "big.qv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json list = json::parse(r.out);
    ASSERT_EQ(list["entries"].size(), 256u + 45u);
    EXPECT_TRUE(list["entries"][255]["dummy"]);
    EXPECT_EQ(list["entries"][300]["table"], "extension");
    EXPECT_EQ(list["entries"][300]["name"], "f299");

    r = run({"verify", "--json", "big.qv"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const json v = json::parse(r.out);
    EXPECT_EQ(v["packages"][0]["report"]["subfiles"].size(), 256u + 45u);
    EXPECT_EQ(v["packages"][0]["report"]["failures"], 0);

    r = run({"extract", "big.qv", "--all", "--strip", "-o", "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "f" + std::to_string(i);
        ASSERT_EQ(rztest::read_file(path("out/" + name)),
                  payload(static_cast<std::size_t>(i % 37), i))
            << name;
    }
    // An extend subfile by ID and by name (the name lookup of the library
    // covers the header table only; the tool searches the extension too).
    r = run({"extract", "big.qv", "--id", "1299", "--strip", "-o", "x"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(rztest::read_file(path("x")), payload(299 % 37, 299));
    r = run({"extract", "big.qv", "--name", "f280", "--strip", "-o", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytes_of(r.out), payload(280 % 37, 280));
}

// A damaged package fails with 1; the report goes past the first failure;
// several packages keep their order; a missing file fails and is named.
TEST_F(ToolTest, VerifyCorruptPackages) {
    Package pkg = PackageBuilder()
                      .add(SubFile{1, "a", "", payload(64, 1)})
                      .add(SubFile{2, "b", "", payload(64, 2)})
                      .add(SubFile{3, "c", "", payload(64, 3)})
                      .build();
    write(pkg, "good.qv");
    pkg.bytes[pkg.entryOffsets[0] + 352 + 5] ^= 0xFF;  // payload of entry 0
    pkg.bytes[pkg.entryOffsets[2] + 300] ^= 0xFF;      // bin header of entry 2
    write(pkg, "bad.qv");

    Outcome r = run({"verify", "-j", "2", "good.qv", "bad.qv", "missing.qv", "good.qv"});
    EXPECT_EQ(r.status, 2);  // an input could not be used
    const std::size_t g = r.out.find("good.qv: ok");
    const std::size_t b = r.out.find("bad.qv: FAILED (result -1)");
    ASSERT_NE(g, std::string::npos) << r.out;
    ASSERT_NE(b, std::string::npos) << r.out;
    EXPECT_LT(g, b);
    EXPECT_NE(r.out.find("good.qv: ok", b), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("file crc is not correct. fileID =0x1"), std::string::npos);
    EXPECT_NE(r.out.find("verified 4 packages: 2 ok, 1 failed, 1 could not be used"),
              std::string::npos)
        << r.out;
    // Said once, on stderr.
    EXPECT_EQ(r.out.find("missing.qv"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("missing.qv: No such file or directory"), std::string::npos);

    r = run({"verify", "--json", "bad.qv"});
    EXPECT_EQ(r.status, 1);
    const json v = json::parse(r.out);
    const json &p = v["packages"][0];
    EXPECT_FALSE(p["passed"]);
    EXPECT_EQ(p["result"], -1);
    const json &subs = p["report"]["subfiles"];
    ASSERT_EQ(subs.size(), 3u);
    EXPECT_EQ(subs[0]["result"], "payload-crc-mismatch");
    EXPECT_NE(subs[0]["payload_crc"]["stored"], subs[0]["payload_crc"]["computed"]);
    EXPECT_EQ(subs[1]["result"], "ok");
    EXPECT_EQ(subs[2]["result"], "header-crc-mismatch");
    EXPECT_EQ(v["summary"]["failed"], 1);
}

// A damaged extend subfile fails the package, and the report names it.
TEST_F(ToolTest, VerifyReportFindsBrokenExtendSubfile) {
    std::vector<SubFile> files;
    for (std::uint32_t i = 0; i < 258; ++i) {
        files.push_back(SubFile{i + 1, "n" + std::to_string(i), "", payload(8, 9)});
    }
    Package pkg = PackageBuilder::from_files(files).build();
    pkg.bytes[pkg.extOffsets[1] + 352] ^= 1;
    write(pkg, "ext.qv");
    Outcome r = run({"verify", "--report", "ext.qv"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("extension       1  0x00000101"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("payload-crc-mismatch"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("report: 258 sub-files, 1 failing"), std::string::npos) << r.out;
}

// Names from a package never leave the output directory; existing files are
// replaced only with --force.
TEST_F(ToolTest, ExtractAllRefusesEscapingNamesAndOverwrites) {
    const Package pkg = PackageBuilder()
                            .add(SubFile{1, "../escape", "", bytes_of("one")})
                            .add(SubFile{2, "/etc/passwd", "", bytes_of("two")})
                            .add(SubFile{3, "", "", bytes_of("three")})
                            .add(SubFile{4, "..", "", bytes_of("four")})
                            .add(SubFile{5, "same", "", bytes_of("five")})
                            .add(SubFile{6, "same", "", bytes_of("six")})
                            .build();
    write(pkg, "evil.qv");
    std::filesystem::create_directories(path("out"));
    rztest::write_file(path("out/same"), bytes_of("mine"));

    Outcome r = run({"extract", "evil.qv", "--all", "--strip", "-o", "out"});
    EXPECT_EQ(r.status, 2);  // out/same could not be used
    EXPECT_FALSE(rztest::file_exists(path("escape")));
    EXPECT_EQ(text_of(path("out/.._escape")), "one");
    EXPECT_EQ(text_of(path("out/_etc_passwd")), "two");
    EXPECT_EQ(text_of(path("out/0x00000003-header-2")), "three");
    EXPECT_EQ(text_of(path("out/0x00000004-header-3")), "four");
    EXPECT_EQ(text_of(path("out/same")), "mine");
    EXPECT_EQ(text_of(path("out/same~2")), "six");
    EXPECT_NE(r.err.find("contains '/'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("its name is empty; writing"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("out/same: already exists"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("header entry 5 (0x00000006): its name 'same' is taken by an earlier "
                         "sub-file; writing 'same~2'"),
              std::string::npos)
        << r.err;

    r = run({"extract", "evil.qv", "--all", "--strip", "--force", "-o", "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(text_of(path("out/same")), "five");
    for (const auto &entry : std::filesystem::directory_iterator(path("out"))) {
        EXPECT_NE(entry.path().filename().string().rfind(".rerazera-", 0), 0u)
            << "temporary file left: " << entry.path();
    }
}

// A row that cannot be read says so and the listing goes on.
TEST_F(ToolTest, ListReportsUnreadableEntry) {
    const Package pkg = PackageBuilder()
                            .add(SubFile{1, "first", "d1", payload(10, 1)})
                            .add_raw(RawDesc{2, 0x100000, 400, 0, 0, 0})
                            .add(SubFile{3, "third", "d3", payload(10, 3)})
                            .build();
    write(pkg, "hole.qv");
    Outcome r = run({"list", "hole.qv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("bin header past the end of the file"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("third"), std::string::npos) << r.out;
    r = run({"list", "--json", "hole.qv"});
    const json j = json::parse(r.out);
    EXPECT_FALSE(j["entries"][1]["readable"]);
    EXPECT_TRUE(j["entries"][1]["name"].is_null());
    EXPECT_EQ(j["entries"][2]["name"], "third");
}

// An extraction that fails part-way (here: extracted, then refused by the
// stripping because its bin header claims more payload than it holds)
// leaves the named file as it was and no temporary file behind; a single
// sub-file into a directory takes its bin header's name and replaces nothing
// there without --force.
TEST_F(ToolTest, SingleExtractionIsAllOrNothing) {
    Package pkg = PackageBuilder()
                      .add(SubFile{1, "one.bin", "", payload(20, 1)})
                      .add(SubFile{2, "two.bin", "", payload(20, 2)})
                      .build();
    pkg.set_be32(pkg.entryOffsets[1] + 340, 0x10000);  // dataLen
    write(pkg, "p.qv");
    rztest::write_file(path("keep"), bytes_of("old"));
    Outcome r = run({"extract", "p.qv", "--id", "2", "--strip", "-o", "keep"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("p.qv: sub-file 0x00000002: "), std::string::npos) << r.err;
    EXPECT_EQ(text_of(path("keep")), "old");
    for (const auto &entry : std::filesystem::directory_iterator(dir_.path())) {
        EXPECT_NE(entry.path().filename().string().rfind(".rerazera-", 0), 0u)
            << "temporary file left: " << entry.path();
    }

    std::filesystem::create_directories(path("d"));
    r = run({"extract", "p.qv", "--id", "1", "--strip", "-o", "d"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(rztest::read_file(path("d/one.bin")), payload(20, 1));
    r = run({"extract", "p.qv", "--id", "1", "-o", "d"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(rztest::read_file(path("d/one.bin")), payload(20, 1));
    r = run({"extract", "p.qv", "--id", "1", "--force", "-o", "d"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(rztest::read_file(path("d/one.bin")).size(), 352u + 20u);
}

TEST_F(ToolTest, UsageErrorsExitTwo) {
    write(PackageBuilder().add(SubFile{1, "a", "", {1}}).build(), "p.qv");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"verify"},
             {"verify", "--bogus", "p.qv"},
             {"extract", "p.qv", "-o", "x"},
             {"extract", "p.qv", "--id", "1", "--all", "-o", "x"},
             {"extract", "p.qv", "--id", "banana", "-o", "x"},
             {"info", "--field", "colour", "p.qv"},
         }) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << "args: " << ::testing::PrintToString(args) << "\n" << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    Outcome r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "rerazera " RERAZERA_VERSION "\n");
    r = run({"extract", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--strip"), std::string::npos);
}

// Failures name the file and the reason, and exit 1.
TEST_F(ToolTest, ErrorsNameTheFile) {
    rztest::write_file(path("short.qv"), Bytes(100, 0));
    Outcome r = run({"info", "short.qv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("short.qv: not a package: 100 bytes"), std::string::npos) << r.err;
    r = run({"list", "nothere.qv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("nothere.qv: No such file or directory"), std::string::npos) << r.err;
    write(PackageBuilder().add(SubFile{1, "a", "", {1}}).build(), "p.qv");
    r = run({"extract", "p.qv", "--id", "7", "-o", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("p.qv: no sub-file with ID 0x00000007"), std::string::npos) << r.err;
    EXPECT_FALSE(rztest::file_exists(path("x")));
}

// A package whose three sub-files are good, then one damaged payload.
Package three_files() {
    return PackageBuilder()
        .add(SubFile{1, "boot.bin", "", bytes_of("boot")})
        .add(SubFile{2, "kernel.img", "", bytes_of("kernel")})
        .add(SubFile{3, "rootfs.img", "", bytes_of("rootfs")})
        .build();
}

// Every row of the exit-status table, one class of input per row: 0 ok, 1 a
// package (or bin file) failed its checks, 2 trouble. Inputs that are not
// regular files are refused by every command, by name, without hanging.
TEST_F(ToolTest, ExitStatusTable) {
    Package pkg = three_files();
    write(pkg, "good.qv");
    pkg.bytes[pkg.entryOffsets[2] + 352] ^= 1;
    write(pkg, "badpay.qv");
    rztest::write_file(path("short.qv"), Bytes(351, 0));
    rztest::write_file(path("empty.qv"), {});
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    std::filesystem::create_directories(path("dir"));
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string err;  // expected on stderr
    };
    const std::vector<Row> rows = {
        {{"verify", "good.qv"}, 0, ""},
        {{"info", "good.qv"}, 0, ""},
        {{"verify", "badpay.qv"}, 1, ""},
        {{"extract", "badpay.qv", "--id", "3", "--strip", "-o", "-"},
         1,
         "badpay.qv: sub-file 0x00000003: "},
        {{"verify", "--json", "badpay.qv"}, 1, ""},
        {{"extract", "good.qv", "--id", "9", "-o", "-"}, 1, "no sub-file with ID 0x00000009"},
        {{"strip", "good.qv", "-o", "s"}, 1, "good.qv: bin header checksum mismatch"},
        // The same short or empty file, the same words from every command.
        {{"info", "short.qv"}, 1, "short.qv: not a package: 351 bytes, shorter than the"},
        {{"list", "short.qv"}, 1, "short.qv: not a package: 351 bytes"},
        {{"extract", "short.qv", "--id", "1", "-o", "-"}, 1, "short.qv: not a package: 351 bytes"},
        {{"verify", "--report", "empty.qv"}, 1, ""},
        {{"verify", "short.qv"}, 1, ""},
        {{"list", "empty.qv"}, 1, "empty.qv: not a package: 0 bytes"},
        {{"info", "fifo"}, 2, "fifo: is a FIFO, not a regular file"},
        {{"list", "fifo"}, 2, "fifo: is a FIFO"},
        {{"verify", "fifo"}, 2, "fifo: is a FIFO"},
        {{"extract", "fifo", "--all", "-o", "x"}, 2, "fifo: is a FIFO"},
        {{"strip", "fifo", "-o", "x"}, 2, "fifo: is a FIFO"},
        {{"pack", "fifo", "-o", "x"}, 2, "fifo: is a FIFO"},
        {{"info", "/dev/null"}, 2, "/dev/null: is a character device"},
        {{"list", "dir"}, 2, "dir: is a directory"},
        {{"verify", "missing.qv"}, 2, "missing.qv: No such file or directory"},
        {{"extract", "good.qv", "--id", "1", "-o", "good.qv"},
         2,
         "good.qv: is the same file as the input"},
        {{"extract", "good.qv", "--id", "1", "-o", "dir"}, 0, ""},
        {{"verify", "-j", "0", "good.qv"}, 2, "--jobs"},
        {{"extract", "good.qv", "--id", "08x", "-o", "-"}, 2, "--id: '08x' is not"},
    };
    for (const Row &row : rows) {
        const Outcome r = run(row.args);
        EXPECT_EQ(r.status, row.status) << ::testing::PrintToString(row.args) << "\n" << r.err;
        EXPECT_NE(r.err.find(row.err), std::string::npos)
            << ::testing::PrintToString(row.args) << "\n"
            << r.err;
    }
    EXPECT_NE(run({"verify", "short.qv"}).out.find("(not a package: 351 bytes, shorter than the"),
              std::string::npos);
    // A bad input among good ones: the rest are verified and summed up.
    const Outcome r = run({"verify", "-j", "2", "good.qv", "fifo", "badpay.qv", "good.qv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("verified 4 packages: 2 ok, 1 failed, 1 could not be used"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(text_of(path("good.qv")).size(), pkg.bytes.size());  // never an output
    // A write that fails on standard output is trouble, for every writer.
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"verify", "--json", "good.qv"},
                                               {"list", "good.qv"},
                                               {"info", "good.qv"},
                                               {"extract", "good.qv", "--id", "1", "-o", "-"}}) {
        const Outcome full = run_to(args, "/dev/full");
        EXPECT_EQ(full.status, 2) << ::testing::PrintToString(args);
        EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
    }
}

// -o never replaces what is not a regular file: a device is written in
// place, a symbolic link is followed (the link stays), a dangling link or
// a link to the input is refused.
TEST_F(ToolTest, OutputTargets) {
    write(three_files(), "p.qv");
    rztest::write_file(path("target"), bytes_of("old"));
    std::filesystem::create_symlink("target", path("link"));
    std::filesystem::create_symlink("nowhere", path("dangling"));
    std::filesystem::create_symlink("p.qv", path("self"));
    struct Row {
        std::string out;
        int status;
        std::string err;
    };
    for (const Row &row : std::vector<Row>{
             {"/dev/null", 0, ""},
             {"link", 0, ""},
             {"dangling", 2, "dangling: is a symbolic link to a missing file"},
             {"self", 2, "self: is the same file as the input"},
         }) {
        const Outcome r = run({"extract", "p.qv", "--id", "2", "--strip", "-o", row.out});
        EXPECT_EQ(r.status, row.status) << row.out << ": " << r.err;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    }
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_TRUE(std::filesystem::is_symlink(path("link")));
    EXPECT_EQ(text_of(path("target")), "kernel");
    EXPECT_FALSE(std::filesystem::exists(path("nowhere")));
    EXPECT_EQ(rztest::read_file(path("p.qv")), three_files().bytes);
    // A directory given with a trailing slash is joined without doubling it.
    const Outcome r = run({"extract", "p.qv", "--all", "-o", "out/"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("out/boot.bin\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("//"), std::string::npos) << r.out;
}

// Lengths and counts a package claims are tested against the file before
// anything is read or allocated; the messages name the file and the cause.
TEST_F(ToolTest, ClaimedLengthsAreBounded) {
    Package huge = three_files();
    huge.set_be32(Package::entry_field(0, 8), 0xFFFFFFF0u);
    huge.reseal_header();
    write(huge, "huge.qv");
    Outcome r = run({"extract", "huge.qv", "--id", "1", "-o", "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("huge.qv: sub-file 0x00000001: offset 6180 + length 4294967280 runs "
                         "past the end of the package"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.out.empty());

    std::vector<SubFile> files;
    for (std::uint32_t i = 0; i < 260; ++i) {
        files.push_back(SubFile{i + 1, "n" + std::to_string(i), "", {}});
    }
    Package ext = PackageBuilder::from_files(files).build();
    ext.set_be32(ext.dummyOffset + 16, 0xFFFFF);  // N claimed in the dummy bin header
    ext.reseal_bin_header(ext.dummyOffset);
    write(ext, "ext.qv");
    r = run({"info", "ext.qv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("invalid (the second descriptor table runs past the end"),
              std::string::npos)
        << r.out;

    // A header of 300 entries is refused for its count, not its checksum.
    Package many = three_files();
    many.set_file_num(300);
    many.reseal_header();
    write(many, "many.qv");
    r = run({"info", "many.qv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("entries:         300 (more than 256"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("header checksum: ok"), std::string::npos) << r.out;

    // Past 2 GiB: the size limit is named as the cause.
    const int fd = ::open(path("big.qv").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{3} << 30), 0);
    ::close(fd);
    r = run({"verify", "big.qv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("big.qv: 3221225472 bytes: larger than 2 GiB"), std::string::npos)
        << r.err;
}

// Text from a package reaches the terminal escaped, on every path.
TEST_F(ToolTest, PackageTextIsEscaped) {
    const std::string evil = "x/\x1b]0;pwned\x07y";
    write(PackageBuilder().add(SubFile{1, evil, "d\x1b[2J", bytes_of("a")}).build(), "e.qv");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"list", "e.qv"},
             {"extract", "e.qv", "--all", "-o", "out"},
             {"extract", "e.qv", "--id", "1", "-o", "out"},
             {"extract", "e.qv", "--name", "nothing\x1b", "-o", "-"},
         }) {
        const Outcome r = run(args);
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << ::testing::PrintToString(args);
        EXPECT_NE((r.out + r.err).find("\\x1b"), std::string::npos)
            << ::testing::PrintToString(args) << r.out << r.err;
    }
}

// Numbers are decimal or 0x-hex in options and manifests; a leading zero is
// not octal.
TEST_F(ToolTest, NumbersAreDecimalOrHex) {
    std::filesystem::create_directories(path("in"));
    rztest::write_file(path("in/a"), bytes_of("twenty"));
    rztest::write_file(path("in/b"), bytes_of("nine"));
    rztest::write_file(path("in/c"), bytes_of("minus"));
    rztest::write_file(path("m.txt"), bytes_of("020 a in/a\n0009 b in/b\n-1 c in/c\n"));
    ASSERT_EQ(run({"pack", "--manifest", "m.txt", "-o", "p.qv"}).status, 0);
    struct Row {
        std::string id;
        std::string payload;
    };
    for (const Row &row : std::vector<Row>{{"020", "twenty"},
                                           {"20", "twenty"},
                                           {"0x14", "twenty"},
                                           {"0009", "nine"},
                                           {"0xFFFFFFFF", "minus"},
                                           {"-1", "minus"}}) {
        const Outcome r = run({"extract", "p.qv", "--id", row.id, "--strip", "-o", "-"});
        EXPECT_EQ(r.status, 0) << row.id << ": " << r.err;
        EXPECT_EQ(r.out, row.payload) << row.id;
    }
    for (const char *bad : {"0x", "4294967296", "-2147483649", "1e3", "0o7", " 1", ""}) {
        const Outcome r = run({"extract", "p.qv", "--id", bad, "-o", "-"});
        EXPECT_EQ(r.status, 2) << "'" << bad << "'";
        EXPECT_TRUE(r.out.empty()) << "'" << bad << "'";
    }
    EXPECT_EQ(run({"verify", "-j", "010", "p.qv"}).status, 0);
    EXPECT_EQ(run({"pack", "--product-type", "0x10", "in/a", "-o", "q.qv"}).status, 0);
    EXPECT_EQ(run({"info", "--field", "product-type", "q.qv"}).out, "16\n");
}

// pack refuses inputs that would give an invalid or ambiguous package, and
// says why; nothing is written.
TEST_F(ToolTest, PackRefusesAmbiguousPackages) {
    std::filesystem::create_directories(path("in"));
    rztest::write_file(path("in/a"), bytes_of("a"));
    rztest::write_file(path("in/b"), bytes_of("b"));
    struct Row {
        std::string manifest;  // empty: the arguments below
        std::vector<std::string> args;
        std::string err;
    };
    for (const Row &row : std::vector<Row>{
             {"1 a in/a\n1 b in/b\n", {}, "file ID 0x00000001 is already used by m.txt:1"},
             {"1 a in/a\n2 a in/b\n", {}, "name 'a' is already used by m.txt:1"},
             {"0xABEF a in/a\n", {}, "file ID 0x0000abef is reserved"},
             {"1 x/y in/a\n", {}, "contains '/' or a control character"},
             {"", {"--first-id", "0xFFFFFFFF", "in/a", "in/b"}, "would pass 0xffffffff"},
             {"", {"in/a", "in/a"}, "name 'a' is already used by in/a"},
         }) {
        std::vector<std::string> args = {"pack", "-o", "out.qv"};
        if (!row.manifest.empty()) {
            rztest::write_file(path("m.txt"), bytes_of(row.manifest));
            args.insert(args.end(), {"--manifest", "m.txt"});
        }
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << row.err;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(path("out.qv"))) << row.err;
    }
}

// extract checks the bin header and payload checksums before writing;
// --no-check writes anyway; --all reports each failure and goes on.
TEST_F(ToolTest, ExtractChecksBeforeWriting) {
    Package pkg = three_files();
    pkg.bytes[pkg.entryOffsets[1] + 352] ^= 1;  // kernel.img's payload
    write(pkg, "bad.qv");
    Outcome r = run({"extract", "bad.qv", "--id", "2", "--strip", "-o", "k"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("file crc is not correct"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("k")));
    r = run({"extract", "bad.qv", "--id", "2", "--strip", "--no-check", "-o", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), 6u);
    r = run({"extract", "bad.qv", "--all", "-o", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("header entry 1 (0x00000002): "), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::exists(path("out/boot.bin")));
    EXPECT_TRUE(std::filesystem::exists(path("out/rootfs.img")));
    EXPECT_FALSE(std::filesystem::exists(path("out/kernel.img")));

    // strip: a bin file whose header checksum fails is refused unless forced.
    const Bytes bin(pkg.bytes.begin() + pkg.entryOffsets[0],
                    pkg.bytes.begin() + pkg.entryOffsets[0] + 352 + 4);
    Bytes damaged = bin;
    damaged[200] ^= 1;
    rztest::write_file(path("d.bin"), damaged);
    EXPECT_EQ(run({"strip", "d.bin", "-o", "-"}).status, 1);
    r = run({"strip", "--force", "d.bin", "-o", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "boot");
}

// Messages say what happened: a name lookup that passed an unreadable entry
// says so, and -v lines carry the package they concern.
TEST_F(ToolTest, MessagesNameTheCause) {
    write(PackageBuilder()
              .add_raw(RawDesc{1, 0x100000, 400, 0, 0, 0})
              .add(SubFile{2, "kernel.img", "", bytes_of("k")})
              .build(),
          "hole.qv");
    Outcome r = run({"extract", "hole.qv", "--name", "rootfs.img", "-o", "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no sub-file with name 'rootfs.img' among those that can be read; the "
                         "bin header of header entry 0 (0x00000001) lies past the end"),
              std::string::npos)
        << r.err;
    r = run({"extract", "hole.qv", "--name", "kernel.img", "--strip", "-o", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "k");

    Package bad = three_files();
    bad.bytes[bad.entryOffsets[0] + 352] ^= 1;
    write(bad, "bad.qv");
    write(three_files(), "good.qv");
    r = run({"-v", "verify", "-j", "2", "good.qv", "bad.qv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rerazera: bad.qv: [RERAZERA]"), std::string::npos) << r.err;
    for (std::size_t at = 0; (at = r.err.find("[RERAZERA]", at)) != std::string::npos; ++at) {
        const std::size_t line = r.err.rfind('\n', at) + 1;
        const std::string prefix = r.err.substr(line, at - line);
        EXPECT_TRUE(prefix == "rerazera: bad.qv: " || prefix == "rerazera: good.qv: ") << prefix;
    }
    // The tool's own lookups add no lines of the library's.
    r = run({"-v", "extract", "good.qv", "--id", "9", "-o", "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("[RERAZERA]"), std::string::npos) << r.err;
}

// Payloads larger than the copy buffer, of lengths that leave pieces of one
// and two bytes, are checksummed in pieces: the package verifies and the
// payloads come back whole, whether pack writes a file or standard output.
TEST_F(ToolTest, PackStreamsLargePayloads) {
    std::filesystem::create_directories(path("in"));
    const std::vector<std::size_t> sizes = {(1u << 20) + 1, (2u << 20) + 2, 1, 0, 3};
    std::vector<std::string> args = {"pack", "-o", "p.qv"};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::string name = "in/f" + std::to_string(i);
        rztest::write_file(path(name), payload(sizes[i], static_cast<int>(i) + 3));
        args.push_back(name);
    }
    Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"verify", "--json", "p.qv"});
    EXPECT_EQ(r.status, 0) << r.out;
    const json v = json::parse(r.out);
    EXPECT_EQ(v["packages"][0]["report"]["failures"], 0);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i] == 0) {
            continue;
        }
        r = run({"extract", "p.qv", "--id", std::to_string(i + 1), "--strip", "-o", "-"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(bytes_of(r.out), payload(sizes[i], static_cast<int>(i) + 3)) << i;
    }
    args[2] = "-";
    r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytes_of(r.out), rztest::read_file(path("p.qv")));
}

// A FIFO given as output is written in place, for a reader already waiting.
TEST_F(ToolTest, FifoOutputIsWrittenInPlace) {
    write(three_files(), "p.qv");
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] {
        const int fd = ::open(path("pipe").c_str(), O_RDONLY);
        char buf[256];
        for (ssize_t n; fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0;) {
            got.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
    });
    const Outcome r = run({"extract", "p.qv", "--name", "rootfs.img", "--strip", "-o", "pipe"});
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(got, "rootfs");
    struct stat st {};
    ASSERT_EQ(::lstat(path("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// Streamed JSON is one document with every key of the schema, also for an
// empty table, an unusable input and names that need escaping; the names
// come back byte for byte.
TEST_F(ToolTest, StreamedJsonKeepsTheSchema) {
    const std::string odd = "tab\there \"quoted\" \\ \x01";
    write(PackageBuilder().add(SubFile{7, odd, "d\n", bytes_of("x")}).build(), "p.qv");
    write(PackageBuilder().build(), "none.qv");
    Outcome r = run({"list", "--json", "p.qv"});
    ASSERT_EQ(r.status, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["entries"][0]["name"], odd);
    EXPECT_EQ(j["entries"][0]["desc"], "d\n");
    EXPECT_EQ(j["entries"][0]["file_id_hex"], "0x00000007");
    EXPECT_TRUE(j["entries"][0]["error"].is_null());

    r = run({"list", "--json", "none.qv"});
    ASSERT_EQ(r.status, 0) << r.err;
    j = json::parse(r.out);
    EXPECT_TRUE(j["entries"].is_array());
    EXPECT_TRUE(j["entries"].empty());

    r = run({"verify", "--json", "none.qv", "missing.qv", "p.qv"});
    EXPECT_EQ(r.status, 2);
    j = json::parse(r.out);
    ASSERT_EQ(j["packages"].size(), 3u);
    EXPECT_TRUE(j["packages"][0]["report"]["subfiles"].empty());
    EXPECT_TRUE(j["packages"][1]["report"].is_null());
    EXPECT_TRUE(j["packages"][1]["result"].is_null());
    EXPECT_EQ(j["packages"][1]["error"], "No such file or directory");
    EXPECT_FALSE(j["packages"][2]["report"]["subfiles"][0]["dummy"]);
    EXPECT_EQ(j["summary"], json::parse(R"({"total":3,"ok":2,"failed":1,"unusable":1})"));

    r = run({"info", "--json", "p.qv"});
    ASSERT_EQ(r.status, 0) << r.err;
    j = json::parse(r.out);
    for (const char *key :
         {"schema", "file", "size", "product_type", "entries", "subfiles", "header", "extension"}) {
        EXPECT_TRUE(j.contains(key)) << key;
    }
}

// Many sub-files of one name get distinct names, and a sub-file whose own
// name looks like a generated one is not overwritten by it.
TEST_F(ToolTest, RepeatedNamesNeverCollide) {
    PackageBuilder b;
    for (std::uint32_t i = 1; i <= 5; ++i) {
        b.add(SubFile{i, "same", "", bytes_of(std::to_string(i))});
    }
    b.add(SubFile{6, "same~3", "", bytes_of("own")});
    write(b.build(), "p.qv");
    const Outcome r = run({"extract", "p.qv", "--all", "--strip", "-o", "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(text_of(path("out/same")), "1");
    EXPECT_EQ(text_of(path("out/same~2")), "2");
    EXPECT_EQ(text_of(path("out/same~3")), "3");
    EXPECT_EQ(text_of(path("out/same~5")), "5");
    EXPECT_EQ(text_of(path("out/same~3~2")), "own");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path("out")), {}), 6);
}

}  // namespace
