// SPDX-License-Identifier: MIT
// rerazera verify PKG...: the library's one-call check of each package
// (QVPKG_ChkQVFileInfo), several packages at once, results in the order
// given. The library's verdict decides the exit status; --json and --report
// add the per-sub-file report. A package on standard input that needs no
// copy (no --save, --report, --json or signature check) is verified as it
// streams in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "index_verify.hpp"
#include "json_out.hpp"
#include "rerazera.h"
#include "rerazera/package.h"
#include "signature_check.hpp"
#include "spool.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

struct VerifyOptions {
    std::vector<std::string> packages;
    std::string jobs;
    bool json = false;
    bool report = false;
    bool summary = false;  // --json without the per-sub-file records
    bool stream = false;   // files through the streaming verifier too
    std::string save;
    SignatureOptions signature;
    std::string index;   // --index: the signed index the stream is proven against
    std::string output;  // -o: where the proven bytes go
};

struct Outcome {
    std::string error;  // the file could not be used at all
    std::int32_t result = QVPKG_ERR;
    std::string verdict;
    std::string note;  // the tool's words for a fault other commands report too
    std::optional<SignatureVerdict> signature;

    [[nodiscard]] bool passed() const {
        return error.empty() && result == QVPKG_OK && (!signature || signature->passed());
    }
    // The signature was refused, so the package's own checks never ran.
    [[nodiscard]] bool refused_unread() const { return signature && !signature->packageChecked; }
};

// The name rule refuses a path holding '@' anywhere, directories included:
// a CI workspace such as /ci/job@2/ fails a package whose own name is clean.
// The library's verdict stands; the note says where the '@' is and how to
// verify through a clean path.
std::string name_rule_note(const std::string &name) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos || name.find('@') > slash) {
        return "";
    }
    const std::string dir = name.substr(0, slash + 1);
    return "the '@' is in the directory part, " + escape(dir) +
           ", not in the file name; the name rule looks at the whole path, so verify it from "
           "inside that directory: cd " +
           shell_quote(dir) + " && rerazera verify " + shell_quote(name.substr(slash + 1));
}

// path is the file to read, name the package as the user gave it.
Outcome verify_one(const std::string &path, const std::string &name, const rerazera_policy *policy,
                   const std::string &sigPath) {
    Outcome out;
    // Refused before the library opens it: a FIFO would block the worker.
    std::uint64_t size = 0;
    out.error = input_problem(path, &size);
    if (!out.error.empty()) {
        return out;
    }
    if (size < QVPKG_HEADER_SIZE) {
        out.note = "not a package: " + std::to_string(size) + " bytes, shorter than the " +
                   std::to_string(QVPKG_HEADER_SIZE) + "-byte header";
    }
    const LogLabel label(name);
    if (policy != nullptr) {
        // The signature too: a FIFO or device in its place is refused by its kind.
        const std::string sig = sigPath.empty() ? path + ".minisig" : sigPath;
        if (struct stat st{}; ::stat(sig.c_str(), &st) == 0) {
            if (std::string why = input_problem(sig); !why.empty()) {
                out.error = sig + ": " + why;
                return out;
            }
        }
        out.signature = check_signed_package(policy, path, sigPath, out.result, out.verdict);
        return out;
    }
    char msg[512] = "";
    out.result = QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg);
    out.verdict = msg;
    if (out.result == QVPKG_ERR_NAME && out.note.empty()) {
        out.note = name_rule_note(name);
    }
    return out;
}

