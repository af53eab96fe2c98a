// rerazera verify PKG...: the library's one-call check of each package
// (QVPKG_ChkQVFileInfo), several packages at once, results in the order
// given. The library's verdict decides the exit status; --json and --report
// add the per-sub-file report.
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "json_out.hpp"
#include "report.hpp"
#include "rerazera.h"
#include "signature_check.hpp"
#include "tool.hpp"

namespace rztool {
namespace {

struct VerifyOptions {
    std::vector<std::string> packages;
    unsigned jobs = 0;
    bool json = false;
    bool report = false;
    SignatureOptions signature;
};

struct Outcome {
    std::string error;  // the file could not be used at all
    std::int32_t result = QVPKG_ERR;
    std::string verdict;
    std::optional<PackageReport> report;
    std::optional<SignatureVerdict> signature;

    [[nodiscard]] bool passed() const {
        return error.empty() && result == QVPKG_OK && (!signature || signature->passed());
    }
};

Outcome verify_one(const std::string &path, bool wantReport, const rerazera_keyring *ring,
                   std::uint32_t flags) {
    Outcome out;
    out.error = input_problem(path);
    if (!out.error.empty()) {
        return out;
    }
    char msg[512] = "";
    if (ring != nullptr) {
        out.signature = check_signed_package(ring, path, flags, out.result, out.verdict);
    } else {
        out.result = QVPKG_ChkQVFileInfo(path.c_str(), msg, sizeof msg);
        out.verdict = msg;
    }
    if (wantReport) {
        out.report = build_report(path);
    }
    return out;
}

ojson opt_json(const std::optional<std::uint32_t> &v) {
    return v ? ojson(*v) : ojson(nullptr);
}

ojson subfile_json(const SubfileReport &s) {
    ojson j;
    j["table"] = table_name(s.table);
    j["index"] = s.index;
    j["file_id"] = s.desc.fileId;
    j["file_id_hex"] = hex32(s.desc.fileId);
    j["offset"] = s.desc.offset;
    j["length"] = s.desc.length;
    j["data_len"] = opt_json(s.dataLen);
    j["header_crc"] = {{"stored", opt_json(s.headStored)},
                       {"computed", s.headComputed ? ojson(*s.headComputed) : ojson(nullptr)}};
    j["payload_crc"] = {
        {"stored", s.desc.crc},
        {"computed", s.payloadComputed ? ojson(*s.payloadComputed) : ojson(nullptr)}};
    j["result"] = s.result;
    j["message"] = s.message;
    return j;
}

ojson report_json(const PackageReport &rep) {
    ojson j;
    j["error"] = rep.error.empty() ? ojson(nullptr) : ojson(rep.error);
    j["size"] = rep.size;
    j["header"] = header_json(rep.header);
    j["extension"] = extension_json(rep.ext);
    ojson subs = ojson::array();
    for (const SubfileReport &s : rep.subfiles) {
        subs.push_back(subfile_json(s));
    }
    j["subfiles"] = std::move(subs);
    j["failures"] = rep.failures;
    return j;
}

std::string crc_pair(const std::optional<std::uint32_t> &stored,
                     const std::optional<std::uint16_t> &computed) {
    if (!stored || !computed) {
        return "-";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04x/%04x", *stored, unsigned{*computed});
    return buf;
}

void print_report(const PackageReport &rep) {
    if (!rep.error.empty()) {
        std::printf("  report: %s\n", rep.error.c_str());
        return;
    }
    if (!rep.header.valid()) {
        std::printf("  report: header refused (stored %s, computed %s)\n",
                    hex32(rep.header.storedCrc).c_str(), hex32(rep.header.computedCrc).c_str());
        return;
    }
    std::printf("  %-9s %7s  %-10s  %10s  %10s  %-9s  %-9s  %s\n", "TABLE", "INDEX", "FILE ID",
                "OFFSET", "LENGTH", "HEAD s/c", "DATA s/c", "RESULT");
    for (const SubfileReport &s : rep.subfiles) {
        std::printf(
            "  %-9s %7u  %-10s  %10u  %10u  %-9s  %-9s  %s%s%s\n", table_name(s.table), s.index,
            hex32(s.desc.fileId).c_str(), s.desc.offset, s.desc.length,
            crc_pair(s.headStored, s.headComputed).c_str(),
            crc_pair(s.payloadComputed ? std::optional<std::uint32_t>(s.desc.crc) : std::nullopt,
                     s.payloadComputed)
                .c_str(),
            s.result.c_str(), s.message.empty() ? "" : ": ", s.message.c_str());
    }
    if (rep.ext.state == ExtState::Invalid) {
        std::printf("  extension: invalid (%s)\n", rep.ext.message.c_str());
    }
    std::printf("  report: %zu sub-files, %zu failing\n", rep.subfiles.size(), rep.failures);
}

void print_human(const std::string &path, const Outcome &o) {
    if (!o.error.empty()) {
        std::printf("%s: FAILED: %s\n", path.c_str(), o.error.c_str());
        return;
    }
    if (o.signature && !o.signature->packageChecked) {
        std::printf("%s: FAILED (signature)\n", path.c_str());
    } else if (o.passed()) {
        std::printf("%s: ok\n", path.c_str());
    } else {
        std::printf("%s: FAILED (result %d)\n", path.c_str(), o.result);
    }
    std::istringstream lines(o.verdict);
    for (std::string line; std::getline(lines, line);) {
        std::printf("  %s\n", line.c_str());
    }
    if (o.signature) {
        print_signature(*o.signature);
    }
    if (o.verdict.empty() && !(o.signature && !o.signature->packageChecked)) {
        std::printf("  (no verdict: %s)\n", describe_code(o.result).c_str());
    }
}

int run_verify(const VerifyOptions &opt) {
    KeyringPtr ring(nullptr, &rerazera_keyring_free);
    if (opt.signature.enabled() && !(ring = load_keyring(opt.signature))) {
        return kExitUsage;
    }
    const std::uint32_t flags = signature_flags(opt.signature);
    const std::size_t n = opt.packages.size();
    const bool wantReport = opt.json || opt.report;
    std::vector<std::optional<Outcome>> results(n);
    std::mutex mutex;
    std::condition_variable ready;
    std::size_t next = 0;

    // Workers take packages in order; the main thread prints each result as
    // soon as it and every one before it are done.
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
            Outcome o = verify_one(opt.packages[i], wantReport, ring.get(), flags);
            const std::lock_guard lock(mutex);
            results[i] = std::move(o);
            ready.notify_all();
        }
    };
    const unsigned jobs = opt.jobs == 0 ? default_jobs() : opt.jobs;
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < jobs && t < n; ++t) {
        pool.emplace_back(worker);
    }

