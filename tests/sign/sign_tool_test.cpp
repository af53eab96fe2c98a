// keygen, sign and verify of the rerazera tool against Debian's minisign:
// keys made by either work in the other, signatures made by either verify
// with the other, and the tool refuses each spoiled signature with its own
// verdict and exit status 1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "run_program.hpp"
#include "support/scratch.hpp"
#include "writer/package_writer.hpp"

namespace {

using nlohmann::json;
using rerazera::writer::PackageBuilder;
using rerazera::writer::SubFile;
using rztest::read_text;
using rztest::RunResult;
using rztest::write_text;

enum class Tool { Minisign, Rerazera };

class SignToolTest : public ::testing::Test {
  protected:
    RunResult tool(std::vector<std::string> args, const std::string &input = "",
                   const std::vector<std::string> &env = {}) {
        args.insert(args.begin(), RERAZERA_TOOL);
        return rztest::run_program(args, dir_.path(), input, env);
    }
    RunResult minisign(std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), RERAZERA_MINISIGN);
        return rztest::run_program(args, dir_.path(), input);
    }
    std::string path(const std::string &name) const { return dir_.file(name); }

    // A package of two sub-files with product type 0x1234 (4660).
    void write_package(const std::string &name, std::uint8_t seed = 1) {
        std::vector<SubFile> files(2);
        files[0].fileId = 1;
        files[0].name = "boot";
        files[0].payload.assign(30000, seed);
        files[1].fileId = 2;
        files[1].name = "app";
        files[1].payload.assign(500, static_cast<std::uint8_t>(seed + 1));
        PackageBuilder::from_files(files, 0x1234).build().write(path(name));
    }

    void keygen(Tool maker, const std::string &name) {
        const RunResult r =
            maker == Tool::Minisign
                ? minisign({"-G", "-W", "-p", name + ".pub", "-s", name + ".sec"})
                : tool({"keygen", "--unencrypted", "-p", name + ".pub", "-s", name + ".sec"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }

    void sign(Tool signer, const std::string &key, const std::string &package,
              const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args =
            signer == Tool::Minisign
                ? std::vector<std::string>{"-S", "-s", key + ".sec", "-m", package}
                : std::vector<std::string>{"sign", "-s", key + ".sec", package};
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult r = signer == Tool::Minisign ? minisign(args) : tool(args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }

    // verify --json; the record of the one package.
    json verify_json(const std::vector<std::string> &options, int expectedStatus,
                     const std::string &package = "fw.qv") {
        std::vector<std::string> args = {"verify", "--json"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(package);
        const RunResult r = tool(args);
        EXPECT_EQ(r.status, expectedStatus) << r.out << r.err;
        const json doc = json::parse(r.out, nullptr, false);
        if (doc.is_discarded() || !doc.contains("packages")) {
            ADD_FAILURE() << r.out;
            return json::object();
        }
        return doc["packages"][0];
    }

    rztest::ScratchDir dir_;
};

// Key maker, signer and verifier: every combination of the two tools.
struct InteropCase {
    Tool keys, signer, verifier;
};

class Interop : public SignToolTest, public ::testing::WithParamInterface<InteropCase> {};

TEST_P(Interop, KeysAndSignaturesCrossOver) {
    const InteropCase c = GetParam();
    write_package("fw.qv");
    keygen(c.keys, "k");
    sign(c.signer, "k", "fw.qv");
    if (c.verifier == Tool::Minisign) {
        // -H: only the prehashed format is accepted.
        const RunResult r = minisign({"-V", "-H", "-p", "k.pub", "-m", "fw.qv"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Signature and comment signature verified"), std::string::npos);
        return;
    }
    const json p = verify_json({"--key", "k.pub"}, 0);
    EXPECT_TRUE(p["passed"]);
    EXPECT_EQ(p["verdict"], "Info: System software CRC check OK!\n");
    EXPECT_TRUE(p["signature"]["passed"]);
    EXPECT_TRUE(p["signature"]["comment_verified"]);
    // The key ID is the one in the public key's comment (minisign drops
    // leading zeros there).
    const std::string pub = read_text(path("k.pub"));
    const std::string first = pub.substr(0, pub.find('\n'));
    const std::string id = first.substr(first.rfind(' ') + 1);
    EXPECT_EQ(p["signature"]["key_id"], std::string(16 - id.size(), '0') + id);
}

INSTANTIATE_TEST_SUITE_P(
    Minisign, Interop,
    ::testing::Values(InteropCase{Tool::Minisign, Tool::Minisign, Tool::Rerazera},
                      InteropCase{Tool::Rerazera, Tool::Rerazera, Tool::Minisign},
                      InteropCase{Tool::Minisign, Tool::Rerazera, Tool::Minisign},
                      InteropCase{Tool::Minisign, Tool::Rerazera, Tool::Rerazera},
                      InteropCase{Tool::Rerazera, Tool::Minisign, Tool::Rerazera},
                      InteropCase{Tool::Rerazera, Tool::Minisign, Tool::Minisign}),
    [](const auto &row) {
        auto n = [](Tool which) {
            return which == Tool::Minisign ? std::string("M") : std::string("R");
        };
        return "keys" + n(row.param.keys) + "_sign" + n(row.param.signer) + "_verify" +
               n(row.param.verifier);
    });

// Password-protected secret keys, both ways: each tool decrypts the other's
// (scrypt with minisign's limits: a few seconds and 1 GiB each time).
TEST_F(SignToolTest, EncryptedKeysCrossOver) {
    write_package("fw.qv");
    RunResult r = tool({"keygen", "-p", "r.pub", "-s", "r.sec", "--password-fd", "0"}, "rz pw\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(rztest::file_mode(path("r.sec")), 0600u);
    r = minisign({"-S", "-s", "r.sec", "-m", "fw.qv"}, "rz pw\n");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(verify_json({"--key", "r.pub"}, 0)["passed"]);

    r = minisign({"-G", "-p", "m.pub", "-s", "m.sec"}, "ms pw\nms pw\n");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = tool({"sign", "-s", "m.sec", "--password-fd", "0", "fw.qv"}, "wrong\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("wrong password"), std::string::npos) << r.err;
    r = tool({"sign", "-s", "m.sec", "--password-fd", "0", "fw.qv"}, "ms pw\n");
    ASSERT_EQ(r.status, 0) << r.err;
    r = minisign({"-V", "-H", "-p", "m.pub", "-m", "fw.qv"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // Without a terminal and without --password-fd nothing is asked.
    r = tool({"sign", "-s", "m.sec", "fw.qv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--password-fd"), std::string::npos) << r.err;
}

// Each refusal has its own verdict in the report, and exit status 1.
struct RefusalCase {
    const char *name;
    std::vector<std::string> signOptions;  // for minisign -S
    void (*spoil)(const std::string &dir);
    std::vector<std::string> verifyOptions;
    int status;
    int result;  // the signature's code in the JSON report
};

void PrintTo(const RefusalCase &c, std::ostream *os) {
    *os << c.name;
}

void flip_last_byte(const std::string &dir) {
    std::string b = read_text(dir + "/fw.qv");
    b.back() = static_cast<char>(b.back() ^ 1);
    write_text(dir + "/fw.qv", b);
}
void edit_comment(const std::string &dir) {
    std::string t = read_text(dir + "/fw.qv.minisig");
    const std::size_t at = t.find("\ntrusted comment: ") + 18;
    t[at] = t[at] == 'x' ? 'y' : 'x';
    write_text(dir + "/fw.qv.minisig", t);
}
void truncate_signature(const std::string &dir) {
    const std::string t = read_text(dir + "/fw.qv.minisig");
    write_text(dir + "/fw.qv.minisig", t.substr(0, t.size() / 2));
}
void remove_signature(const std::string &dir) {
    std::filesystem::remove(dir + "/fw.qv.minisig");
}

const RefusalCase kRefusals[] = {
    {"valid", {}, nullptr, {"--key", "a.pub"}, 0, 0},
    {"changed byte", {}, flip_last_byte, {"--key", "a.pub"}, 1, 6},
    {"edited trusted comment", {}, edit_comment, {"--key", "a.pub"}, 1, 7},
    {"truncated signature", {}, truncate_signature, {"--key", "a.pub"}, 1, 2},
    {"no signature", {}, remove_signature, {"--key", "a.pub"}, 1, 1},
    {"legacy signature", {"-l"}, nullptr, {"--key", "a.pub"}, 1, 3},
    {"legacy signature allowed", {"-l"}, nullptr, {"--key", "a.pub", "--allow-legacy"}, 0, 0},
    {"wrong key", {}, nullptr, {"--key", "b.pub"}, 1, 4},
    {"revoked key", {}, nullptr, {"--key", "a.pub", "--key", "b.pub", "--revoke", "@a"}, 1, 5},
    {"signed product type differs",
     {"-t", "file:fw.qv\tproduct-type:99"},
     nullptr,
     {"--key", "a.pub"},
     1,
     0},
    {"signed product type matches",
     {"-t", "file:fw.qv\tproduct-type:4660"},
     nullptr,
     {"--key", "a.pub"},
     0,
     0},
};

class Refusal : public SignToolTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, OwnVerdict) {
    const RefusalCase &c = GetParam();
    write_package("fw.qv");
    keygen(Tool::Minisign, "a");
    keygen(Tool::Minisign, "b");
    sign(Tool::Minisign, "a", "fw.qv", c.signOptions);
    if (c.spoil != nullptr) {
        c.spoil(dir_.path());
    }
    std::vector<std::string> options = c.verifyOptions;
    for (std::string &o : options) {
        if (o == "@a") {  // the ID of key a, as the tool reports it
            o = verify_json({"--key", "a.pub"}, 0)["signature"]["key_id"];
        }
    }
    const json p = verify_json(options, c.status);
    const json &s = p["signature"];
    EXPECT_EQ(s["result"], c.result) << s.dump();
    EXPECT_EQ(s["passed"], c.status == 0);
    EXPECT_EQ(p["passed"], c.status == 0);
    const bool typeRecorded = c.signOptions.size() == 2 && c.signOptions[0] == "-t";
    if (typeRecorded) {
        EXPECT_EQ(s["product_type"]["package"], 4660);
        EXPECT_EQ(s["product_type"]["matches"], c.status == 0);
    }
    // The text report names the same verdict.
    std::vector<std::string> args = {"verify"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("fw.qv");
    const RunResult r = tool(args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(std::string("signature: ") + s["verdict"].get<std::string>()),
              std::string::npos)
        << r.out;
}

INSTANTIATE_TEST_SUITE_P(Tool, Refusal, ::testing::ValuesIn(kRefusals), [](const auto &row) {
    std::string n = row.param.name;
    for (char &ch : n) {
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return n;
});

// Key rotation: a keyring directory trusts the old and the new key, and the
// old one's ID is revoked. The new release passes, the old one is refused,
// and the run as a whole fails.
TEST_F(SignToolTest, KeyringRotation) {
    std::filesystem::create_directory(path("keys"));
    keygen(Tool::Rerazera, "keys/old");
    keygen(Tool::Rerazera, "keys/new");
    std::filesystem::rename(path("keys/old.sec"), path("old.sec"));
    std::filesystem::rename(path("keys/new.sec"), path("new.sec"));
    write_package("v1.qv", 1);
    write_package("v2.qv", 2);
    sign(Tool::Rerazera, "old", "v1.qv");
    sign(Tool::Rerazera, "new", "v2.qv");
    const std::string oldId = verify_json({"--keyring", "keys"}, 0, "v1.qv")["signature"]["key_id"];

    const RunResult r =
        tool({"verify", "--json", "--keyring", "keys", "--revoke", oldId, "v1.qv", "v2.qv"});
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
    write_package("fw.qv");
    keygen(Tool::Rerazera, "k");
    RunResult r = tool({"sign", "-s", "k.sec", "fw.qv"}, "", {"SOURCE_DATE_EPOCH=1700000000"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sig = read_text(path("fw.qv.minisig"));
    const std::string size = std::to_string(std::filesystem::file_size(path("fw.qv")));
    EXPECT_NE(sig.find("\ntrusted comment: timestamp:1700000000\tfile:fw.qv\tsize:" + size +
                       "\tproduct-type:4660\n"),
              std::string::npos)
        << sig;

    std::string bytes = read_text(path("fw.qv"));
    bytes[bytes.size() - 1] = static_cast<char>(bytes.back() ^ 1);  // payload CRC now wrong
    write_text(path("bad.qv"), bytes);
    r = tool({"sign", "-s", "k.sec", "bad.qv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(rztest::file_exists(path("bad.qv.minisig")));

    r = tool({"sign", "-s", "k.sec", "fw.qv"}, "", {"SOURCE_DATE_EPOCH=soon"});
    EXPECT_EQ(r.status, 2);
    r = tool({"keygen", "--unencrypted", "-p", "k.pub", "-s", "other.sec"});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(rztest::file_exists(path("other.sec")));
    r = tool({"verify", "--key", "k.sec", "fw.qv"});
    EXPECT_EQ(r.status, 2) << r.out;
}

}  // namespace
