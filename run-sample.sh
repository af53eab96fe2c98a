#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The first command on a new machine. Installs the Debian packages that the
# build and the tests need and that are missing (the list is .ci/packages),
# builds everything (library, tool, tests and the sample packages) in build/
# and shows the tool on the samples: info, list and verify, then unpacks the
# one with an extension, packs it again and compares the two.
#
# Packages are installed with apt-get as root, or through `sudo -n` (never
# asking for a password). When neither works it prints the apt-get line to run
# by hand and exits 1. A second run finds nothing missing and installs nothing.
set -euo pipefail
cd "$(dirname "$0")"
build=build

missing=()
while read -r pkg; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' .ci/packages)

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    as_root=(sudo -n)
  else
    echo "Missing packages: ${missing[*]}" >&2
    echo "They cannot be installed from here: not root, and sudo asks for a password or is" >&2
    echo "missing. Install them as root, then run $0 again:" >&2
    echo "  apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing missing packages: ${missing[*]}"
  apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=0)
  # Fresh machines and containers often have no package lists yet, and old
  # lists name files the mirror no longer has: update first when a package is
  # unknown, or once when the install fails.
  updated=no
  for pkg in "${missing[@]}"; do
    if ! apt-cache show --no-all-versions "$pkg" >/dev/null 2>&1; then
      "${apt[@]}" update
      updated=yes
      break
    fi
  done
  if ! "${apt[@]}" install --no-install-recommends "${missing[@]}"; then
    [ "$updated" = no ] || exit 1
    "${apt[@]}" update
    "${apt[@]}" install --no-install-recommends "${missing[@]}"
  fi
fi

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
# Take the package with an extension apart, put it back together and compare.
rm -rf "$build/sample/unpacked" "$build/sample/repacked.qv"
show unpack "$build/sample/sample-ext.qv" -C "$build/sample/unpacked"
show pack --manifest "$build/sample/unpacked/manifest.json" -o "$build/sample/repacked.qv"
show diff "$build/sample/sample-ext.qv" "$build/sample/repacked.qv"