    std::size_t passed = 0;
    ojson packages = ojson::array();
    for (std::size_t i = 0; i < n; ++i) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return results[i].has_value(); });
        const Outcome o = std::move(*results[i]);
        results[i].reset();
        lock.unlock();

        const std::string &path = opt.packages[i];
        passed += o.passed() ? 1 : 0;
        if (!o.error.empty()) {
            report_error(path, o.error);
        }
        if (opt.json) {
            ojson j;
            j["file"] = path;
            j["passed"] = o.passed();
            j["result"] = o.error.empty() ? ojson(o.result) : ojson(nullptr);
            j["verdict"] = o.verdict;
            j["error"] = o.error.empty() ? ojson(nullptr) : ojson(o.error);
            j["report"] = o.report ? report_json(*o.report) : ojson(nullptr);
            if (opt.signature.enabled()) {
                j["signature"] = o.signature ? signature_json(*o.signature) : ojson(nullptr);
            }
            packages.push_back(std::move(j));
        } else {
            print_human(path, o);
            if (opt.report && o.report) {
                print_report(*o.report);
            }
            std::fflush(stdout);
        }
    }
    for (std::thread &t : pool) {
        t.join();
    }

    const std::size_t failed = n - passed;
    if (opt.json) {
        ojson doc;
        doc["schema"] = 1;
        doc["packages"] = std::move(packages);
        doc["summary"] = {{"total", n}, {"ok", passed}, {"failed", failed}};
        print_json(doc);
    } else {
        std::printf("verified %zu package%s: %zu ok, %zu failed\n", n, n == 1 ? "" : "s", passed,
                    failed);
    }
    return failed == 0 ? kExitOk : kExitFailure;
}

}  // namespace

void add_verify(CLI::App &app, Runner &run) {
    auto opt = std::make_shared<VerifyOptions>();
    CLI::App *cmd = app.add_subcommand(
        "verify", "Verify packages with the library's check; exit 1 when any fails");
    cmd->add_option("packages", opt->packages, "Package files")->required();
    cmd->add_option("-j,--jobs", opt->jobs, "Packages verified at once (default: number of cores)")
        ->check(CLI::Range(1u, 1024u));
    cmd->add_flag("--json", opt->json,
                  "Print a JSON document with a record per sub-file (schema in rerazera(1))");
    cmd->add_flag("--report", opt->report,
                  "Also print every sub-file's checksums and result, extension included");
    add_signature_options(cmd, opt->signature);
    cmd->footer("Exit status: 0 when every package passes, 1 when any fails, 2 for usage errors.");
    cmd->callback([opt, &run] { run = [opt] { return run_verify(*opt); }; });
}

}  // namespace rztool
