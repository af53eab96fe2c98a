// SPDX-License-Identifier: MIT
// The tool's keygen/sign/verify against Debian's minisign, both ways; each refusal's verdict.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include <nlohmann/json.hpp>
#include <tuple>

#include "run_program.hpp"
#include "support/fixture.hpp"
#include "support/scratch.hpp"

namespace {

using nlohmann::json;
using rztest::RunResult, rztest::Spoil, rztest::Str;
using Args = std::vector<std::string>;

class SignToolTest : public ::testing::Test {
  protected:
    // By minisign ('M') or the tool ('R', given env, "NAME=value", by env(1)).
    RunResult run(char which, Args args, Str input = "", Str env = "LC_ALL=C") {
        if (which == 'M')
            return rztest::minisign(args, dir_.path(), input);
        args.insert(args.begin(), {"/usr/bin/env", env, RERAZERA_TOOL});
        return rztest::run_program(args, dir_.path(), input);
    }
    std::string path(Str name) const { return dir_.file(name); }
    // Runs; expects the exit status and, in stdout and stderr, the given texts.
    void expect_run(char which, const Args &args, Str input, int status, Str out = "", Str err = "",
                    Str env = "LC_ALL=C") {
        const RunResult r = run(which, args, input, env);
        EXPECT_EQ(r.status, status) << r.out << r.err;
        EXPECT_NE(r.out.find(out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
    }

    void keygen(char maker, Str k) {
        Args args = maker == 'M' ? Args{"-G", "-W"} : Args{"keygen", "--unencrypted"};
        args.insert(args.end(), {"-p", k + ".pub", "-s", k + ".sec"});
        expect_run(maker, args, "", 0);
    }
    void sign(char signer, Str k, Str package, const Args &extra = {}, Str env = "LC_ALL=C") {
        rztest::make_package().write(path(package));
        Args args = signer == 'M' ? Args{"-S", "-s", k + ".sec", "-m", package}
                                  : Args{"sign", "-s", k + ".sec", package};
        args.insert(args.end(), extra.begin(), extra.end());
        expect_run(signer, args, "", 0, "", "", env);
    }

    json verify_json(Args args, int expectedStatus) {
        args.insert(args.begin(), {"verify", "--json"});
        const RunResult r = run('R', args);
        EXPECT_EQ(r.status, expectedStatus) << r.out << r.err;
        rztest::keep_json(r.out);
        return json::parse(r.out)["packages"][0];  // a parse error fails the test
    }

    rztest::ScratchDir dir_;
};

// Key maker, signer and verifier: every combination of the two tools.
TEST_F(SignToolTest, KeysAndSignaturesCrossOver) {
    for (const std::string row : {"MMR", "RRM", "MRM", "MRR", "RMR", "RMM"}) {
        SCOPED_TRACE(row);
        const std::string k = "k" + row, pkg = row + ".qv";
        keygen(row[0], k);
        sign(row[1], k, pkg);
        if (row[2] == 'M') {  // -H: only the prehashed format is accepted.
            expect_run('M', {"-V", "-H", "-p", k + ".pub", "-m", pkg}, "", 0,
                       "Signature and comment signature verified");
            continue;
        }
        const json p = verify_json({"--key", k + ".pub", pkg}, 0), &s = p["signature"];
        EXPECT_EQ(json::array(
                      {p["passed"], p["verdict"], s["passed"], s["comment_verified"], s["key_id"]}),
                  json::array({true, "Info: System software CRC check OK!\n", true, true,
                               rztest::key_id_of(path(k + ".pub"))}));
    }
}

// Password-protected keys, each tool's decrypted by the other (scrypt: seconds, 1 GiB).
TEST_F(SignToolTest, EncryptedKeysCrossOver) {
    rztest::make_package().write(path("fw.qv"));
    expect_run('R', {"keygen", "-p", "r.pub", "-s", "r.sec", "--password-fd", "0"}, "rz pw\n", 0);
    EXPECT_EQ(rztest::file_mode(path("r.sec")), 0600u);
    expect_run('M', {"-S", "-s", "r.sec", "-m", "fw.qv"}, "rz pw\n", 0);
    EXPECT_TRUE(verify_json({"--key", "r.pub", "fw.qv"}, 0)["passed"]);
    expect_run('M', {"-G", "-p", "m.pub", "-s", "m.sec"}, "ms pw\nms pw\n", 0);
    const Args signM = {"sign", "-s", "m.sec", "--password-fd", "0", "fw.qv"};
    expect_run('R', signM, "wrong\n", 2, "", "wrong password");
    // Without a terminal or --password-fd nothing is asked, nor stdin read.
    expect_run('R', {"sign", "-s", "m.sec", "fw.qv"}, "ms pw\n", 2, "", "--password-fd");
    expect_run('R', signM, "ms pw\n", 0);
    expect_run('M', {"-V", "-H", "-p", "m.pub", "-m", "fw.qv"}, "", 0);
}

// Each refusal: its code (result) in the report, and exit status 1. Name, options of
// minisign -S, spoiling, options of verify, exit status, result.
using RefusalCase = std::tuple<const char *, Args, void (*)(Str, Str), Args, int, int>;

const std::string kType = "file:fw.qv\tproduct-type:";
const RefusalCase kRefusals[] = {
    {"valid", {}, Spoil::none, {"--key", "a.pub"}, 0, 0},
    {"changed byte", {}, Spoil::last, {"--key", "a.pub"}, 1, 6},
    {"edited trusted comment", {}, Spoil::comment, {"--key", "a.pub"}, 1, 7},
    {"truncated signature", {}, Spoil::cut_base64, {"--key", "a.pub"}, 1, 2},
    {"no signature", {}, Spoil::no_sig, {"--key", "a.pub"}, 1, 1},
    {"legacy signature", {"-l"}, Spoil::none, {"--key", "a.pub"}, 1, 3},
    {"legacy allowed", {"-l"}, Spoil::none, {"--key", "a.pub", "--allow-legacy"}, 0, 0},
    {"wrong key", {}, Spoil::none, {"--key", "b.pub"}, 1, 4},
    {"other product type", {"-t", kType + "99"}, Spoil::none, {"--key", "a.pub"}, 1, 14},
    {"same product type", {"-t", kType + "4660"}, Spoil::none, {"--key", "a.pub"}, 0, 0},
    {"device of another type", {}, Spoil::none, {"--key", "a.pub", "--product-type", "99"}, 1, 14},
    {"device of this type", {}, Spoil::none, {"--key", "a.pub", "--product-type", "0x1234"}, 0, 0},
    {"no version, a floor set", {}, Spoil::none, {"--key", "a.pub", "--min-version", "2"}, 1, 16},
    {"older release",
     {"-t", "file:fw.qv\tversion:2.9"},
     Spoil::none,
     {"--key", "a.pub", "--min-version", "2.10"},
     1,
     15},
    {"newer release",
     {"-t", "file:fw.qv\tversion:2.10.1"},
     Spoil::none,
     {"--key", "a.pub", "--min-version", "2.10"},
     0,
     0},
    {"version not a number",
     {"-t", "file:fw.qv\tversion:2.x"},
     Spoil::none,
     {"--key", "a.pub", "--min-version", "1"},
     1,
     17},
};

TEST_F(SignToolTest, OwnVerdictPerRefusal) {
    keygen('M', "a");
    keygen('M', "b");
    for (const auto &[name, signOptions, spoil, verifyOptions, status, result] : kRefusals) {
        SCOPED_TRACE(name);
        sign('M', "a", "fw.qv", signOptions);
        spoil(path("fw.qv"), path("fw.qv.minisig"));
        Args args = verifyOptions;
        args.push_back("fw.qv");
        const json p = verify_json(args, status), &s = p["signature"];
        EXPECT_EQ(s["result"], result) << s.dump();
        EXPECT_EQ(json::array({s["passed"], p["passed"]}), json::array({status == 0, status == 0}));
        if (signOptions.size() > 1 && signOptions[1].find("product-type") != std::string::npos) {
            EXPECT_EQ(json::array({s["product_type"]["package"], s["product_type"]["matches"]}),
                      json::array({4660, status == 0}));
        }
        args.insert(args.begin(), "verify");
        expect_run('R', args, "", status, "signature: " + s["verdict"].get<std::string>());
        if (status != 0) {  // in text too, a refusal is never reported as result 0
            expect_run('R', args, "", status, "fw.qv: FAILED (");
            EXPECT_EQ(run('R', args).out.find("FAILED (result 0)"), std::string::npos);
        }
    }
    // A signature stored elsewhere, and a package from a pipe with its signature named.
    sign('M', "a", "fw.qv");
    std::filesystem::rename(path("fw.qv.minisig"), path("elsewhere.sig"));
    const std::string bytes = rztest::read_text(path("fw.qv"));
    expect_run('R', {"verify", "--key", "a.pub", "--sig", "elsewhere.sig", "fw.qv"}, "", 0);
    expect_run('R', {"verify", "-", "--key", "a.pub", "--sig", "elsewhere.sig"}, bytes, 0, "-: ok");
    expect_run('R', {"verify", "-", "--key", "b.pub", "--sig", "elsewhere.sig"}, bytes, 1);
    expect_run('R', {"verify", "-", "--key", "a.pub"}, bytes, 2, "", "--sig");
    expect_run('R', {"verify", "--key", "a.pub", "--sig", "elsewhere.sig", "fw.qv", "fw.qv"}, "", 2,
               "", "one package");
    expect_run('R', {"verify", "--sig", "elsewhere.sig", "fw.qv"}, "", 2, "", "--key or --keyring");
    expect_run('R', {"verify", "--key", "a.pub", "--min-version", "two", "fw.qv"}, "", 2, "",
               "not a version");
    // A refused signature stops there in every mode: no table is read or printed.
    std::filesystem::remove(path("fw.qv.minisig"));
    const auto text = run('R', {"verify", "--key", "a.pub", "--report", "fw.qv"});
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.out.find("TABLE"), std::string::npos) << text.out;
    EXPECT_EQ(verify_json({"--key", "a.pub", "fw.qv"}, 1)["report"], nullptr);
}

// Key rotation: the keyring directory trusts old and new, old's ID revoked: its release fails.
TEST_F(SignToolTest, KeyringRotation) {
    std::filesystem::create_directory(path("keys"));
    for (const std::string k : {"old", "new"}) {
        keygen('R', "keys/" + k);
        std::filesystem::rename(path("keys/" + k + ".sec"), path(k + ".sec"));
    }
    sign('R', "old", "v1.qv");
    sign('R', "new", "v2.qv");
    EXPECT_TRUE(verify_json({"--keyring", "keys", "v1.qv"}, 0)["passed"]);  // before revocation
    const RunResult r = run('R', {"verify", "--json", "--keyring", "keys", "--revoke",
                                  rztest::key_id_of(path("keys/old.pub")), "v1.qv", "v2.qv"});
    EXPECT_EQ(r.status, 1) << r.err;
    rztest::keep_json(r.out);
    const json doc = json::parse(r.out), &s = doc["packages"][0]["signature"];
    EXPECT_EQ(json::array({s["result"], s["package_checked"], doc["packages"][1]["passed"],
                           doc["summary"]["failed"]}),
              json::array({5, false, true, 1}));
}

// sign: the trusted comment from SOURCE_DATE_EPOCH and the package; a
// package that fails its own checks is not signed; keygen keeps what exists.
TEST_F(SignToolTest, SignRecordsThePackageAndRefusesBrokenOnes) {
    keygen('R', "k");
    sign('R', "k", "fw.qv", {}, "SOURCE_DATE_EPOCH=1700000000");
    const std::string line = "\ntrusted comment: timestamp:1700000000\tfile:fw.qv\tsize:" +
                             std::to_string(std::filesystem::file_size(path("fw.qv"))) +
                             "\tproduct-type:4660\n";
    EXPECT_NE(rztest::read_text(path("fw.qv.minisig")).find(line), std::string::npos);
    std::filesystem::copy_file(path("fw.qv"), path("bad.qv"));
    rztest::flip_byte(path("bad.qv"), -1);  // payload CRC now wrong
    // Command, environment, exit status, a file that must not appear, and stderr.
    // The library's verdict comes as lines, not as one line with escaped breaks.
    const std::tuple<Args, std::string, int, std::string, std::string> rows[] = {
        {{"sign", "-s", "k.sec", "bad.qv"},
         "LC_ALL=C",
         1,
         "bad.qv.minisig",
         "bad.qv: not signed, the package fails its checks:\n  file crc is not correct. "
         "fileID =0x"},
        {{"sign", "-s", "k.sec", "fw.qv"}, "SOURCE_DATE_EPOCH=soon", 2, "", ""},
        {{"keygen", "--unencrypted", "-p", "k.pub", "-s", "other.sec"},
         "LC_ALL=C",
         2,
         "other.sec",
         ""},
        {{"verify", "--key", "k.sec", "fw.qv"}, "LC_ALL=C", 2, "", ""},
    };
    for (const auto &[args, env, status, absent, err] : rows) {
        SCOPED_TRACE(args[0] + " " + args.back());
        expect_run('R', args, "", status, "", err, env);
        EXPECT_TRUE(absent.empty() || !rztest::file_exists(path(absent)));
    }
}

// keygen never loses a key: both outputs are checked before either is
// written, one file named twice (also through ./, a hard or a symbolic link)
// is refused, and a refusal leaves every existing file as it was.
TEST_F(SignToolTest, KeygenKeepsWhatExists) {
    keygen('R', "k");
    const std::string pub = rztest::read_text(path("k.pub")),
                      sec = rztest::read_text(path("k.sec"));
    ASSERT_EQ(::link(path("k.sec").c_str(), path("hard.sec").c_str()), 0);
    std::filesystem::create_symlink("k.sec", path("sym.sec"));
    const std::string twice = "names the public key file as well";
    // -p, -s, --force or not, stderr.
    const std::tuple<std::string, std::string, bool, std::string> rows[] = {
        {"same.key", "same.key", true, twice},
        {"./new.key", "new.key", true, twice},
        {"k.sec", "./k.sec", true, twice},
        {"hard.sec", "k.sec", true, twice},
        {"sym.sec", "k.sec", true, twice},
        {"/nonexistent/x.pub", "k.sec", true, "cannot create a file in /nonexistent"},
        {"new.pub", "sym.sec", true, "sym.sec: exists and is not a regular file"},
        {"k.pub", "new.sec", false, "k.pub: exists (use --force"},
    };
    for (const auto &[p, s, force, why] : rows) {
        SCOPED_TRACE(p + " " + s);
        Args args = {"keygen", "--unencrypted", "-p", p, "-s", s};
        if (force)
            args.push_back("--force");
        expect_run('R', args, "", 2, "", why);
        EXPECT_EQ(rztest::read_text(path("k.sec")), sec);
        EXPECT_EQ(rztest::read_text(path("k.pub")), pub);
        for (const char *absent : {"same.key", "new.key", "new.pub", "new.sec"})
            EXPECT_FALSE(rztest::file_exists(path(absent))) << absent;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(path("sym.sec")));
}

// Keys, signatures and passwords: a FIFO or device in a key's or a
// signature's place is refused by its kind, never waited on; a password
// without a line end stops at its cap; sign's inputs and outputs give status
// 2; a key ID trusted twice with different keys is refused.
TEST_F(SignToolTest, SigningInputsAreRefusedByKind) {
    keygen('R', "k");
    sign('R', "k", "fw.qv");
    for (const char *copy : {"fifo.qv", "dir.qv"})
        std::filesystem::copy_file(path("fw.qv"), path(copy));
    std::filesystem::create_directories(path("ring"));
    std::filesystem::create_directories(path("dir.qv.minisig"));
    for (const char *fifo : {"fifo", "ring/x.pub", "fifo.qv.minisig"})
        ASSERT_EQ(::mkfifo(path(fifo).c_str(), 0600), 0);
    std::filesystem::create_directories(path("twins"));
    std::filesystem::copy_file(path("k.pub"), path("twins/twin.pub"));
    const std::string key = rztest::read_text(path("k.pub"));
    const std::size_t at = key.find('\n') + 1 + 20;  // inside the public key, past its ID
    rztest::edit_line(path("twins/twin.pub"), 1, 20, 1, key[at] == 'A' ? "B" : "A");
    const std::string longPassword(2000, 'x');  // and no line end
    // Arguments, standard input, stderr; every row exits with status 2.
    const std::tuple<Args, std::string, std::string> rows[] = {
        {{"verify", "--key", "fifo", "fw.qv"}, "", "fifo: is a FIFO, not a regular file"},
        {{"verify", "--key", "/dev/zero", "fw.qv"}, "", "/dev/zero: is a character device, not"},
        {{"verify", "--key", "-", "fw.qv"}, "", "-: this command does not read standard input"},
        {{"verify", "--keyring", "ring", "fw.qv"}, "", "ring/x.pub: is a FIFO"},
        {{"verify", "--key", "k.pub", "fifo.qv"}, "", "fifo.qv.minisig: is a FIFO"},
        {{"verify", "--key", "k.pub", "--sig", "/dev/zero", "fw.qv"}, "", "/dev/zero: is a char"},
        {{"verify", "--key", "k.pub", "--keyring", "twins", "fw.qv"},
         "",
         "twins/twin.pub: another key with the same key ID is already trusted"},
        {{"sign", "-s", "fifo", "fw.qv"}, "", "fifo: is a FIFO"},
        {{"sign", "-s", "k.sec", "missing.qv"}, "", "missing.qv: No such file or directory"},
        {{"sign", "-s", "k.sec", "dir.qv"}, "", "dir.qv.minisig: Is a directory"},
        {{"sign", "-s", "k.sec", "-"}, "", "sign does not read standard input"},
        {{"keygen", "-p", "e.pub", "-s", "e.sec", "--password-fd", "0"},
         longPassword,
         "--password-fd 0: longer than 1024 bytes"},
    };
    for (const auto &[args, input, why] : rows) {
        SCOPED_TRACE(args[0] + " " + args[args.size() - 2] + " " + args.back());
        expect_run('R', args, input, 2, "", why);
    }
    EXPECT_FALSE(rztest::file_exists(path("e.sec")));
}

// Paths keygen and sign print, and a signature's comment verified or not,
// reach the terminal escaped (the library itself refuses C0 controls in a
// comment).
TEST_F(SignToolTest, PathsAndCommentsAreEscaped) {
    const std::string odd = "\xe2\x80\xae\xc2\x9b", shown = "\\xe2\\x80\\xae\\xc2\\x9b";
    expect_run('R', {"keygen", "--unencrypted", "-p", "k" + odd + ".pub", "-s", "k.sec"}, "", 0,
               "public key in k" + shown + ".pub");
    rztest::make_package().write(path("fw" + odd + ".qv"));
    expect_run('R', {"sign", "-s", "k.sec", "fw" + odd + ".qv"}, "", 0,
               "fw" + shown + ".qv: signed");
    sign('R', "k", "fw.qv");
    const std::string raw = "\xe2\x80\xae\xc2\x9b\xff\xe2\x81\xa6";
    rztest::edit_line(path("fw.qv.minisig"), 2, -1, 0, raw);
    const RunResult r = run('R', {"verify", "--key", "k" + odd + ".pub", "fw.qv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("unverified comment: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\\xe2\\x80\\xae\\xc2\\x9b\\xff\\xe2\\x81\\xa6"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(raw), std::string::npos);
}

// The password prompt turns echo off; a fatal signal while it waits puts
// the terminal back before the tool dies of that signal.
TEST_F(SignToolTest, PromptRestoresTheTerminal) {
    const std::string tool = RERAZERA_TOOL, pub = path("t.pub"), sec = path("t.sec");
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(::strsignal(sig));
        int master = -1, slave = -1;
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        termios t{};
        ASSERT_EQ(::tcgetattr(slave, &t), 0);
        ASSERT_NE(t.c_lflag & ECHO, 0u);
        const pid_t pid = ::fork();
        if (pid == 0) {  // the terminal becomes the child's own, as in a login session
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; ++fd)
                ::dup2(slave, fd);
            ::execl(tool.c_str(), tool.c_str(), "keygen", "-p", pub.c_str(), "-s", sec.c_str(),
                    static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
        bool quiet = false;
        for (int i = 0; i < 2000 && !quiet; ++i) {  // up to 20 s for the prompt
            quiet = ::tcgetattr(slave, &t) == 0 && (t.c_lflag & ECHO) == 0;
            if (!quiet)
                ::usleep(10000);
        }
        EXPECT_TRUE(quiet) << "echo never went off";
        ::kill(pid, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        ASSERT_EQ(::tcgetattr(slave, &t), 0);
        EXPECT_NE(t.c_lflag & ECHO, 0u) << "echo left off";
        EXPECT_FALSE(rztest::file_exists(sec));
        ::close(master);
        ::close(slave);
    }
}

// sign --signing-helper: a key outside any minisign file signs, minisign checks the
// result; a helper that fails, answers short or holds another key writes nothing.
TEST_F(SignToolTest, ExternalSignerSigns) {
    const std::string signer = RERAZERA_SIGNER;
    for (const std::string k : {"ext", "other"})
        ASSERT_EQ(
            rztest::run_program({signer, "keygen", k + ".pub", k + ".key"}, dir_.path(), "").status,
            0);
    rztest::make_package().write(path("fw.qv"));
    const std::string helper = signer + " sign ext.key";
    expect_run('R',
               {"sign", "--signing-helper", helper, "-p", "ext.pub", "--version", "3", "fw.qv"}, "",
               0, "fw.qv: signed by ");
    expect_run('M', {"-V", "-H", "-p", "ext.pub", "-m", "fw.qv"}, "", 0,
               "Signature and comment signature verified");
    EXPECT_TRUE(verify_json({"--key", "ext.pub", "--min-version", "3", "fw.qv"}, 0)["passed"]);
    // Helper, public key, the text stderr must hold.
    const std::tuple<std::string, std::string, std::string> refusals[] = {
        {helper, "other.pub", "does not verify with the public key"},
        {"exit 3", "ext.pub", "exited with status 3"},
        {"head -c 10 /dev/zero", "ext.pub", "wrote 10 bytes"},
        {"head -c 100 /dev/zero", "ext.pub", "more than 64"},
    };
    for (const auto &[command, pub, why] : refusals) {
        SCOPED_TRACE(command);
        std::filesystem::remove(path("fw.qv.minisig"));
        expect_run('R', {"sign", "--signing-helper", command, "-p", pub, "fw.qv"}, "", 2, "", why);
        EXPECT_FALSE(rztest::file_exists(path("fw.qv.minisig")));
    }
    expect_run('R', {"sign", "--signing-helper", helper, "fw.qv"}, "", 2, "", "(-p)");
    expect_run('R', {"sign", "fw.qv"}, "", 2, "", "--signing-helper");
}

// sign --prepare / --sign-request / --attach: the signer sees only the request;
// minisign and verify accept the attached signature; each spoiled response or
// request is refused with the text that says what differs, and nothing written.
TEST_F(SignToolTest, TwoStepSigningChecksBeforeWriting) {
    const std::string signer = RERAZERA_SIGNER;
    keygen('R', "k");
    keygen('M', "other");
    ASSERT_EQ(rztest::run_program({signer, "keygen", "ext.pub", "ext.key"}, dir_.path(), "").status,
              0);
    rztest::make_package().write(path("fw.qv"));
    std::filesystem::copy_file(path("fw.qv"), path("fw2.qv"));
    const std::string epoch = "SOURCE_DATE_EPOCH=7";
    for (const std::string k : {"k", "ext"}) {
        SCOPED_TRACE(k);
        expect_run('R', {"sign", "--prepare", "-p", k + ".pub", "--version", "2", "fw.qv"}, "", 0,
                   "fw.qv.sigreq: signing request for key ", "", epoch);
        const Args with = k == "k"
                              ? Args{"-s", "k.sec"}
                              : Args{"--signing-helper", signer + " sign ext.key", "-p", "ext.pub"};
        Args args{"sign", "--sign-request", "fw.qv.sigreq"};
        args.insert(args.end(), with.begin(), with.end());
        expect_run('R', args, "", 0, "fw.qv.sigresp: signed by ");
        std::filesystem::remove(path("fw.qv.minisig"));
        expect_run('R', {"sign", "--attach", "fw.qv.sigresp", "-p", k + ".pub", "fw.qv"}, "", 0);
        expect_run('M', {"-V", "-p", k + ".pub", "-m", "fw.qv"}, "", 0,
                   "Signature and comment signature verified");
        EXPECT_TRUE(verify_json({"--key", k + ".pub", "--min-version", "2", "fw.qv"}, 0)["passed"]);
        // The same request signed by sign itself gives the same file.
        if (k == "k") {
            expect_run('R',
                       {"sign", "-s", "k.sec", "--version", "2", "-x", "direct.minisig", "fw.qv"},
                       "", 0, "", "", epoch);
            EXPECT_EQ(rztest::read_text(path("direct.minisig")),
                      rztest::read_text(path("fw.qv.minisig")));
        }
    }
    // Response (spoiled by replacing a text), public key, package, status, stderr.
    const std::string resp = rztest::read_text(path("fw.qv.sigresp"));
    const std::size_t commentEnd = resp.find('\n', resp.find("\ntrusted comment:") + 1);
    const std::size_t sigAt = resp.find('\n') + 20;  // inside the package's signature
    const std::tuple<std::string, std::string, std::string, int, std::string> refusals[] = {
        {resp, "k.pub", "fw.qv", 1, "signed by key "},
        {resp, "ext.pub", "fw2.qv", 1, "names another file"},
        {resp.substr(0, commentEnd) + "\tx:1" + resp.substr(commentEnd), "ext.pub", "fw.qv", 1,
         "trusted comment is not the one"},
        {resp.substr(0, resp.size() - 20) + "AAAAAAA" + resp.substr(resp.size() - 13), "ext.pub",
         "fw.qv", 1, "not the one signed"},
        {resp.substr(0, sigAt) + "AAAAAAA" + resp.substr(sigAt + 7), "ext.pub", "fw.qv", 1,
         "not over this package"},
        {"junk\n", "ext.pub", "fw.qv", 1, "malformed"},
        {resp, "nokey.pub", "fw.qv", 2, "nokey.pub"},
    };
    for (const auto &[text, pub, package, status, why] : refusals) {
        SCOPED_TRACE(why);
        rztest::write_text(path("bad.sigresp"), text);
        expect_run('R',
                   {"sign", "--attach", "bad.sigresp", "-p", pub, "-o", "out.minisig", package}, "",
                   status, "", why);
        EXPECT_FALSE(rztest::file_exists(path("out.minisig")));
    }
    // Another package under the same name: the signature is not over its bytes.
    std::vector<rerazera::writer::SubFile> files(1);
    files[0].name = "other";
    files[0].payload.assign(100, 7);
    rerazera::writer::PackageBuilder::from_files(std::move(files), 0x1234)
        .build()
        .write(path("fw.qv"));
    expect_run('R',
               {"sign", "--attach", "fw.qv.sigresp", "-p", "ext.pub", "-o", "out.minisig", "fw.qv"},
               "", 1, "", "not over this package");
    // Requests: another key, then spoiled lines, each named by file and line.
    const std::string req = rztest::read_text(path("fw.qv.sigreq"));
    const std::pair<std::string, std::string> badRequests[] = {
        {req, "asks for key "},
        {"rerazera-signing-request 2\n", "bad.sigreq:1: not a signing request"},
        {req.substr(0, req.size() - 1), "bad.sigreq:6: the line has no end"},
        {req.substr(0, req.find("size ")) + "size 1\n" + req.substr(req.find("blake2b-512")),
         "bad.sigreq:5: not a valid trusted-comment"},
        {req.substr(0, req.find("blake2b-512 ") + 12) + "zz" +
             req.substr(req.find("blake2b-512 ") + 14),
         "bad.sigreq:4: not a valid blake2b-512"},
        {req + "more\n", "bad.sigreq:7: text after"},
        {std::string(70000, 'x'), "larger than 64 KiB"},
    };
    for (const auto &[text, why] : badRequests) {
        SCOPED_TRACE(why);
        rztest::write_text(path("bad.sigreq"), text);
        expect_run('R', {"sign", "--sign-request", "bad.sigreq", "-s", "other.sec", "-o", "out"},
                   "", text == req ? 1 : 2, "", why);
        EXPECT_FALSE(rztest::file_exists(path("out")));
    }
    expect_run('R', {"sign", "--prepare", "fw.qv"}, "", 2, "", "(-p)");
    expect_run('R', {"sign", "--sign-request", "fw.qv.sigreq", "-s", "k.sec", "fw.qv"}, "", 2, "",
               "takes no package");
    // An option the mode would ignore is refused, and nothing is written.
    const std::pair<Args, std::string> ignored[] = {
        {{"--sign-request", "fw.qv.sigreq", "-s", "k.sec", "-t", "a:b"},
         "cannot be used with --trusted-comment"},
        {{"--sign-request", "fw.qv.sigreq", "-s", "k.sec", "--version", "3"},
         "cannot be used with --version"},
        {{"--prepare", "-p", "k.pub", "-s", "k.sec", "fw.qv"},
         "--secret cannot be used with --prepare"},
        {{"--attach", "fw.qv.sigresp", "-p", "k.pub", "-c", "x", "fw.qv"},
         "cannot be used with --untrusted-comment"},
        {{"-s", "k.sec", "-o", "out", "fw.qv"}, "-x"},
    };
    std::filesystem::remove(path("fw.qv.minisig"));
    for (const auto &[extra, why] : ignored) {
        SCOPED_TRACE(why);
        Args args{"sign"};
        args.insert(args.end(), extra.begin(), extra.end());
        expect_run('R', args, "", 2, "", why);
        EXPECT_FALSE(rztest::file_exists(path("out")));
        EXPECT_FALSE(rztest::file_exists(path("fw.qv.minisig")));
    }
}

// A PKCS#11 token as the signer: SoftHSM's Ed25519 key through --pkcs11
// (p11-kit) and through OpenSC's pkcs11-tool as a signing helper; minisign
// accepts each signature. Each refusal writes no signature. Skipped where
// the token tools are not installed.
TEST_F(SignToolTest, Pkcs11TokenSigns) {
    const std::string module = "/usr/lib/softhsm/libsofthsm2.so";
    if (!rztest::file_exists(module) || !rztest::file_exists("/usr/bin/pkcs11-tool") ||
        !rztest::file_exists("/usr/bin/softhsm2-util"))
        GTEST_SKIP() << "softhsm2 and opensc are not installed";
    std::filesystem::create_directory(path("tokens"));
    rztest::write_text(path("softhsm2.conf"), "directories.tokendir = " + path("tokens") + "\n");
    const std::string conf = "SOFTHSM2_CONF=" + path("softhsm2.conf");
    const std::string p11 =
        conf + " pkcs11-tool --module " + module + " --token-label fw --login --pin 1234 ";
    const auto sh = [&](const std::string &cmd) {
        const RunResult r = rztest::run_program({"/bin/sh", "-c", cmd}, dir_.path(), "");
        EXPECT_EQ(r.status, 0) << cmd << r.out << r.err;
    };
    sh(conf + " softhsm2-util --init-token --free --label fw --pin 1234 --so-pin 5678");
    sh(p11 + "--keypairgen --key-type EC:edwards25519 --id 01 --label release");
    sh(p11 + "--keypairgen --key-type EC:edwards25519 --id 02 --label spare");
    sh(p11 + "--keypairgen --key-type EC:prime256v1 --id 03 --label p256");
    keygen('R', "other");
    rztest::make_package().write(path("fw.qv"));
    rztest::write_text(path("pin"), "1234\n");
    rztest::write_text(path("wrong-pin"), "4321\n");
    const auto uri = [&](Str path, Str query) {
        return "pkcs11:token=fw" + path + "?module-path=" + module + query;
    };
    const std::string release = uri(";object=release", "&pin-value=1234");
    if (run('R', {"keygen", "--pkcs11", release, "-p", "k.pub"}, "", conf).err.find("not built") !=
        std::string::npos)
        GTEST_SKIP() << "the tool was built without p11-kit";
    const RunResult made = run('R', {"keygen", "--pkcs11", release, "-p", "k.pub", "-f"}, "", conf);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string id = made.out.substr(7, 16);  // "key ID XXXXXXXXXXXXXXXX: ..."
    const std::string helper = p11 +
                               "--sign --mechanism EDDSA --id 01 --input-file /dev/stdin "
                               "--output-file /dev/stdout 2>/dev/null";
    // Signer options, standard input, exit status, the text stdout (0) or stderr must hold.
    const std::tuple<Args, std::string, int, std::string> rows[] = {
        {{"--pkcs11", release}, "", 0, "fw.qv: signed by " + id},
        {{"--pkcs11", uri(";id=%01", ""), "--password-fd", "0", "-p", "k.pub"}, "1234\n", 0, id},
        {{"--signing-helper", helper, "-p", "k.pub"}, "", 0, id},
        {{"--pkcs11", uri(";object=release", "&pin-source=file:" + path("pin"))}, "", 0, id},
        {{"--pkcs11", uri(";object=release", "&pin-source=file:" + path("wrong-pin"))},
         "",
         2,
         "wrong PIN"},
        {{"--pkcs11", uri(";object=release", "&pin-source=" + path("tokens"))},
         "",
         2,
         "is a directory"},
        {{"--pkcs11", uri("", "&pin-value=1234")}, "", 2, "ambiguous"},
        {{"--pkcs11", uri(";object=nosuch", "&pin-value=1234")}, "", 2, "no private key"},
        {{"--pkcs11", "pkcs11:token=none?module-path=" + module}, "", 2, "no token matches"},
        {{"--pkcs11", uri(";object=release", "&pin-value=4321")}, "", 2, "wrong PIN"},
        {{"--pkcs11", uri(";object=p256", "&pin-value=1234")}, "", 2, "not an Ed25519 key"},
        {{"--pkcs11", "pkcs11:token=fw;id=%zz"}, "", 2, "not a PKCS#11 URI"},
        {{"--pkcs11", release, "-p", "other.pub"}, "", 2, "does not match the token's key"},
    };
    for (const auto &[signer, input, status, text] : rows) {
        SCOPED_TRACE(signer[1]);
        std::filesystem::remove(path("fw.qv.minisig"));
        Args args{"sign", "--version", "7"};
        args.insert(args.end(), signer.begin(), signer.end());
        args.push_back("fw.qv");
        expect_run('R', args, input, status, status == 0 ? text : "", status == 0 ? "" : text,
                   conf);
        if (status != 0) {
            EXPECT_FALSE(rztest::file_exists(path("fw.qv.minisig")));
            continue;
        }
        expect_run('M', {"-Vm", "fw.qv", "-p", "k.pub"}, "", 0,
                   "Signature and comment signature verified");
        EXPECT_TRUE(verify_json({"--key", "k.pub", "--min-version", "7", "fw.qv"}, 0)["passed"]);
    }
}

}  // namespace

namespace {

// sign --index and verify --stream --index: minisign checks the index's
// signature; each refusal stops before a byte is passed on.
struct IndexRow {
    const char *name;
    void (*spoil)(Str dir);  // on the files in dir, after signing
    Args extra;              // verify's options beyond --stream --index fw.qv.index
    int status;
    const char *report;  // in the report (stderr, the bytes going to stdout)
    bool passesBytes;
};
const IndexRow kIndexRows[] = {
    {"intact", [](Str) {}, {"--key", "k.pub"}, 0, "standard input: ok", true},
    {"resealed sub-file, CRCs right",
     [](Str d) {
         rerazera::writer::Package p = rztest::make_package();
         p.bytes[p.entryOffsets[0] + 244] = 'X';
         p.reseal_bin_header(p.entryOffsets[0]);
         p.write(d + "/fw.qv");
     },
     {"--key", "k.pub"},
     1,
     "FAILED (block 0 of 1, bytes 0-79237, header entry 0)",
     false},
    {"truncated",
     [](Str d) { std::filesystem::resize_file(d + "/fw.qv", 79000); },
     {"--key", "k.pub"},
     1,
     "the package's length differs from the signed index",
     false},
    {"index edited",
     [](Str d) { rztest::edit_line(d + "/fw.qv.index", 2, 5, 1, "8"); },
     {"--key", "k.pub"},
     1,
     "FAILED (index)\n  index: signature does not match the file",
     false},
    {"index signature missing",
     [](Str d) { Spoil::no_sig("", d + "/fw.qv.index.minisig"); },
     {"--key", "k.pub"},
     1,
     "no signature file",
     false},
    {"another key", [](Str) {}, {"--key", "o.pub"}, 1, "signed by an untrusted key", false},
    {"below the version floor",
     [](Str) {},
     {"--key", "k.pub", "--min-version", "3"},
     1,
     "version below the minimum",
     false},
    {"at the version floor",
     [](Str) {},
     {"--key", "k.pub", "--min-version", "2.5"},
     0,
     "standard input: ok",
     true},
    {"no key", [](Str) {}, {}, 2, "needs the trusted keys", false},
};

TEST_F(SignToolTest, SignedIndexStreams) {
    keygen('R', "k");
    keygen('M', "o");
    for (const std::string digest : {"blake2b-256", "sha-256"}) {
        for (const IndexRow &row : kIndexRows) {
            SCOPED_TRACE(digest + ": " + row.name);
            sign('R', "k", "fw.qv", {"--index", "--index-digest", digest, "--version", "2.5"});
            expect_run('M', {"-Vm", "fw.qv.index", "-p", "k.pub", "-x", "fw.qv.index.minisig"}, "",
                       0, "\tfile:fw.qv.index\tsize:");
            const std::string original = rztest::read_text(path("fw.qv"));
            row.spoil(dir_.path());
            Args args = {"verify", "--stream", "--index", "fw.qv.index", "-", "-o", "-"};
            args.insert(args.end(), row.extra.begin(), row.extra.end());
            const RunResult r = run('R', args, rztest::read_text(path("fw.qv")));
            EXPECT_EQ(r.status, row.status) << r.err;
            EXPECT_NE(r.err.find(row.report), std::string::npos) << r.err;
            EXPECT_EQ(r.out, row.passesBytes ? original : "");
            // To a file: kept only when everything passed.
            args[6] = "out.qv";
            std::filesystem::remove(path("out.qv"));
            EXPECT_EQ(run('R', args, rztest::read_text(path("fw.qv"))).status, row.status);
            EXPECT_EQ(rztest::file_exists(path("out.qv")), row.status == 0);
        }
    }
    // A layout whose bytes a stream needs twice: the index proves each block
    // once, so the strict stream refuses it and passes nothing on.
    rztest::read_twice_package().write(path("twice.qv"));
    expect_run('R', {"sign", "-s", "k.sec", "--index", "twice.qv"}, "", 0);
    const RunResult r = run(
        'R',
        {"verify", "--stream", "--index", "twice.qv.index", "--key", "k.pub", "-", "-o", "out.qv"},
        rztest::read_text(path("twice.qv")));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("a signed index cannot prove a second pass"), std::string::npos) << r.err;
    EXPECT_FALSE(rztest::file_exists(path("out.qv")));
}

}  // namespace
