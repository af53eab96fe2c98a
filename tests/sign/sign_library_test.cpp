// librerazera-sign through its C API: signatures made by Debian's minisign
// are checked, and every way of spoiling one is refused with its own code,
// by the signature check alone and by the signed package check.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "rerazera.h"
#include "rerazera/sign.h"
#include "run_program.hpp"
#include "support/scratch.hpp"
#include "writer/package_writer.hpp"

namespace {

using rerazera::writer::Package;
using rerazera::writer::PackageBuilder;
using rerazera::writer::SubFile;
using rztest::read_text;
using rztest::write_text;

using Ring = std::unique_ptr<rerazera_keyring, decltype(&rerazera_keyring_free)>;
using Info = std::unique_ptr<rerazera_signature_info, decltype(&rerazera_signature_info_free)>;

constexpr char kComment[] = "file:p.qv\tproduct-type:7";

Package make_package() {
    std::vector<SubFile> files;
    for (std::uint32_t i = 0; i < 3; ++i) {
        SubFile f;
        f.fileId = 0x100 + i;
        f.name = "part" + std::to_string(i);
        f.payload.resize(i == 1 ? 70000 : 1000 + i);
        for (std::size_t b = 0; b < f.payload.size(); ++b) {
            f.payload[b] = static_cast<std::uint8_t>(b * 31 + i);
        }
        files.push_back(std::move(f));
    }
    return PackageBuilder::from_files(std::move(files), 7).build();
}

class SignLibraryTest : public ::testing::Test {
  protected:
    // Two minisign key pairs without passwords, made once.
    static void SetUpTestSuite() {
        keys_ = new rztest::ScratchDir;
        for (const char *name : {"a", "b"}) {
            const auto r = minisign(
                {"-G", "-W", "-p", std::string(name) + ".pub", "-s", std::string(name) + ".sec"},
                keys_->path());
            ASSERT_EQ(r.status, 0) << r.err;
        }
    }
    static void TearDownTestSuite() {
        delete keys_;
        keys_ = nullptr;
    }

    static rztest::RunResult minisign(std::vector<std::string> args, const std::string &dir) {
        args.insert(args.begin(), RERAZERA_MINISIGN);
        return rztest::run_program(args, dir);
    }
    static std::string key(const std::string &name) { return keys_->file(name); }
    // "untrusted comment: minisign public key 123456789ABCDEF" ends with the
    // ID, which minisign prints without leading zeros.
    static std::string key_id(const std::string &name) {
        const std::string text = read_text(key(name + ".pub"));
        const std::string first = text.substr(0, text.find('\n'));
        const std::string id = first.substr(first.rfind(' ') + 1);
        return std::string(16 - id.size(), '0') + id;
    }

    // Writes the package under name and has minisign sign it with key a.
    std::string signed_package(const Package &pkg, const std::string &name,
                               std::vector<std::string> extra = {}) {
        pkg.write(dir_.file(name));
        std::vector<std::string> args = {"-S", "-s", key("a.sec"), "-m", name, "-t", kComment};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto r = minisign(args, dir_.path());
        EXPECT_EQ(r.status, 0) << r.err;
        return dir_.file(name);
    }

    static Ring ring_of(const std::vector<std::string> &trusted,
                        const std::vector<std::string> &revoked = {}) {
        rerazera_keyring *raw = nullptr;
        EXPECT_EQ(rerazera_keyring_new(&raw), RERAZERA_SIGN_OK);
        Ring ring(raw, &rerazera_keyring_free);
        for (const std::string &k : trusted) {
            EXPECT_EQ(rerazera_keyring_add_file(ring.get(), key(k + ".pub").c_str()),
                      RERAZERA_SIGN_OK);
        }
        for (const std::string &k : revoked) {
            EXPECT_EQ(rerazera_keyring_revoke(ring.get(), key_id(k).c_str()), RERAZERA_SIGN_OK);
        }
        return ring;
    }