// Standard input fed to the library's streaming verifier in pieces of 1 MiB:
// no temporary file, memory bounded whatever the size. A regular file on
// standard input read from its start serves as the second pass that some
// layouts need; a pipe cannot, and the package is then unusable here.
Outcome verify_stream(int fd, const std::string &what = kStdinName, int copyFd = -1,
                      const std::string &copyName = "") {
    Outcome out;
    struct stat st {};
    const bool seekable =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::lseek(fd, 0, SEEK_CUR) == 0;
    rerazera_stream *stream = nullptr;
    if (rerazera_stream_new(nullptr, &stream) != RERAZERA_OK) {
        out.error = "out of memory";
        return out;
    }
    const std::unique_ptr<rerazera_stream, void (*)(rerazera_stream *)> owner(stream,
                                                                              rerazera_stream_free);
    const int readError = read_pieces(fd, [&](const std::uint8_t *data, std::size_t n) {
        // The copy --save keeps is written as the bytes pass.
        if (copyFd >= 0 && !write_all(copyFd, data, n)) {
            out.error = "cannot write " + copyName + ": " + std::strerror(errno);
            return false;
        }
        const std::int32_t r = rerazera_stream_feed(stream, data, n);
        if (r == RERAZERA_ERR_TOO_LARGE) {
            out.error = what +
                        " holds more than 2 GiB, the limit of the 32-bit signed file "
                        "positions that packages use; stopped reading it";
        } else if (r != RERAZERA_OK) {
            out.error = rerazera_strerror(r);
        }
        return out.error.empty();
    });
    if (readError != 0) {
        out.error = "cannot read " + what + ": " + std::strerror(readError);
    }
    if (!out.error.empty()) {
        return out;
    }
    const std::uint64_t size = rerazera_stream_offset(stream);
    if (size < QVPKG_HEADER_SIZE) {
        out.note = "not a package: " + std::to_string(size) + " bytes, shorter than the " +
                   std::to_string(QVPKG_HEADER_SIZE) + "-byte header";
    }
    char msg[512] = "";
    const std::int32_t r =
        rerazera_stream_finish(stream, seekable ? fd : copyFd, msg, sizeof msg, &out.result);
    if (r == RERAZERA_ERR_NEEDS_SECOND_PASS) {
        out.error =
            "the package places entries before the table that names them, so its bytes are "
            "needed twice; give it as a file, or with --save";
    } else if (r != RERAZERA_OK && r != RERAZERA_ERR_CORRUPT) {
        out.error = rerazera_strerror(r);
    } else {
        out.verdict = msg;
    }
    return out;
}

// verify --stream: a file read from its start through the same code as
// standard input, for comparing the two; the file serves the second pass.
Outcome verify_file_streamed(const std::string &path) {
    Outcome out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        out.error = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        out.error = "not a regular file";
    } else {
        out = verify_stream(fd, path);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return out;
}

// A stored checksum word and the CRC-16 computed over the bytes.
std::string crc_pair(std::uint32_t stored, std::uint32_t computed) {
    return hex32(stored) + "/" + hex16(computed);
}

// One sub-file of the report, checked in place on the snapshot.
struct SubfileReport {
    Entry entry;
    bool dummy = false;
    EntryCheck check;

    [[nodiscard]] bool failed() const { return !check.passed(); }
};

void json_subfile(JsonStream &out, const SubfileReport &r) {
    const QVFileDesc &d = r.entry.desc;
    const EntryCheck &s = r.check;
    out.begin_object();
    out.key("table").value(table_name(r.entry.table));
    out.key("index").value(r.entry.index);
    out.key("file_id").value(d.fileId);
    out.key("offset").value(d.offset);
    out.key("length").value(d.length);
    out.key("crc").value(d.crc);
    if (s.havePayload) {
        out.key("crc_computed").value(s.payloadComputed);
    } else {
        out.key("crc_computed").null();
    }
    out.key("aux0").value(d.aux0);
    out.key("aux1").value(d.aux1);
    if (s.haveHead) {
        out.key("data_len").value(s.dataLen);
        out.key("head_crc").value(s.headStored);
        out.key("head_crc_computed").value(s.headComputed);
    } else {
        out.key("data_len").null();
        out.key("head_crc").null();
        out.key("head_crc_computed").null();
    }
    out.key("result").value(s.result);
    out.key("message").value(s.message);
    out.key("dummy").value(r.dummy);
    out.end_object();
}

void print_subfile(const SubfileReport &r) {
    const QVFileDesc &d = r.entry.desc;
    const EntryCheck &s = r.check;
    const std::string head = s.haveHead ? crc_pair(s.headStored, s.headComputed) : "-";
    const std::string data = s.havePayload ? crc_pair(d.crc, s.payloadComputed) : "-";
    std::printf("  %-9s %7u  %-10s  %10u  %10u  %-17s  %-17s  %s%s%s\n", table_name(r.entry.table),
                r.entry.index, hex32(d.fileId).c_str(), d.offset, d.length, head.c_str(),
                data.c_str(), r.dummy ? "extension-table " : "", s.result.c_str(),
                s.message.empty() ? "" : (": " + escape(s.message)).c_str());
}

