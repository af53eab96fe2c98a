// SPDX-License-Identifier: MIT
// librerazera-sign's C API on Debian minisign's signatures: each spoiling has its own code.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <tuple>

#include "rerazera.h"
#include "rerazera/sign.h"
#include "run_program.hpp"
#include "support/log_capture.hpp"
#include "support/scratch.hpp"

namespace {

using rerazera::writer::Package;
using rztest::Spoil, rztest::Str;
using Ring = std::unique_ptr<rerazera_keyring, decltype(&rerazera_keyring_free)>;
using Info = std::unique_ptr<rerazera_signature_info, decltype(&rerazera_signature_info_free)>;

constexpr char kComment[] = "file:p.qv\tproduct type:4660";
constexpr char kOkEnd[] = "Info: System software CRC check OK!\n";
constexpr char kShort[] = "File length is wrong, less than header.\n";

class SignLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const std::string name : {"a", "b"}) {
            const auto r = rztest::minisign({"-G", "-W", "-p", name + ".pub", "-s", name + ".sec"},
                                            keys_.path());
            ASSERT_EQ(r.status, 0) << r.err;
        }
    }
    std::string key(Str name) const { return keys_.file(name); }
    std::string key_id(Str name) const { return rztest::key_id_of(key(name + ".pub")); }

    std::string signed_package(const Package &pkg, const rztest::ScratchDir &dir, Str name,
                               bool legacy = false, Str comment = kComment) const {
        pkg.write(dir.file(name));
        std::vector<std::string> args = {"-S", "-s", key("a.sec"), "-m", name, "-t", comment};
        if (legacy)
            args.push_back("-l");
        const auto r = rztest::minisign(args, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        return dir.file(name);
    }

    Ring ring_of(Str trusted, Str revoked = "") const {
        rerazera_keyring *raw = nullptr;
        EXPECT_EQ(rerazera_keyring_new(&raw), RERAZERA_SIGN_OK);
        Ring ring(raw, &rerazera_keyring_free);
        for (const char k : trusted)
            EXPECT_EQ(rerazera_keyring_add_file(ring.get(), key(k + std::string(".pub")).c_str()),
                      RERAZERA_SIGN_OK);
        for (const char k : revoked)
            EXPECT_EQ(rerazera_keyring_revoke(ring.get(), key_id(std::string(1, k)).c_str()),
                      RERAZERA_SIGN_OK);
        return ring;
    }

    rztest::ScratchDir keys_;
};

// A sub-file renamed, its CRCs made right again: only the signature tells.
void resealed(Str p, Str) {
    Package pkg = rztest::make_package();
    pkg.bytes[pkg.entryOffsets[0] + 244] = 'X';  // its bin header's name
    pkg.reseal_bin_header(pkg.entryOffsets[0]);
    pkg.write(p);
    char msg[256] = "";
    EXPECT_EQ(QVPKG_ChkQVFileInfo(p.c_str(), msg, sizeof msg), QVPKG_OK) << msg;
}

void long_comment(Str, Str s) {  // the trusted comment line grown to 8192 bytes
    rztest::edit_line(s, 2, -1, 0, std::string(8192 - 17 - (sizeof kComment - 1), 'x'));
}

// legacy: 1 signed with minisign -l, 2 and RERAZERA_SIGN_ALLOW_LEGACY given;
// info: the key ID and comment are handed back; change: made before signing.
struct SignatureCase {
    const char *name, *trusted, *revoked;
    int legacy;
    void (*spoil)(Str pkg, Str sig);
    int32_t expected;
    bool info;
    const char *file = "p.qv";
    int32_t packageResult = QVPKG_OK;
    const char *msgEnd = kOkEnd;  // a failed signature: "", or the text of a failed mapping
    void (*change)(Package &) = [](Package &) {};
    const char *comment = kComment;  // signed as the trusted comment
};
constexpr auto kSame = [](Package &) {};

