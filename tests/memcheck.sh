#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a test program under valgrind's memcheck: no memory error, no leak,
# and no descriptor left open by the program itself.
#
# Usage: tests/memcheck.sh PROGRAM [ARGS...]
#
# valgrind's --track-fds lists every descriptor open at exit, including
# those the program inherited from its parent (the CI runner's, the
# terminal's); only the ones marked otherwise are counted as leaks. Forked
# children (GoogleTest's death tests, which exit on purpose holding the
# framework's own pipes) are not judged.
set -euo pipefail
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

set +e
valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --track-fds=yes --error-exitcode=1 \
  --child-silent-after-fork=yes --log-file="$log" "$@"
rc=$?
set -e

# A descriptor block is "Open file descriptor N: ..." (or "Open AF_UNIX
# socket ...") followed by its origin; inherited ones say so.
leaked=$(awk '
  /Open (file descriptor|AF_[A-Z0-9]+ socket)/ { if (pending != "") print pending; pending = $0; next }
  /<inherited from parent>/ { pending = ""; next }
  END { if (pending != "") print pending }
' "$log")
# A block that is followed by anything but its inherited marker is the
# program's own; the awk above prints those.

if [ -n "$leaked" ]; then
  echo "memcheck: descriptors left open by $1:"
  echo "$leaked"
  rc=1
fi
if [ $rc -ne 0 ]; then
  echo "memcheck: $1 failed under valgrind (exit $rc)"
  grep -v "^==[0-9]*== *$" "$log" | head -80
  grep -E "ERROR SUMMARY: [1-9]|definitely lost|indirectly lost|possibly lost" "$log" || true
  exit 1
fi
echo "memcheck: $1: no memory error, no leak, no descriptor left open"