// The per-sub-file report, walked and written entry by entry.
void write_report(const std::string &path, const std::string &name, JsonStream *json) {
    const LogLabel label(name);
    const PackageView pkg(path);
    if (!pkg.ok()) {
        if (json != nullptr) {
            ojson j;
            j["error"] = pkg.error();
            j["size"] = 0;
            j["header"] = nullptr;
            j["extension"] = nullptr;
            j["subfiles"] = ojson::array();
            j["failures"] = 1;
            json->value(j);
        } else {
            std::printf("  report: %s\n", escape(pkg.error()).c_str());
        }
        return;
    }
    const HeaderInfo &header = pkg.header();
    std::uint64_t failures = header.valid() ? 0 : 1;
    failures += pkg.ext().state == ExtState::Invalid ? 1 : 0;
    if (json != nullptr) {
        json->begin_object();
        json->key("error").null();
        json->key("size").value(pkg.size());
        json->key("header").value(header_json(header));
        json->key("extension").value(extension_json(pkg.ext()));
        json->key("subfiles").begin_array();
    } else if (!header.valid()) {
        std::printf(
            "  report: header refused (%s)\n",
            header.checkCode == QVPKG_ERR_FILE_NUM
                ? ("lists " + std::to_string(header.fileNum) + " entries, more than 256").c_str()
                : ("stored " + hex32(header.storedCrc) + ", computed " + hex16(header.computedCrc))
                      .c_str());
        return;
    } else {
        std::printf("  %-9s %7s  %-10s  %10s  %10s  %-17s  %-17s  %s\n", "TABLE", "INDEX",
                    "FILE ID", "OFFSET", "LENGTH", "HEAD stored/comp", "DATA stored/comp",
                    "RESULT");
    }
    if (header.valid()) {
        (void)pkg.report([&](const Entry &e, const EntryCheck &c) {
            const SubfileReport s{e, pkg.is_dummy(e), c};
            failures += s.failed() ? 1 : 0;
            if (json != nullptr) {
                json_subfile(*json, s);
            } else {
                print_subfile(s);
            }
        });
    }
    if (json != nullptr) {
        json->end_array();
        json->key("failures").value(failures);
        json->end_object();
        return;
    }
    if (pkg.ext().state == ExtState::Invalid) {
        std::printf("  extension: invalid (%s)\n", escape(pkg.ext().message).c_str());
    }
    // The dummy bin file holds the extension's table and is no sub-file.
    std::printf("  report: %llu sub-files, %llu failing\n",
                static_cast<unsigned long long>(pkg.subfile_count()),
                static_cast<unsigned long long>(failures));
}

void print_human(const std::string &path, const Outcome &o) {
    // A policy refusal comes after the package passed its own checks.
    const bool signatureFailed =
        o.signature && !o.signature->passed() && o.signature->code != RERAZERA_SIGN_PACKAGE_FAILED;
    if (o.refused_unread() || signatureFailed) {
        std::printf("%s: FAILED (signature)\n", escape(path).c_str());
    } else if (o.passed()) {
        std::printf("%s: ok\n", escape(path).c_str());
    } else {
        std::printf("%s: FAILED (result %d)\n", escape(path).c_str(), o.result);
    }
    std::istringstream lines(o.verdict);
    for (std::string line; std::getline(lines, line);) {
        std::printf("  %s\n", escape(line).c_str());
    }
    if (o.signature) {
        print_signature(*o.signature);
    }
    if (o.verdict.empty() && !o.refused_unread()) {
        std::printf("  (no verdict: %s)\n", describe_code(o.result).c_str());
    }
    if (!o.note.empty()) {
        std::printf("  (%s)\n", o.note.c_str());
    }
}

