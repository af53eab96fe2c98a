// SPDX-License-Identifier: MIT
// rerazera: inspect, verify, unpack and build QV packages from the shell.
//
// main parses the command line, sets up the logger (the library reports to
// syslog and leaves openlog to its host) and runs the chosen subcommand.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tool.hpp"

namespace {

// Edit distance, for suggesting the subcommand a mistyped word meant.
std::size_t distance(const std::string &a, const std::string &b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diag = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1] ? 1 : 0)});
            diag = up;
        }
    }
    return row[b.size()];
}

int unknown_subcommand(const CLI::App &app, const std::string &word) {
    std::string best;
    std::size_t bestDistance = 3;  // suggest only what is two edits away or closer
    for (const CLI::App *sub : app.get_subcommands({})) {
        const std::size_t d = distance(word, sub->get_name());
        if (d < bestDistance) {
            bestDistance = d;
            best = sub->get_name();
        }
    }
    std::string text = "unknown subcommand '" + rztool::escape(word) + "'";
    if (!best.empty()) {
        text += "; did you mean '" + best + "'?";
    }
    std::cerr << "rerazera: " << text << "\nRun 'rerazera --help' for the list of commands.\n";
    return rztool::kExitUsage;
}

// What a missing positional argument is, in the help's words.
std::string positional_words(const std::string &name) {
    static const std::pair<const char *, const char *> words[] = {
        {"package", "the package file"}, {"packages", "a package file"},
        {"bin", "the bin file"},         {"old", "the old package"},
        {"new", "the new package"},      {"files", "a payload file"},
    };
    for (const auto &[key, text] : words) {
        if (name == key) {
            return text;
        }
    }
    return name;
}

// The argument parser's errors in the tool's words: none of its own
// phrasing ("At Most 1 required", "1 required TEXT missing") reaches the user.
std::string usage_message(const CLI::App *app, const CLI::Error &e) {
    struct Rewrite {
        std::regex from;
        const char *to;
    };
    static const std::vector<Rewrite> rewrites = {
        {std::regex("^(\\S+): At Most (\\d+) required but received (\\d+)$"),
         "$1 takes at most $2 value(s), but $3 were given"},
        {std::regex("^(\\S+): At least (\\d+) required but received (\\d+)$"),
         "$1 takes at least $2 value(s), but $3 were given"},
        {std::regex("^Expected exactly (\\d+) arguments? to (\\S+), got (\\d+)$"),
         "$2 takes $1 value(s), but $3 were given"},
        {std::regex("^Expected at least (\\d+) arguments? to (\\S+), got (\\d+)$"),
         "$2 takes at least $1 value(s), but $3 were given"},
        {std::regex("^(\\S+): \\d+ required \\S+:\\{(.*)\\} missing$"),
         "$1 needs a value, one of $2"},
        {std::regex("^(\\S+): \\d+ required \\S+ missing$"), "$1 needs a value"},
        {std::regex("^(\\S+): (\\d+) required (\\S+) but received (\\d+)$"),
         "$1 takes $2 value(s), but $4 were given"},
        {std::regex("^Exactly 1 option from \\[(.*)\\].*$"), "give exactly one of $1"},
        {std::regex("^A subcommand is required$"), "a command is required"},
        {std::regex("^(.+) is required$"), "$1 is missing"},
        {std::regex("^(\\S+) excludes (\\S+)$"), "$1 cannot be used with $2"},
        {std::regex("^(\\S+) requires (\\S+)$"), "$1 needs $2 as well"},
        {std::regex("^(\\S+): (.*) not in \\{(.*)\\}$"), "$1: '$2' is not one of $3"},
        {std::regex("^Could not convert: (\\S+) = (.*)$"), "$1: '$2' is not a number"},
        {std::regex("^(.*): Value (.*) not in range (.*)$"), "$1: $2 is out of range $3"},
        {std::regex("^The value (.*) is not an allowed value for (\\S+)$"),
         "$2: '$1' is not allowed"},
        {std::regex("^(\\S+): (too many inputs for a flag|Should be true/false or a number)$"),
         "$1 takes no value"},
    };
    // The command the error belongs to, for the help line.
    const CLI::App *cmd = nullptr;
    for (const CLI::App *sub : app->get_subcommands()) {
        cmd = sub;
    }
    std::string text = e.what();
    if (dynamic_cast<const CLI::ExtrasError *>(&e) != nullptr) {
        // The parser lists them last first; the first one is what to fix.
        std::vector<std::string> extra = app->remaining(true);
        text = extra.empty()
                   ? "unexpected argument"
                   : (extra[0].rfind('-', 0) == 0 ? "unknown option: " : "unexpected argument: ") +
                         extra[0];
    } else if (dynamic_cast<const CLI::RequiredError *>(&e) != nullptr && text.size() > 12 &&
               text.compare(text.size() - 12, 12, " is required") == 0 &&
               text.find(' ') == text.size() - 12 && text[0] != '-') {
        text = positional_words(text.substr(0, text.size() - 12)) + " is missing";
    } else {
        for (const Rewrite &r : rewrites) {
            if (std::regex_search(text, r.from)) {
                text = std::regex_replace(text, r.from, r.to);
                break;
            }
        }
    }
    const std::string name = cmd != nullptr ? " " + cmd->get_name() : "";
    return "rerazera:" + name + (name.empty() ? " " : ": ") + rztool::escape(text) +
           "\nRun 'rerazera" + name + " --help' for the options.\n";
}