const SignatureCase kSignatureCases[] = {
    {"valid", "a", "", 0, Spoil::none, RERAZERA_SIGN_OK, true},
    {"second of two trusted keys", "ba", "", 0, Spoil::none, RERAZERA_SIGN_OK, true},
    {"wrong key", "b", "", 0, Spoil::none, RERAZERA_SIGN_UNKNOWN_KEY, true},
    {"revoked key", "ab", "a", 0, Spoil::none, RERAZERA_SIGN_REVOKED_KEY, true},
    {"revoked, not trusted either", "b", "a", 0, Spoil::none, RERAZERA_SIGN_REVOKED_KEY, true},
    {"first byte changed", "a", "", 0, Spoil::first, RERAZERA_SIGN_MISMATCH, true},
    {"middle byte changed", "a", "", 0, Spoil::middle, RERAZERA_SIGN_MISMATCH, true},
    {"last byte changed", "a", "", 0, Spoil::last, RERAZERA_SIGN_MISMATCH, true},
    {"byte appended", "a", "", 0, Spoil::append, RERAZERA_SIGN_MISMATCH, true},
    {"resealed forgery", "a", "", 0, resealed, RERAZERA_SIGN_MISMATCH, true},
    {"trusted comment edited", "a", "", 0, Spoil::comment, RERAZERA_SIGN_COMMENT_FORGED, true},
    {"global signature swapped", "a", "", 0, Spoil::global, RERAZERA_SIGN_COMMENT_FORGED, true},
    {"cut after three lines", "a", "", 0, Spoil::three_lines, RERAZERA_SIGN_MALFORMED, false},
    {"cut inside base64", "a", "", 0, Spoil::cut_base64, RERAZERA_SIGN_MALFORMED, false},
    {"last line short", "a", "", 0, Spoil::short_last, RERAZERA_SIGN_MALFORMED, false},
    {"empty signature", "a", "", 0, Spoil::empty, RERAZERA_SIGN_MALFORMED, false},
    {"untrusted prefix misspelt", "a", "", 0, Spoil::untrusted, RERAZERA_SIGN_MALFORMED, false},
    {"trusted prefix misspelt", "a", "", 0, Spoil::trusted, RERAZERA_SIGN_MALFORMED, false},
    {"comment line of 8192 bytes", "a", "", 0, long_comment, RERAZERA_SIGN_MALFORMED, false},
    {"control character in the comment", "a", "", 0, Spoil::none, RERAZERA_SIGN_MALFORMED, false,
     "p.qv", QVPKG_OK, kOkEnd, kSame, "file:\x01"},
    {"DEL in the comment", "a", "", 0, Spoil::none, RERAZERA_SIGN_MALFORMED, false, "p.qv",
     QVPKG_OK, kOkEnd, kSame, "file:\x7f"},
    {"unknown algorithm", "a", "", 0, Spoil::algorithm, RERAZERA_SIGN_ALGORITHM_REFUSED, true},
    {"legacy Ed", "a", "", 1, Spoil::none, RERAZERA_SIGN_ALGORITHM_REFUSED, true},
    {"legacy Ed allowed", "a", "", 2, Spoil::none, RERAZERA_SIGN_OK, true},
    {"legacy allowed, byte changed", "a", "", 2, Spoil::early, RERAZERA_SIGN_MISMATCH, true},
    {"no signature file", "a", "", 0, Spoil::no_sig, RERAZERA_SIGN_NO_SIGNATURE, false},
    {"signature is a directory", "a", "", 0, Spoil::sig_dir, RERAZERA_SIGN_IO_ERROR, false},
    {"package gone", "a", "", 0, Spoil::no_pkg, RERAZERA_SIGN_IO_ERROR, true},
    {"bad payload CRC", "a", "", 0, Spoil::none, RERAZERA_SIGN_PACKAGE_FAILED, true, "p.qv",
     QVPKG_ERR, "Info: System software CRC check failed!\n",
     [](Package &p) { p.bytes[p.entryOffsets[2] + 352 + 3] ^= 1; }},
    {"named with '@'", "a", "", 0, Spoil::none, RERAZERA_SIGN_PACKAGE_FAILED, true, "p@2.qv",
     QVPKG_ERR_NAME, "Info: V5 packet name can't contain character '@'!\n"},
    {"shorter than a header", "a", "", 0, Spoil::none, RERAZERA_SIGN_PACKAGE_FAILED, true, "p.qv",
     QVPKG_ERR, kShort, [](Package &p) { p.bytes.resize(6179); }},
    {"empty file", "a", "", 0, Spoil::none, RERAZERA_SIGN_PACKAGE_FAILED, true, "p.qv", QVPKG_ERR,
     kShort, [](Package &p) { p.bytes.clear(); }},
    {"one byte", "a", "", 0, Spoil::none, RERAZERA_SIGN_PACKAGE_FAILED, true, "p.qv", QVPKG_ERR,
     kShort, [](Package &p) { p.bytes.resize(1); }},
    {"empty, read from a device", "a", "", 0, Spoil::device, RERAZERA_SIGN_IO_ERROR, true, "p.qv",
     QVPKG_OK, kShort, [](Package &p) { p.bytes.clear(); }},
};