int run_verify(const VerifyOptions &opt) {
    const SignatureOptions &sig = opt.signature;
    if (!opt.index.empty()) {
        if (opt.packages.size() != 1 || opt.json) {
            report_error("--index", "proves one package, printed as text; give one package");
            return kExitUsage;
        }
        return verify_with_index(opt.packages[0], opt.index, sig, opt.output);
    }
    if (!sig.enabled() && (!sig.sigPath.empty() || !sig.productType.empty() ||
                           !sig.minVersion.empty() || sig.allowLegacy)) {
        report_error(!sig.sigPath.empty()       ? "--sig"
                     : !sig.productType.empty() ? "--product-type"
                     : !sig.minVersion.empty()  ? "--min-version"
                                                : "--allow-legacy",
                     "needs the trusted keys: give --key or --keyring");
        return kExitUsage;
    }
    if (!sig.sigPath.empty() && opt.packages.size() != 1) {
        report_error("--sig", "names the signature of one package; give one package");
        return kExitUsage;
    }
    if (sig.enabled() && sig.sigPath.empty() &&
        std::find(opt.packages.begin(), opt.packages.end(), kStdinArg) != opt.packages.end()) {
        report_error(kStdinArg,
                     "a signature is read from beside its package (PACKAGE.minisig); a package "
                     "from standard input has none: name its signature with --sig");
        return kExitUsage;
    }
    KeyringPtr ring(nullptr, &rerazera_keyring_free);
    PolicyPtr policy(nullptr, &rerazera_policy_free);
    if (sig.enabled() &&
        (!(ring = load_keyring(sig)) || !(policy = make_policy(ring.get(), sig)))) {
        return kExitTrouble;
    }
    unsigned jobs = default_jobs();
    if (!opt.jobs.empty()) {
        const auto parsed = parse_count(opt.jobs, 1, 1024);
        if (!parsed) {
            report_error("--jobs", "'" + opt.jobs + "' is not a number from 1 to 1024");
            return kExitTrouble;
        }
        jobs = *parsed;
    }
    const std::size_t n = opt.packages.size();
    // A package from standard input is copied once, before the workers
    // start, and read under the copy's name from then on.
    std::vector<std::string> files = opt.packages;
    std::unique_ptr<StdinSpool> spool;
    std::size_t fromStdin = n;
    for (std::size_t i = 0; i < n; ++i) {
        if (files[i] != kStdinArg) {
            continue;
        }
        if (fromStdin != n) {
            report_error(kStdinArg, "standard input can be given only once");
            return kExitUsage;
        }
        fromStdin = i;
    }
    if (opt.stream && (opt.signature.enabled() || (opt.json && !opt.summary))) {
        report_error("--stream",
                     "checks bytes as they pass: it takes no signature and no "
                     "record per sub-file (use --json --summary)");
        return kExitUsage;
    }
    if (!opt.save.empty() && fromStdin == n) {
        report_error("--save", "keeps a package read from standard input; give '-' as a package");
        return kExitUsage;
    }
    // Streamed when nothing needs the bytes again afterwards; a signature
    // is checked over the whole file, so a signed check reads a copy.
    // With --save the copy is written as it streams, unless it goes to a
    // device or FIFO, which takes it only once it has passed.
    bool streamStdin =
        fromStdin != n && !opt.report && (!opt.json || opt.summary) && !opt.signature.enabled();
    if (fromStdin != n && (!streamStdin || !opt.save.empty())) {
        spool = std::make_unique<StdinSpool>(opt.save, streamStdin);
        if (spool->keep_failed()) {  // the name to keep, not standard input, is at fault
            report_error(opt.save, spool->error());
            return kExitTrouble;
        }
        streamStdin = streamStdin && spool->stream_sink() >= 0;
        files[fromStdin] = spool->path();
    }
    std::vector<std::optional<Outcome>> results(n);
    std::mutex mutex;
    std::condition_variable ready;
    std::size_t next = 0;

    // Workers run the library's verdicts in order; the main thread prints
    // each result (and walks its report) as soon as it and every one before
    // it are done.
    auto worker = [&] {
        for (;;) {
            std::size_t i = 0;
            {
                const std::lock_guard lock(mutex);
                if (next == n) {
                    return;
                }
                i = next++;
            }
            Outcome o;
            if (i == fromStdin && streamStdin) {
                o = verify_stream(STDIN_FILENO, kStdinName, spool ? spool->stream_sink() : -1,
                                  opt.save);
            } else if (i == fromStdin && spool && !spool->ok()) {
                o.error = spool->error();
            } else if (opt.stream && i != fromStdin) {
                o = verify_file_streamed(files[i]);
            } else {
                o = verify_one(files[i], opt.packages[i], policy.get(), sig.sigPath);
            }
            const std::lock_guard lock(mutex);
            results[i] = std::move(o);
            ready.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < jobs && t < n; ++t) {
        pool.emplace_back(worker);
    }

    std::size_t passed = 0;
    std::size_t unusable = 0;
    bool stdinPassed = false;
    JsonStream json(stdout);
    if (opt.json) {
        json.begin_document(kVerifyDocument);
        json.key("packages").begin_array();
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return results[i].has_value(); });
        const Outcome o = std::move(*results[i]);
        results[i].reset();
        lock.unlock();

        const std::string &path = opt.packages[i];
        passed += o.passed() ? 1 : 0;
        stdinPassed = stdinPassed || (i == fromStdin && o.passed());
        unusable += o.error.empty() ? 0 : 1;
        if (!o.error.empty()) {
            report_error(path, o.error);
        }
        if (opt.json) {
            json.begin_object();
            json.key("file").value(path);
            json.key("passed").value(o.passed());
            if (o.error.empty()) {
                json.key("result").value(o.result);
            } else {
                json.key("result").null();
            }
            json.key("verdict").value(o.verdict);
            if (o.error.empty()) {
                json.key("error").null();
            } else {
                json.key("error").value(o.error);
            }
            if (opt.signature.enabled()) {
                json.key("signature");
                if (o.signature) {
                    json.value(signature_json(*o.signature));
                } else {
                    json.null();
                }
            }
            // A refused signature stops there: no table of a package whose
            // key is not trusted is read or printed.
            json.key("report");
            if (o.error.empty() && !opt.summary && !o.refused_unread()) {
                write_report(files[i], path, &json);
            } else {
                json.null();
            }
            json.end_object();
            json.flush();
        } else if (o.error.empty() && (!quiet() || !o.passed())) {
            print_human(path, o);
            if (opt.report && !o.refused_unread()) {
                write_report(files[i], path, nullptr);
            }
        }
        std::fflush(stdout);
    }
    for (std::thread &t : pool) {
        t.join();
    }

    const std::size_t failed = n - passed - unusable;
    if (opt.json) {
        json.end_array();
        json.key("summary").value(
            ojson{{"total", n}, {"ok", passed}, {"failed", n - passed}, {"unusable", unusable}});
        json.end_object();
        json.finish();
    } else if (!quiet()) {
        std::printf("verified %zu package%s: %zu ok, %zu failed", n, n == 1 ? "" : "s", passed,
                    failed);
        if (unusable != 0) {
            std::printf(", %zu could not be used", unusable);
        }
        std::printf("\n");
    }
    int status = unusable != 0 ? kExitTrouble : failed != 0 ? kExitFailure : kExitOk;
    // --save: the copy takes its name only once it has passed.
    if (!opt.save.empty() && spool->ok()) {
        if (!stdinPassed) {
            report_error(opt.save,
                         "not saved: the package from standard input failed verification");
        } else if (!spool->keep()) {
            report_error(opt.save, spool->error());
            status = kExitTrouble;
        }
    }
    return status;
}

}  // namespace