const CLI::App *find_subcommand(const CLI::App &app, const std::string &name) {
    for (const CLI::App *sub : app.get_subcommands({})) {
        if (sub->get_name() == name) {
            return sub;
        }
    }
    return nullptr;
}

bool is_global_flag(const char *arg) {
    for (const char *flag : {"-v", "--verbose", "-q", "--quiet", "-qv", "-vq"}) {
        if (std::strcmp(arg, flag) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Inspect, verify, unpack and build QV firmware packages.", "rerazera"};
    app.require_subcommand(1);
    app.fallthrough();
    app.failure_message(usage_message);
    bool version = false;
    app.add_flag("--version", version,
                 "Print the versions of the tool and of the libraries it loaded");
    bool verbose = false;
    const char *verboseHelp = "Show the library's diagnostics on stderr";
    app.add_flag("-v,--verbose", verbose, verboseHelp);
    bool quiet = false;
    const char *quietHelp = "Print failures and nothing else; data asked for is still printed";
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
    // -v and -q are accepted after any subcommand too; what -q leaves out
    // depends on the command.
    const std::pair<const char *, const char *> quietHelps[] = {
        {"info", "Print errors only besides the values asked for (the report is data)"},
        {"list", "Print errors only besides the listing (the listing is data)"},
        {"verify",
         "Print only the packages that fail, with their verdict; no ok lines, no summary "
         "(--json is printed whole)"},
        {"extract",
         "Print errors only: no notes, no paths of the files written (-o - still writes the "
         "sub-file)"},
        {"strip", "Print errors only (-o - still writes the payload)"},
        {"pack", "Print errors only: no notes, no progress (-o - still writes the package)"},
        {"unpack", "Print errors only: no notes, no progress"},
        {"keygen", "Print errors only: not the key ID"},
        {"sign", "Print errors only: not the signed lines"},
        {"diff",
         "Print only the differences and a failing verdict; no heading, no summary (--json is "
         "printed whole)"},
    };
    for (CLI::App *sub : app.get_subcommands({})) {
        sub->add_flag("-v,--verbose", verbose, verboseHelp);
        const char *help = quietHelp;
        for (const auto &[name, text] : quietHelps) {
            help = sub->get_name() == name ? text : help;
        }
        sub->add_flag("-q,--quiet", quiet, help);
    }
    app.add_subcommand("version", "Print the versions of the tool and of the libraries it loaded")
        ->callback([&run] { run = rztool::print_version; });
    app.add_subcommand("help", "Show the help of the tool, or of one COMMAND")->allow_extras();

    // The first word after the global flags is the command.
    int first = 1;
    while (first < argc && is_global_flag(argv[first])) {
        ++first;
    }
    if (first < argc) {
        const std::string word = argv[first];
        if (word == "--version") {
            return rztool::finish_stdout(rztool::print_version());
        }
        if (word == "help") {
            if (first + 1 >= argc) {
                std::cout << app.help();
                return rztool::finish_stdout(rztool::kExitOk);
            }
            const CLI::App *sub = find_subcommand(app, argv[first + 1]);
            if (sub == nullptr || std::strcmp(argv[first + 1], "help") == 0) {
                return unknown_subcommand(app, argv[first + 1]);
            }
            std::cout << sub->help();
            return rztool::finish_stdout(rztool::kExitOk);
        }
        if (word[0] != '-' && find_subcommand(app, word) == nullptr) {
            return unknown_subcommand(app, word);
        }
        if (word[0] == '-' && word != "-h" && word != "--help") {
            std::cerr << "rerazera: unknown option: " << rztool::escape(word)
                      << "\nRun 'rerazera --help' for the options.\n";
            return rztool::kExitUsage;
        }
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
    int status = rztool::kExitUsage;
    try {
        status = run ? run() : rztool::kExitUsage;
    } catch (const std::exception &e) {
        rztool::report_error("error", e.what());
        status = rztool::kExitTrouble;
    }
    return rztool::finish_stdout(status);
}
