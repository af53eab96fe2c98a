// SPDX-License-Identifier: MIT
// Where the output-writing benchmarks put their files.
//
// Writing a large file costs very different amounts on tmpfs (the page cache
// is the file) and on a disk-backed file system (dirty pages, writeback,
// block allocation), and a device writes to the latter. The benchmark
// program takes `--output_dirs=LABEL:DIR,LABEL:DIR...`; without it, the
// defaults are /dev/shm as "tmpfs" and /var/tmp as "disk", each kept only
// when its file system is what the label says.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace rzbench {

struct OutputDir {
    std::string label;  // short name used in benchmark names, e.g. "disk"
    std::string path;
};

// Removes --output_dirs=... from argv (before Google Benchmark sees the
// arguments). False, with a message printed, when the value is malformed.
bool take_output_dirs_flag(int &argc, char **argv);

// The directories chosen by the flag, or the defaults.
const std::vector<OutputDir> &output_dirs();

// Benchmarks that depend on the output directories register through this
// hook: the program calls every hook once the flag has been read.
bool add_registration(std::function<void()> hook);
void run_registrations();

}  // namespace rzbench
