// SPDX-License-Identifier: MIT
// rerazera: inspect, verify, unpack and build QV packages from the shell.
//
// main parses the command line, sets up the logger (the library reports to
// syslog and leaves openlog to its host) and runs the chosen subcommand.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "tool.hpp"

#ifndef RERAZERA_VERSION
#define RERAZERA_VERSION "unknown"
#endif

int main(int argc, char **argv) {
    CLI::App app{"Inspect, verify, unpack and build QV firmware packages.", "rerazera"};
    app.set_version_flag("--version", "rerazera " RERAZERA_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "Show the library's diagnostics on stderr");
    bool quiet = false;
    const char *quietHelp = "Print nothing but errors (data asked for with -o - is still written)";
    app.add_flag("-q,--quiet", quiet, quietHelp);
    app.footer(std::string(rztool::kExitStatusHelp) +
               "\nRun 'rerazera COMMAND --help' for the options of a command; see rerazera(1).");

    rztool::install_process_handlers();
    rztool::Runner run;
    rztool::add_info(app, run);
    rztool::add_list(app, run);
    rztool::add_verify(app, run);
    rztool::add_extract(app, run);
    rztool::add_strip(app, run);
    rztool::add_pack(app, run);
    rztool::add_unpack(app, run);
    rztool::add_keygen(app, run);
    rztool::add_sign(app, run);
    rztool::add_diff(app, run);
    // --quiet is accepted after any subcommand too.
    for (CLI::App *sub : app.get_subcommands([](CLI::App *) { return true; })) {
        sub->add_flag("-q,--quiet", quiet, quietHelp);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? rztool::kExitOk : rztool::kExitUsage;
    }

    // The library's lines (syslog at LOG_INFO) are the tool's to route:
    // with -v they go to stderr, each naming its package; otherwise they
    // are dropped, so that a desk or CI run does not fill the system log.
    rztool::set_verbose(verbose);
    rztool::set_quiet(quiet);
    if (quiet && !rztool::silence_stdout()) {
        rztool::report_error("--quiet", "cannot point standard output at /dev/null");
        return rztool::kExitTrouble;
    }
    int status = rztool::kExitUsage;
    try {
        status = run ? run() : rztool::kExitUsage;
    } catch (const std::exception &e) {
        rztool::report_error("error", e.what());
        status = rztool::kExitTrouble;
    }
    return rztool::finish_stdout(status);
}
