// The tool's keygen, sign and verify against Debian's minisign: keys and
// signatures of either work in the other; each refusal has its verdict.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "run_program.hpp"
#include "support/scratch.hpp"

namespace {

using nlohmann::json;
using rztest::RunResult;
using rztest::Spoil;
using rztest::Str;
using Args = std::vector<std::string>;

class SignToolTest : public ::testing::Test {
  protected:
    // By minisign ('M') or the tool ('R', given env, "NAME=value", by env(1)).
    RunResult run(char which, Args args, Str input = "", Str env = "LC_ALL=C") {
        if (which == 'M') {
            return rztest::minisign(args, dir_.path(), input);
        }
        args.insert(args.begin(), {"/usr/bin/env", env, RERAZERA_TOOL});
        return rztest::run_program(args, dir_.path(), input);
    }
    std::string path(Str name) const { return dir_.file(name); }

    void keygen(char maker, Str k) {
        const RunResult r =
            run(maker, maker == 'M'
                           ? Args{"-G", "-W", "-p", k + ".pub", "-s", k + ".sec"}
                           : Args{"keygen", "--unencrypted", "-p", k + ".pub", "-s", k + ".sec"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    void sign(char signer, Str k, Str package, const Args &extra = {}) {
        rztest::make_package().write(path(package));
        Args args = signer == 'M' ? Args{"-S", "-s", k + ".sec", "-m", package}
                                  : Args{"sign", "-s", k + ".sec", package};
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult r = run(signer, args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }

    // verify --json of one package: its record.
    json verify_json(Args args, int expectedStatus) {
        args.insert(args.begin(), {"verify", "--json"});
        const RunResult r = run('R', args);
        EXPECT_EQ(r.status, expectedStatus) << r.out << r.err;
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
        if (row[2] == 'M') {
            // -H: only the prehashed format is accepted.
            const RunResult r = run('M', {"-V", "-H", "-p", k + ".pub", "-m", pkg});
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_NE(r.out.find("Signature and comment signature verified"), std::string::npos);
            continue;
        }
        const json p = verify_json({"--key", k + ".pub", pkg}, 0);
        EXPECT_TRUE(p["passed"]);
        EXPECT_EQ(p["verdict"], "Info: System software CRC check OK!\n");
        EXPECT_TRUE(p["signature"]["passed"]);
        EXPECT_TRUE(p["signature"]["comment_verified"]);
        EXPECT_EQ(p["signature"]["key_id"], rztest::key_id_of(path(k + ".pub")));
    }
}

// Password-protected secret keys, both ways: each tool decrypts the other's
// (scrypt with minisign's limits: a few seconds and 1 GiB each time).
TEST_F(SignToolTest, EncryptedKeysCrossOver) {
    rztest::make_package().write(path("fw.qv"));
    RunResult r =
        run('R', {"keygen", "-p", "r.pub", "-s", "r.sec", "--password-fd", "0"}, "rz pw\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(rztest::file_mode(path("r.sec")), 0600u);
    r = run('M', {"-S", "-s", "r.sec", "-m", "fw.qv"}, "rz pw\n");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(verify_json({"--key", "r.pub", "fw.qv"}, 0)["passed"]);

    r = run('M', {"-G", "-p", "m.pub", "-s", "m.sec"}, "ms pw\nms pw\n");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = run('R', {"sign", "-s", "m.sec", "--password-fd", "0", "fw.qv"}, "wrong\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("wrong password"), std::string::npos) << r.err;
    // Without a terminal or --password-fd nothing is asked, nor stdin read.
    r = run('R', {"sign", "-s", "m.sec", "fw.qv"}, "ms pw\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--password-fd"), std::string::npos) << r.err;
    r = run('R', {"sign", "-s", "m.sec", "--password-fd", "0", "fw.qv"}, "ms pw\n");
    ASSERT_EQ(r.status, 0) << r.err;
    r = run('M', {"-V", "-H", "-p", "m.pub", "-m", "fw.qv"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// Each refusal: its code (result) in the report, and exit status 1.
struct RefusalCase {
    const char *name;
    Args signOptions;  // for minisign -S
    void (*spoil)(Str pkg, Str sig);
    Args verifyOptions;
    int status, result;
};

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
    {"other product type", {"-t", kType + "99"}, Spoil::none, {"--key", "a.pub"}, 1, 0},
    {"same product type", {"-t", kType + "4660"}, Spoil::none, {"--key", "a.pub"}, 0, 0},
};

TEST_F(SignToolTest, OwnVerdictPerRefusal) {
    keygen('M', "a");
    keygen('M', "b");
    for (const RefusalCase &c : kRefusals) {
        SCOPED_TRACE(c.name);
        sign('M', "a", "fw.qv", c.signOptions);
        c.spoil(path("fw.qv"), path("fw.qv.minisig"));
        Args args = c.verifyOptions;
        args.push_back("fw.qv");
        const json p = verify_json(args, c.status);
        const json &s = p["signature"];
        EXPECT_EQ(s["result"], c.result) << s.dump();
        EXPECT_EQ(s["passed"], c.status == 0);
        EXPECT_EQ(p["passed"], c.status == 0);
        if (!c.signOptions.empty() && c.signOptions[0] == "-t") {
            EXPECT_EQ(s["product_type"]["package"], 4660);
            EXPECT_EQ(s["product_type"]["matches"], c.status == 0);
        }
        // The text report names the same verdict.
        args.insert(args.begin(), "verify");
        const RunResult r = run('R', args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find("signature: " + s["verdict"].get<std::string>()), std::string::npos)
            << r.out;
    }
}

// Key rotation: a keyring directory trusts the old and the new key, the old
// one's ID is revoked; its release is refused, so the run fails.
TEST_F(SignToolTest, KeyringRotation) {
    std::filesystem::create_directory(path("keys"));
    for (const std::string k : {"old", "new"}) {
        keygen('R', "keys/" + k);
        std::filesystem::rename(path("keys/" + k + ".sec"), path(k + ".sec"));
    }
    sign('R', "old", "v1.qv");
    sign('R', "new", "v2.qv");
    EXPECT_TRUE(verify_json({"--keyring", "keys", "v1.qv"}, 0)["passed"]);  // before revocation
    const std::string oldId = rztest::key_id_of(path("keys/old.pub"));
    const RunResult r =
        run('R', {"verify", "--json", "--keyring", "keys", "--revoke", oldId, "v1.qv", "v2.qv"});
    EXPECT_EQ(r.status, 1) << r.err;
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["packages"][0]["signature"]["result"], 5);
    EXPECT_FALSE(doc["packages"][0]["signature"]["package_checked"]);
    EXPECT_TRUE(doc["packages"][1]["passed"]);
    EXPECT_EQ(doc["summary"]["failed"], 1);
}

// sign: the trusted comment from SOURCE_DATE_EPOCH and the package; a
// package that fails its own checks is not signed; keygen keeps what exists.
TEST_F(SignToolTest, SignRecordsThePackageAndRefusesBrokenOnes) {
    keygen('R', "k");
    rztest::make_package().write(path("fw.qv"));
    RunResult r = run('R', {"sign", "-s", "k.sec", "fw.qv"}, "", "SOURCE_DATE_EPOCH=1700000000");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string size = std::to_string(std::filesystem::file_size(path("fw.qv")));
    EXPECT_NE(rztest::read_text(path("fw.qv.minisig"))
                  .find("\ntrusted comment: timestamp:1700000000\tfile:fw.qv\tsize:" + size +
                        "\tproduct-type:4660\n"),
              std::string::npos);
    std::filesystem::copy_file(path("fw.qv"), path("bad.qv"));
    rztest::flip_byte(path("bad.qv"), -1);  // payload CRC now wrong
    // Command, environment, exit status, and a file that must not appear.
    const std::tuple<Args, std::string, int, std::string> rows[] = {
        {{"sign", "-s", "k.sec", "bad.qv"}, "LC_ALL=C", 1, "bad.qv.minisig"},
        {{"sign", "-s", "k.sec", "fw.qv"}, "SOURCE_DATE_EPOCH=soon", 2, ""},
        {{"keygen", "--unencrypted", "-p", "k.pub", "-s", "other.sec"}, "LC_ALL=C", 2, "other.sec"},
        {{"verify", "--key", "k.sec", "fw.qv"}, "LC_ALL=C", 2, ""},
    };
    for (const auto &[args, env, status, absent] : rows) {
        SCOPED_TRACE(args[0] + " " + args.back());
        r = run('R', args, "", env);
        EXPECT_EQ(r.status, status) << r.out << r.err;
        EXPECT_TRUE(absent.empty() || !rztest::file_exists(path(absent)));
    }
}

}  // namespace
