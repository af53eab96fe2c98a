// SPDX-License-Identifier: MIT
// Passwords for secret keys: asked on the terminal with echo off, or read
// from a descriptor a script opened (--password-fd N). Never taken from the
// command line, where other users could read it.
#pragma once

#include <optional>
#include <string>

namespace rztool {

// Reads one password. fd >= 0: the first line of that descriptor (without
// its line ending). fd < 0: asked on /dev/tty with the prompt, echo off;
// with confirm, asked twice and refused when the two differ. nullopt after
// reporting why on stderr.
std::optional<std::string> read_password(int fd, const char *prompt, bool confirm);

// Overwrites a password before its memory is given back.
void wipe(std::string &secret);

}  // namespace rztool