void add_verify(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<VerifyOptions>();
    CLI::App *cmd = app.add_subcommand(
        "verify", "Verify packages with the library's check; exit 1 when any fails");
    cmd->add_option("packages", opt->packages, "Package files")->required();
    cmd->add_option("-j,--jobs", opt->jobs,
                    "Packages verified at once, 1 to 1024 (default: number of cores)");
    cmd->add_flag("--json", opt->json,
                  "Print a JSON document with a record per sub-file (schema in rerazera(1))");
    cmd->add_flag("--summary", opt->summary,
                  "With --json: each package's verdict and the totals, without a record per "
                  "sub-file (\"report\" is null)")
        ->needs("--json");
    cmd->add_flag("--report", opt->report,
                  "Also print every sub-file's checksums and result, extension included");
    cmd->add_option("--save", opt->save,
                    "Keep the package read from standard input ('-') as FILE, only if it passes");
    cmd->add_flag("--stream", opt->stream,
                  "Verify files as standard input is: fed 1 MiB at a time to the streaming "
                  "verifier (for comparison; the name rule, which needs a path, is not applied)")
        ->excludes("--report")
        ->excludes("--save");
    add_signature_options(cmd, opt->signature);
    cmd->add_option("--index", opt->index,
                    "With --stream: prove each block against this signed index (its signature "
                    "INDEX.minisig checked first) before any of its bytes are passed on")
        ->needs("--stream")
        ->allow_extra_args(false);
    cmd->add_option("-o,--output", opt->output,
                    "With --index: write the proven bytes to FILE ('-' standard output), kept "
                    "only when the whole package passed")
        ->needs("--index")
        ->allow_extra_args(false);
    cmd->footer(
        "A package '-' is read from standard input. Exit status: 0 when every package passes, 1 "
        "when any fails, 2 when any cannot be used (the others are still verified) or for usage "
        "errors.");
    cmd->callback([opt, &run] { run = [opt] { return run_verify(*opt); }; });
}

}  // namespace rztool