// Both checks per row; the package is walked (msg, its result set) only after a good signature.
TEST_F(SignLibraryTest, OneCodePerOutcome) {
    for (const SignatureCase &c : kSignatureCases) {
        SCOPED_TRACE(c.name);
        const rztest::ScratchDir dir;
        Package package = rztest::make_package();
        c.change(package);
        const std::string pkg = signed_package(package, dir, c.file, c.legacy != 0, c.comment);
        const std::string sig = pkg + ".minisig";
        c.spoil(pkg, sig);
        const bool good =
            c.expected == RERAZERA_SIGN_OK || c.expected == RERAZERA_SIGN_PACKAGE_FAILED;
        const int32_t sigExpected = good ? RERAZERA_SIGN_OK : c.expected;
        const Ring ring = ring_of(c.trusted, c.revoked);
        const uint32_t flags = c.legacy == 2 ? RERAZERA_SIGN_ALLOW_LEGACY : 0;
        const rztest::FdLeakCheck fds;
        rerazera_signature_info *raw = nullptr, *raw2 = nullptr;
        const char *p = pkg.c_str();
        const int32_t r = rerazera_verify_signature(ring.get(), p, nullptr, flags, &raw);
        const Info info(raw, &rerazera_signature_info_free);
        EXPECT_EQ(r, sigExpected) << rerazera_sign_strerror(r);
        EXPECT_EQ(rerazera_verify_signature(ring.get(), p, sig.c_str(), flags, nullptr),
                  sigExpected);
        char msg[256] = "", plain[256] = "";
        int32_t packageResult = 12345;
        rztest::LogCapture log;
        EXPECT_EQ(rerazera_verify_package(ring.get(), p, nullptr, flags, msg, sizeof msg,
                                          &packageResult, &raw2),
                  c.expected);
        EXPECT_EQ(packageResult, good ? c.packageResult : 12345);
        const std::string end = c.msgEnd, unwalked = end == kOkEnd ? "" : end;
        EXPECT_TRUE(good ? std::string(msg).ends_with(end) : msg == unwalked) << msg;
        const std::vector<std::string> packageLog = log.lines();
        log.clear();
        EXPECT_EQ(good ? QVPKG_ChkQVFileInfo(p, plain, sizeof plain) : 12345, packageResult);
        // The package check's own lines, or their tail when the package cannot be mapped.
        const std::vector<std::string> plainLog = log.lines();  // empty when nothing was walked
        EXPECT_TRUE(!good ||
                    (plainLog.size() >= packageLog.size() &&
                     plainLog.empty() == packageLog.empty() &&
                     std::equal(packageLog.rbegin(), packageLog.rend(), plainLog.rbegin())))
            << ::testing::PrintToString(packageLog);
        EXPECT_STREQ(good ? msg : "", plain);
        EXPECT_EQ(rztest::mapping_of(dir.path()), "");  // nothing left mapped
        const Info packageInfo(raw2, &rerazera_signature_info_free);
        for (const Info *i : {&info, &packageInfo}) {
            ASSERT_EQ(*i != nullptr, c.info);
            if (!*i)
                continue;
            EXPECT_EQ(std::make_tuple(std::string((*i)->key_id), (*i)->comment_verified != 0,
                                      (*i)->legacy != 0),
                      std::make_tuple(key_id("a"), good, c.legacy != 0));
            EXPECT_STREQ(good ? (*i)->trusted_comment : kComment, kComment);
        }
    }
}

