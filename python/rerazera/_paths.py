# SPDX-License-Identifier: MIT
"""Where the shared libraries are. An installed module leaves both None and
finds the libraries through the system's loader path; the build tree writes
its own copy of this file naming the directories it built them in."""

PACKAGE_LIBRARY_DIR: "str | None" = None
SIGN_LIBRARY_DIR: "str | None" = None
