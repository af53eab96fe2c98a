#!/usr/bin/env bash
# Builds everything (library, tool, tests and the sample packages) in build/
# and shows the tool on the samples: info, list and verify.
set -euo pipefail
cd "$(dirname "$0")"
build=build

cmake -S . -B "$build"
cmake --build "$build" -j "$(nproc)"

tool=$build/tools/rerazera/rerazera
show() {
  echo
  echo "\$ rerazera $*"
  "$tool" "$@"
}
show info "$build/sample/sample.qv"
show list "$build/sample/sample.qv"
show info "$build/sample/sample-ext.qv"
show verify "$build/sample/sample.qv" "$build/sample/sample-ext.qv"