// Keys from files and base64 lines; what is not a key or key ID is refused, changing nothing.
TEST_F(SignLibraryTest, KeyringInputs) {
    const Ring ring = ring_of("");
    const std::string pub = rztest::read_text(key("a.pub")), sec = rztest::read_text(key("a.sec"));
    const std::string line = pub.substr(pub.find('\n') + 1);
    const auto b64 = rerazera_keyring_add_base64, file = rerazera_keyring_add_file,
               revoke = rerazera_keyring_revoke;
    const auto written = [&](Str name, Str text) { return rztest::write_text(key(name), text); };
    const auto padded = [&](std::size_t size) {  // a.pub, its comment stretched to size bytes
        return written("pad" + std::to_string(size),
                       std::string(pub).insert(pub.find('\n'), size - pub.size(), 'x'));
    };
    const std::tuple<decltype(b64), std::string, int32_t> rows[] = {
        {b64, line, RERAZERA_SIGN_OK},                             // with its line ending
        {b64, "  " + line.substr(0, 56) + " ", RERAZERA_SIGN_OK},  // surrounding spaces
        {b64, line.substr(0, 55), RERAZERA_SIGN_BAD_KEY},          // one character short
        {b64, line.substr(0, 52), RERAZERA_SIGN_BAD_KEY},          // base64 of 3 bytes fewer
        {b64, line.substr(0, 56) + "#", RERAZERA_SIGN_BAD_KEY},    // text after the key
        {b64, "", RERAZERA_SIGN_BAD_KEY},
        {b64, sec.substr(sec.find('\n') + 1), RERAZERA_SIGN_BAD_KEY},  // a secret key
        {file, key("b.pub"), RERAZERA_SIGN_OK},
        {file, key("a.sec"), RERAZERA_SIGN_BAD_KEY},
        {file, key("none.pub"), RERAZERA_SIGN_IO_ERROR},
        {file, padded(4096), RERAZERA_SIGN_OK},               // the largest key file read
        {file, written("bare.pub", line), RERAZERA_SIGN_OK},  // no comment line
        {file, written("comment.pub", pub.substr(0, pub.find('\n'))), RERAZERA_SIGN_BAD_KEY},
        {file, written("more.pub", pub + "x\n"), RERAZERA_SIGN_BAD_KEY},
        {file, padded(4097), RERAZERA_SIGN_BAD_KEY},
        {revoke, "0123456789abcdef", RERAZERA_SIGN_OK},
        {revoke, "0123456789ABCDEF", RERAZERA_SIGN_OK},
        {revoke, "0123456789ABCDE", RERAZERA_SIGN_BAD_KEY},
        {revoke, "0123456789ABCDEG", RERAZERA_SIGN_BAD_KEY},
        {revoke, "", RERAZERA_SIGN_BAD_KEY},
    };
    for (const auto &[add, text, expected] : rows)
        EXPECT_EQ(add(ring.get(), text.c_str()), expected) << text;
    EXPECT_EQ(rerazera_keyring_size(ring.get()), 2u);  // a (added twice, one key) and b
    const Ring fromLine = ring_of("");                 // a key from its base64 line alone is held
    EXPECT_EQ(rerazera_keyring_add_base64(fromLine.get(), line.c_str()), RERAZERA_SIGN_OK);
    EXPECT_EQ(rerazera_keyring_size(fromLine.get()), 1u);
    rerazera_keyring *r = ring.get();
    for (const int32_t code :
         {rerazera_keyring_add_file(nullptr, "x"), rerazera_keyring_add_file(r, nullptr),
          rerazera_keyring_add_base64(r, nullptr), rerazera_keyring_revoke(r, nullptr),
          rerazera_verify_signature(r, nullptr, nullptr, 0, nullptr), rerazera_keyring_new(nullptr),
          rerazera_verify_package(nullptr, "x", nullptr, 0, nullptr, 0, nullptr, nullptr)})
        EXPECT_EQ(code, RERAZERA_SIGN_INVALID_ARGUMENT);
}

TEST_F(SignLibraryTest, OneKeyringManyThreads) {
    const rztest::ScratchDir dir;
    const std::string pkg = signed_package(rztest::make_package(), dir, "p.qv");
    const Ring ring = ring_of("ba");
    std::atomic<int> passed = 0;
    std::vector<std::jthread> threads;
    const char *p = pkg.c_str();
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            char m[256] = "";
            for (int i = 0; i < 4; ++i)
                passed += (rerazera_verify_signature(ring.get(), p, nullptr, 0, nullptr) == 0) +
                          (rerazera_verify_package(ring.get(), p, nullptr, 0, m, 256, 0, 0) == 0);
        });
    threads.clear();  // joins them
    EXPECT_EQ(passed, 4 * 8);
}

