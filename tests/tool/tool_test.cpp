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
    Outcome run(const std::vector<std::string> &args) {
        std::vector<char *> argv;
        std::string tool = RERAZERA_TOOL;
        argv.push_back(tool.data());
        std::vector<std::string> copy = args;
        for (std::string &a : copy) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const std::string outPath = dir_.file(".stdout");
        const std::string errPath = dir_.file(".stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
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
        r.out = text_of(outPath);
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
    EXPECT_NE(r.err.find("it is empty"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("out/same: already exists"), std::string::npos) << r.err;

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

}  // namespace