    static inline rztest::ScratchDir *keys_ = nullptr;
    rztest::ScratchDir dir_;
};

// Edits the text of one line (0-based) of a signature file.
void edit_line(const std::string &sigPath, int index,
               const std::function<void(std::string &)> &edit) {
    std::string text = read_text(sigPath);
    std::size_t begin = 0;
    for (int i = 0; i < index; ++i) {
        begin = text.find('\n', begin) + 1;
    }
    std::string line = text.substr(begin, text.find('\n', begin) - begin);
    const std::size_t oldSize = line.size();
    edit(line);
    text.replace(begin, oldSize, line);
    write_text(sigPath, text);
}

void flip_byte(const std::string &path, long at) {
    std::string bytes = read_text(path);
    const std::size_t i = at < 0 ? bytes.size() + static_cast<std::size_t>(at) : at;
    bytes[i] = static_cast<char>(bytes[i] ^ 0x20);
    write_text(path, bytes);
}

std::string test_name(std::string n) {
    for (char &ch : n) {
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return n;
}

struct SignatureCase {
    const char *name;
    std::vector<std::string> trusted;
    std::vector<std::string> revoked;
    bool legacy;     // signed with minisign -l
    uint32_t flags;  // given to the check
    std::function<void(const std::string &pkg, const std::string &sig)> spoil;
    int32_t expected;
    bool info;  // the check hands back the signature's key ID and comment
};

void PrintTo(const SignatureCase &c, std::ostream *os) {
    *os << c.name;
}

const SignatureCase kSignatureCases[] = {
    {"valid", {"a"}, {}, false, 0, nullptr, RERAZERA_SIGN_OK, true},
    {"second of two trusted keys", {"b", "a"}, {}, false, 0, nullptr, RERAZERA_SIGN_OK, true},
    {"wrong key", {"b"}, {}, false, 0, nullptr, RERAZERA_SIGN_UNKNOWN_KEY, true},
    {"revoked key", {"a", "b"}, {"a"}, false, 0, nullptr, RERAZERA_SIGN_REVOKED_KEY, true},
    {"revoked key not trusted either",
     {"b"},
     {"a"},
     false,
     0,
     nullptr,
     RERAZERA_SIGN_REVOKED_KEY,
     true},
    {"first byte changed",
     {"a"},
     {},
     false,
     0,
     [](const std::string &p, const std::string &) { flip_byte(p, 0); },
     RERAZERA_SIGN_MISMATCH,
     true},
    {"byte in the middle changed",
     {"a"},
     {},
     false,
     0,
     [](const std::string &p, const std::string &) { flip_byte(p, 40000); },
     RERAZERA_SIGN_MISMATCH,
     true},
    {"last byte changed",
     {"a"},
     {},
     false,
     0,
     [](const std::string &p, const std::string &) { flip_byte(p, -1); },
     RERAZERA_SIGN_MISMATCH,
     true},
    {"byte appended",
     {"a"},
     {},
     false,
     0,
     [](const std::string &p, const std::string &) { write_text(p, read_text(p) + "x"); },
     RERAZERA_SIGN_MISMATCH,
     true},
    {"trusted comment edited",
     {"a"},
     {},
     false,
     0,
     [](const std::string &, const std::string &s) {
         edit_line(s, 2, [](std::string &l) { l.back() = '8'; });
     },
     RERAZERA_SIGN_COMMENT_FORGED,
     true},
    {"global signature swapped for another",
     {"a"},
     {},
     false,
     0,
     [](const std::string &, const std::string &s) {
         edit_line(s, 3,
                   [](std::string &l) { l = l.substr(4, 80) + l.substr(0, 4) + l.substr(84); });
     },
     RERAZERA_SIGN_COMMENT_FORGED,
     true},
    {"signature cut after three lines",
     {"a"},
     {},
     false,
     0,
     [](const std::string &, const std::string &s) {
         const std::string t = read_text(s);
         write_text(s, t.substr(0, t.rfind('\n', t.size() - 2) + 1));
     },
     RERAZERA_SIGN_MALFORMED,
     false},
    {"signature cut inside its base64",
     {"a"},
     {},
     false,
     0,
     [](const std::string &, const std::string &s) {
         const std::string t = read_text(s);
         write_text(s, t.substr(0, t.find('\n') + 30));
     },
     RERAZERA_SIGN_MALFORMED,
     false},
    {"last line one character short",
     {"a"},
     {},
     false,
     0,
     [](const std::string &, const std::string &s) {
         edit_line(s, 3, [](std::string &l) { l.pop_back(); });
     },
     RERAZERA_SIGN_MALFORMED,
     false},
    {"empty signature file",
     {"a"},
     {},
     false,
     0,
     [](const std::string &, const std::string &s) { write_text(s, ""); },
     RERAZERA_SIGN_MALFORMED,
     false},
    {"unknown algorithm",
     {"a"},
     {},
     false,
     0,
     [](const std::string &, const std::string &s) {
         edit_line(s, 1, [](std::string &l) { l[1] = 'V'; });  // "ED" -> "ET"
     },
     RERAZERA_SIGN_ALGORITHM_REFUSED,
     true},
    {"legacy Ed signature", {"a"}, {}, true, 0, nullptr, RERAZERA_SIGN_ALGORITHM_REFUSED, true},
    {"legacy Ed signature allowed",
     {"a"},
     {},
     true,
     RERAZERA_SIGN_ALLOW_LEGACY,
     nullptr,
     RERAZERA_SIGN_OK,
     true},
    {"legacy signature allowed, byte changed",
     {"a"},
     {},
     true,
     RERAZERA_SIGN_ALLOW_LEGACY,
     [](const std::string &p, const std::string &) { flip_byte(p, 7000); },
     RERAZERA_SIGN_MISMATCH,
     true},
    {"no signature file",
     {"a"},
     {},
     false,
     0,
     [](const std::string &, const std::string &s) { std::remove(s.c_str()); },
     RERAZERA_SIGN_NO_SIGNATURE,
     false},
    {"signature path is a directory",
     {"a"},
     {},
     false,
     0,
     [](const std::string &, const std::string &s) {
         std::remove(s.c_str());
         std::filesystem::create_directory(s);
     },
     RERAZERA_SIGN_IO_ERROR,
     false},
    {"package gone",
     {"a"},
     {},
     false,
     0,
     [](const std::string &p, const std::string &) { std::remove(p.c_str()); },
     RERAZERA_SIGN_IO_ERROR,
     true},
};

class SignatureTable : public SignLibraryTest,
                       public ::testing::WithParamInterface<SignatureCase> {};

TEST_P(SignatureTable, OneCodePerOutcome) {
    const SignatureCase &c = GetParam();
    const std::vector<std::string> legacy = {"-l"};
    const std::string pkg =
        signed_package(make_package(), "p.qv", c.legacy ? legacy : std::vector<std::string>{});
    const std::string sig = pkg + ".minisig";
    if (c.name == std::string("unknown algorithm")) {
        ASSERT_EQ(read_text(sig).substr(read_text(sig).find('\n') + 1, 2), "RU");
    }
    if (c.spoil) {
        c.spoil(pkg, sig);
    }
    const Ring ring = ring_of(c.trusted, c.revoked);
    const rztest::FdLeakCheck fds;
    rerazera_signature_info *raw = nullptr;
    const int32_t r = rerazera_verify_signature(ring.get(), pkg.c_str(), nullptr, c.flags, &raw);
    const Info info(raw, &rerazera_signature_info_free);
    EXPECT_EQ(r, c.expected) << rerazera_sign_strerror(r);
    ASSERT_EQ(info != nullptr, c.info);
    if (info) {
        EXPECT_EQ(std::string(info->key_id), key_id("a"));
        EXPECT_EQ(info->comment_verified != 0, c.expected == RERAZERA_SIGN_OK);
        EXPECT_EQ(info->legacy != 0, c.legacy);
        if (c.expected == RERAZERA_SIGN_OK) {
            EXPECT_STREQ(info->trusted_comment, kComment);
        }
    }
    // The same outcome with the signature named explicitly and no info asked.
    EXPECT_EQ(rerazera_verify_signature(ring.get(), pkg.c_str(), sig.c_str(), c.flags, nullptr),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(Minisign, SignatureTable, ::testing::ValuesIn(kSignatureCases),
                         [](const auto &row) { return test_name(row.param.name); });

// The signed package check: the signature first (the package walk never
// runs on a refused one, and msg is left alone), then QVPKG_ChkQVFileInfo's
// verdicts and codes over the same mapping.
struct PackageCase {
    const char *name;
    const char *file;
    std::function<void(Package &)> spoilBeforeSigning;
    std::function<void(Package &)> spoilAfterSigning;
    std::vector<std::string> trusted;
    int32_t expected;
    int32_t packageResult;  // 12345: left alone
    const char *msgEnd;     // what msg ends with ("" when untouched)
};

void PrintTo(const PackageCase &c, std::ostream *os) {
    *os << c.name;
}

void rename_first_subfile(Package &pkg) {
    pkg.bytes[pkg.entryOffsets[0] + 244] = 'X';  // its bin header's name
    pkg.reseal_bin_header(pkg.entryOffsets[0]);
}

const PackageCase kPackageCases[] = {
    {"valid",
     "p.qv",
     nullptr,
     nullptr,
     {"a"},
     RERAZERA_SIGN_OK,
     0,
     "Info: System software CRC check OK!\n"},
    {"resealed forgery passes its CRCs but not its signature",
     "p.qv",
     nullptr,
     rename_first_subfile,
     {"a"},
     RERAZERA_SIGN_MISMATCH,
     12345,
     ""},
    {"untrusted key", "p.qv", nullptr, nullptr, {"b"}, RERAZERA_SIGN_UNKNOWN_KEY, 12345, ""},
    {"signed package with a bad payload CRC",
     "p.qv",
     [](Package &p) { p.bytes[p.entryOffsets[2] + 352 + 3] ^= 1; },
     nullptr,
     {"a"},
     RERAZERA_SIGN_PACKAGE_FAILED,
     QVPKG_ERR,
     "Info: System software CRC check failed!\n"},
    {"signed package named with '@'",
     "p@2.qv",
     nullptr,
     nullptr,
     {"a"},
     RERAZERA_SIGN_PACKAGE_FAILED,
     QVPKG_ERR_NAME,
     "Info: V5 packet name can't contain character '@'!\n"},
    {"signed file shorter than a header",
     "p.qv",
     [](Package &p) { p.bytes.resize(6179); },
     nullptr,
     {"a"},
     RERAZERA_SIGN_PACKAGE_FAILED,
     QVPKG_ERR,
     "File length is wrong, less than header.\n"},
};

class PackageTable : public SignLibraryTest, public ::testing::WithParamInterface<PackageCase> {};

TEST_P(PackageTable, SignatureThenPackage) {
    const PackageCase &c = GetParam();
    Package pkg = make_package();
    if (c.spoilBeforeSigning) {
        c.spoilBeforeSigning(pkg);
    }
    const std::string path = signed_package(pkg, c.file);
    if (c.spoilAfterSigning) {
        c.spoilAfterSigning(pkg);
        pkg.write(path);
        char plain[256] = "";
        ASSERT_EQ(QVPKG_ChkQVFileInfo(path.c_str(), plain, sizeof plain), QVPKG_OK) << plain;
    }
    const Ring ring = ring_of(c.trusted);
    const rztest::FdLeakCheck fds;
    char msg[256] = "";
    int32_t packageResult = 12345;
    rerazera_signature_info *raw = nullptr;
    const int32_t r = rerazera_verify_package(ring.get(), path.c_str(), nullptr, 0, msg, sizeof msg,
                                              &packageResult, &raw);
    const Info info(raw, &rerazera_signature_info_free);
    EXPECT_EQ(r, c.expected) << rerazera_sign_strerror(r);
    EXPECT_EQ(packageResult, c.packageResult);
    const std::string text = msg;
    const std::string end = c.msgEnd;
    EXPECT_TRUE(text.size() >= end.size() &&
                text.compare(text.size() - end.size(), end.size(), end) == 0)
        << text;
    if (end.empty()) {
        EXPECT_EQ(text, "");
    }
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->comment_verified != 0,
              r == RERAZERA_SIGN_OK || r == RERAZERA_SIGN_PACKAGE_FAILED);
    // The package part agrees with the one-call check on the same file.
    if (r == RERAZERA_SIGN_OK || r == RERAZERA_SIGN_PACKAGE_FAILED) {
        char plain[256] = "";
        EXPECT_EQ(QVPKG_ChkQVFileInfo(path.c_str(), plain, sizeof plain), packageResult);
        EXPECT_EQ(text, plain);
    }
}

INSTANTIATE_TEST_SUITE_P(Minisign, PackageTable, ::testing::ValuesIn(kPackageCases),
                         [](const auto &row) { return test_name(row.param.name); });

// Keys load from files and from their base64 line; what is not a key, or
// not a key ID, is refused without changing the keyring.
TEST_F(SignLibraryTest, KeyringInputs) {
    const Ring ring = ring_of({});
    const std::string pub = read_text(key("a.pub"));
    const std::string line = pub.substr(pub.find('\n') + 1);
    struct Row {
        std::string text;
        int32_t expected;
    };
    const Row rows[] = {
        {line, RERAZERA_SIGN_OK},                             // with its line ending
        {"  " + line.substr(0, 56) + " ", RERAZERA_SIGN_OK},  // surrounding spaces
        {line.substr(0, 55), RERAZERA_SIGN_BAD_KEY},          // one character short
        {"", RERAZERA_SIGN_BAD_KEY},
        {read_text(key("a.sec")).substr(read_text(key("a.sec")).find('\n') + 1),
         RERAZERA_SIGN_BAD_KEY},  // a secret key
    };
    for (const Row &row : rows) {
        EXPECT_EQ(rerazera_keyring_add_base64(ring.get(), row.text.c_str()), row.expected)
            << row.text;
    }
    EXPECT_EQ(rerazera_keyring_size(ring.get()), 1u);  // the same key twice is one key
    EXPECT_EQ(rerazera_keyring_add_file(ring.get(), key("b.pub").c_str()), RERAZERA_SIGN_OK);
    EXPECT_EQ(rerazera_keyring_add_file(ring.get(), key("a.sec").c_str()), RERAZERA_SIGN_BAD_KEY);
    EXPECT_EQ(rerazera_keyring_add_file(ring.get(), key("none.pub").c_str()),
              RERAZERA_SIGN_IO_ERROR);
    EXPECT_EQ(rerazera_keyring_size(ring.get()), 2u);
    for (const char *id : {"0123456789abcdeF", "0123456789ABCDE", "0123456789ABCDEG", ""}) {
        EXPECT_EQ(rerazera_keyring_revoke(ring.get(), id),
                  std::strlen(id) == 16 && id[15] != 'G' ? RERAZERA_SIGN_OK : RERAZERA_SIGN_BAD_KEY)
            << id;
    }
    EXPECT_EQ(rerazera_keyring_add_file(nullptr, "x"), RERAZERA_SIGN_INVALID_ARGUMENT);
    EXPECT_EQ(rerazera_keyring_new(nullptr), RERAZERA_SIGN_INVALID_ARGUMENT);
    EXPECT_EQ(rerazera_verify_package(nullptr, "x", nullptr, 0, nullptr, 0, nullptr, nullptr),
              RERAZERA_SIGN_INVALID_ARGUMENT);
}

// One keyring serves several threads at once, each with its own calls.
TEST_F(SignLibraryTest, OneKeyringManyThreads) {
    const std::string pkg = signed_package(make_package(), "p.qv");
    const Ring ring = ring_of({"b", "a"});
    std::vector<int32_t> results(4 * 8, -1);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < 8; ++i) {
                char msg[256] = "";
                results[t * 8 + i] =
                    i % 2 == 0
                        ? rerazera_verify_signature(ring.get(), pkg.c_str(), nullptr, 0, nullptr)
                        : rerazera_verify_package(ring.get(), pkg.c_str(), nullptr, 0, msg,
                                                  sizeof msg, nullptr, nullptr);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(results, std::vector<int32_t>(results.size(), RERAZERA_SIGN_OK));
}

// Every code has a text of its own.
TEST(SignStrerror, DistinctTextPerCode) {
    std::set<std::string> texts;
    for (int32_t code = RERAZERA_SIGN_OK; code <= RERAZERA_SIGN_CRYPTO_UNAVAILABLE; ++code) {
        EXPECT_TRUE(texts.insert(rerazera_sign_strerror(code)).second) << code;
    }
    EXPECT_STREQ(rerazera_sign_strerror(-1), "unknown result code");
    EXPECT_STREQ(rerazera_sign_strerror(RERAZERA_SIGN_CRYPTO_UNAVAILABLE + 1),
                 "unknown result code");
}

}  // namespace