// The policy call: minisign's trusted comment, policy product type and floor, the result.
TEST_F(SignLibraryTest, PolicyRefusals) {
    const struct {
        const char *comment;
        int64_t productType;  // -1: not set
        const char *minVersion;
        int32_t result;
    } rows[] = {
        {"product-type:4660\tversion:2.10", 4660, "2.9", RERAZERA_SIGN_OK},
        {"version:1", -1, nullptr, RERAZERA_SIGN_OK},
        {"product-type:99", -1, nullptr, RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH},
        {"product-type:4660\tproduct-type:99", -1, nullptr, RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH},
        {"version:1", 42, nullptr, RERAZERA_SIGN_PRODUCT_TYPE_MISMATCH},
        {"version:2.9.9", -1, "2.10", RERAZERA_SIGN_VERSION_TOO_OLD},
        {"version:02.10.0", -1, "2.10", RERAZERA_SIGN_OK},
        {"file:x", -1, "1", RERAZERA_SIGN_VERSION_MISSING},
        {"version:2.x", -1, "1", RERAZERA_SIGN_VERSION_MALFORMED},
        {"version:99999999999999999999999.1", -1, "99999999999999999999998", RERAZERA_SIGN_OK},
    };
    rztest::ScratchDir dir;
    const Ring ring = ring_of("a");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.comment);
        const std::string pkg =
            signed_package(rztest::make_package(), dir, "p.qv", false, row.comment);
        rerazera_policy *policy = nullptr;
        ASSERT_EQ(rerazera_policy_new(&policy), RERAZERA_SIGN_OK);
        EXPECT_EQ(rerazera_policy_set_keyring(policy, ring.get()), RERAZERA_SIGN_OK);
        if (row.productType >= 0)
            rerazera_policy_set_product_type(policy, static_cast<uint32_t>(row.productType));
        // A floor set before is replaced, or removed by a null one.
        EXPECT_EQ(rerazera_policy_set_min_version(policy, "999"), RERAZERA_SIGN_OK);
        EXPECT_EQ(rerazera_policy_set_min_version(policy, row.minVersion), RERAZERA_SIGN_OK);
        char msg[256] = "";
        int32_t packageResult = -1;
        EXPECT_EQ(rerazera_verify_package_policy(policy, pkg.c_str(), nullptr, msg, sizeof msg,
                                                 &packageResult, nullptr),
                  row.result);
        EXPECT_EQ(packageResult, QVPKG_OK);
        const auto bytes = rztest::read_file(pkg);
        packageResult = -1;
        EXPECT_EQ(rerazera_verify_bytes_policy(policy, bytes.data(), bytes.size(),
                                               (pkg + ".minisig").c_str(), msg, sizeof msg,
                                               &packageResult, nullptr),
                  row.result);
        EXPECT_EQ(packageResult, QVPKG_OK);
        rerazera_policy_free(policy);
    }
}

// Over bytes in memory the verdict is the path's: code, package result and
// text, for bytes changed after signing, a signed package that fails its
// own check, and signed files too short or unusable to be packages.
TEST_F(SignLibraryTest, BytesGiveThePathsVerdict) {
    rztest::ScratchDir dir;
    const Ring ring = ring_of("a");
    rerazera_policy *policy = nullptr;
    ASSERT_EQ(rerazera_policy_new(&policy), RERAZERA_SIGN_OK);
    ASSERT_EQ(rerazera_policy_set_keyring(policy, ring.get()), RERAZERA_SIGN_OK);
    Package bad = rztest::make_package();
    bad.bytes.back() ^= 1;
    Package shortFile = rztest::make_package();
    shortFile.bytes.resize(100);
    const std::string changed = signed_package(rztest::make_package(), dir, "changed.qv");
    std::vector<std::uint8_t> b = rztest::read_file(changed);
    b[7000] ^= 1;
    rztest::write_file(changed, b);
    const struct {
        std::string path;
        int32_t result;
    } rows[] = {
        {signed_package(rztest::make_package(), dir, "good.qv"), RERAZERA_SIGN_OK},
        {changed, RERAZERA_SIGN_MISMATCH},
        {signed_package(bad, dir, "bad.qv"), RERAZERA_SIGN_PACKAGE_FAILED},
        {signed_package(shortFile, dir, "short.qv"), RERAZERA_SIGN_PACKAGE_FAILED},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        char byPath[256] = "", byBytes[256] = "";
        int32_t pathResult = 99, bytesResult = 99;  // left alone unless the package is read
        EXPECT_EQ(rerazera_verify_package_policy(policy, row.path.c_str(), nullptr, byPath,
                                                 sizeof byPath, &pathResult, nullptr),
                  row.result);
        const auto bytes = rztest::read_file(row.path);
        EXPECT_EQ(rerazera_verify_bytes_policy(policy, bytes.data(), bytes.size(),
                                               (row.path + ".minisig").c_str(), byBytes,
                                               sizeof byBytes, &bytesResult, nullptr),
                  row.result);
        EXPECT_EQ(bytesResult, pathResult);
        EXPECT_STREQ(byBytes, byPath);
    }
    const std::uint8_t one = 0;
    EXPECT_EQ(rerazera_verify_bytes_policy(policy, &one, 1, nullptr, nullptr, 0, nullptr, nullptr),
              RERAZERA_SIGN_INVALID_ARGUMENT);
    EXPECT_EQ(rerazera_verify_bytes_policy(policy, nullptr, 1, "x", nullptr, 0, nullptr, nullptr),
              RERAZERA_SIGN_INVALID_ARGUMENT);
    EXPECT_EQ(rerazera_verify_bytes_policy(nullptr, &one, 1, "x", nullptr, 0, nullptr, nullptr),
              RERAZERA_SIGN_INVALID_ARGUMENT);
    rerazera_policy_free(policy);
}

// A key made and a file signed by the library, checked by minisign.
TEST_F(SignLibraryTest, SignFileCrossesOver) {
    rztest::ScratchDir dir;
    rztest::make_package().write(dir.file("p.qv"));
    char *pub = nullptr, *sec = nullptr, id[RERAZERA_KEY_ID_TEXT_SIZE];
    ASSERT_EQ(rerazera_keygen(nullptr, &pub, &sec, id), RERAZERA_SIGN_OK);
    rztest::write_text(dir.file("k.pub"), pub);
    rztest::write_text(dir.file("k.sec"), sec);
    std::free(pub);
    rerazera_secret_text_free(sec);
    rerazera_secret_key *key = nullptr;
    ASSERT_EQ(rerazera_secret_key_read(dir.file("k.sec").c_str(), nullptr, &key), RERAZERA_SIGN_OK);
    char *sig = nullptr;
    EXPECT_EQ(rerazera_sign_file(key, dir.file("p.qv").c_str(), "a\nb", "", &sig),
              RERAZERA_SIGN_BAD_COMMENT);
    const std::string p = dir.file("p.qv");
    for (int missing = 0; missing < 5; ++missing) {  // each argument left out alone
        EXPECT_EQ(
            rerazera_sign_file(missing == 0 ? nullptr : key, missing == 1 ? nullptr : p.c_str(),
                               missing == 2 ? nullptr : "t", missing == 3 ? nullptr : "u",
                               missing == 4 ? nullptr : &sig),
            RERAZERA_SIGN_INVALID_ARGUMENT)
            << missing;
        EXPECT_EQ(sig, nullptr);
    }
    std::uint8_t digest[64];
    ASSERT_EQ(rerazera_file_digest(p.c_str(), digest), RERAZERA_SIGN_OK);
    for (int missing = 0; missing < 5; ++missing) {
        EXPECT_EQ(
            rerazera_sign_digest(missing == 0 ? nullptr : key, missing == 1 ? nullptr : digest,
                                 missing == 2 ? nullptr : "t", missing == 3 ? nullptr : "u",
                                 missing == 4 ? nullptr : &sig),
            RERAZERA_SIGN_INVALID_ARGUMENT)
            << missing;
        EXPECT_EQ(sig, nullptr);
    }
    ASSERT_EQ(rerazera_sign_file(key, dir.file("p.qv").c_str(), "version:3", "c", &sig),
              RERAZERA_SIGN_OK);
    // Signed from its digest elsewhere, the package gets the same file.
    char *fromDigest = nullptr;
    ASSERT_EQ(rerazera_sign_digest(key, digest, "version:3", "c", &fromDigest), RERAZERA_SIGN_OK);
    EXPECT_STREQ(fromDigest, sig);
    std::free(fromDigest);
    rztest::write_text(dir.file("p.qv.minisig"), sig);
    std::free(sig);
    rerazera_secret_key_free(key);
    const auto r = rztest::minisign({"-V", "-H", "-p", "k.pub", "-m", "p.qv"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("version:3"), std::string::npos) << r.out;
}

TEST(SignStrerror, DistinctTextPerCode) {
    std::set<std::string> texts;
    for (int32_t code = RERAZERA_SIGN_OK; code <= RERAZERA_SIGN_STREAM_FAILED; ++code)
        EXPECT_TRUE(texts.insert(rerazera_sign_strerror(code)).second) << code;
    for (const int32_t code : {-1, RERAZERA_SIGN_STREAM_FAILED + 1})
        EXPECT_STREQ(rerazera_sign_strerror(code), "unknown result code");
}

}  // namespace
