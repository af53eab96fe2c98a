#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the README's C99 example, a C99 program of every package API function
# and a C++ program against an installed rerazera, through find_package(rerazera) and through pkg-config, runs them
# and checks the installed layout.
#   tests/consumer/run.sh BUILD_DIR          install BUILD_DIR into a temporary
#                                            prefix, then test that prefix
#   tests/consumer/run.sh --root ROOT PREFIX test files unpacked under ROOT for
#                                            PREFIX (--root / /usr: installed
#                                            Debian packages)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=${JOBS:-2}
# A sanitized library needs its runtime in every program that loads it: the
# test of a sanitized build tree passes the flags it was built with.
sanitize=${SANITIZE_FLAGS:-}

if [ "${1:-}" = "--root" ] && [ $# -eq 3 ]; then
  root=$(cd "$2" && pwd)
  [ "$root" != / ] || root=""
  tree=$root$3
  expect_tool=auto
elif [ $# -eq 1 ]; then
  build=$(cd "$1" && pwd)
  root=""
  tree=$work/prefix
  cmake --install "$build" --prefix "$tree" >"$work/install.log"
  # The tool is installed exactly when the build tree has its target.
  grep -qE '^rerazera_cli:|^build rerazera_cli:' "$build/Makefile" "$build/build.ninja" 2>/dev/null &&
    expect_tool=yes || expect_tool=no
else
  sed -n '2,9p' "$0" >&2
  exit 2
fi

# The one place the version is set.
version=$(sed -n 's/^project(rerazera VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
passed=0 failed=0
pass() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

echo "== installed tree $tree"
libdir=$(dirname "$(find "$tree" -name 'librerazera.so.1.*' -print -quit)")
check "librerazera.so -> librerazera.so.1" test "$(readlink "$libdir/librerazera.so")" = librerazera.so.1
so_real=$(readlink "$libdir/librerazera.so.1")
check "librerazera.so.1 -> librerazera.so.$version" test "$so_real" = "librerazera.so.$version" -a \
  -f "$libdir/$so_real"
check "SONAME librerazera.so.1" \
  bash -c "objdump -p '$libdir/$so_real' | grep -Eq 'SONAME +librerazera\\.so\\.1\$'"
check "header include/rerazera.h" test -f "$tree/include/rerazera.h"
check "CMake package files" test -f "$libdir/cmake/rerazera/rerazeraConfig.cmake" -a \
  -f "$libdir/cmake/rerazera/rerazeraConfigVersion.cmake"
check "pkg-config file" test -f "$libdir/pkgconfig/rerazera.pc"
check "librerazera-package.so.1 and include/rerazera/package.h" \
  test -f "$libdir/librerazera-package.so.1" -a -f "$tree/include/rerazera/package.h" -a \
  -f "$libdir/pkgconfig/rerazera-package.pc"
# The sign component is asked for exactly when librerazera-sign is installed.
sign=OFF
if [ -e "$libdir/librerazera-sign.so.1" ]; then
  sign=ON
  check "pkg-config file rerazera-sign.pc" test -f "$libdir/pkgconfig/rerazera-sign.pc"
fi
if [ "$tree" != /usr ]; then # the system's /usr holds other projects' archives
  check "no static archive or internal library" \
    test -z "$(find "$tree" -name '*.a' -o -name '*writer*' -o -name '*core*' -o -name '*test*')"
fi
tool=$tree/bin/rerazera
man=$tree/share/man/man1/rerazera.1
# Compressed, or as written where gzip was missing at build time.
man_page() { { gzip -dc "$man.gz" 2>/dev/null || cat "$man"; } | grep '^\.\(TH\|Dd\)' >/dev/null; }
# An unpacked package needs the loader pointed at the library; an installed
# prefix is found by the tool's run path.
quiet() { LD_LIBRARY_PATH=${root:+$libdir} "$@" >/dev/null; }
[ "$expect_tool" != auto ] || { [ -e "$tool" ] && expect_tool=yes || expect_tool=no; }
if [ "$expect_tool" = yes ]; then
  check "tool bin/rerazera" test -x "$tool"
  check "man page share/man/man1/rerazera.1[.gz]" man_page
  check "installed tool runs (rerazera --help)" quiet "$tool" --help
else
  check "no tool built, none installed" test ! -e "$tool"
fi

# The streaming verifier's functions are not in the package library yet:
# until they are, package_consumer.c leaves them out. Empty this to test them.
consumer_defines=

# The C++ program writes and verifies a package; the C99 program calls every
# package API function on it; the C example verifies it, extracts its
# sub-file's payload, then refuses it with one payload byte changed.
run_consumers() { # how directory-of-programs
  local d=$2 pkg=$work/$1.qv log=$work/$1.run.log
  if "$d/cxx" "$pkg" >"$log" 2>&1 && "$d/package_consumer" "$pkg" "$version" >>"$log" 2>&1 &&
     "$d/example" "$pkg" 0x202 "$work/$1.copy" >>"$log" 2>&1 &&
     cmp -s <(tail -c 100 "$pkg") "$work/$1.copy" &&
     printf X | dd of="$pkg" bs=1 seek=$((6180 + 352 + 10)) conv=notrunc status=none &&
     ! "$d/example" "$pkg" 0x202 "$work/$1.copy2" >>"$log" 2>&1 &&
     grep -q '^file crc is not correct. fileID =0x202$' "$log"; then
    pass "C++ program, package API program and C example via $1"
  else
    fail "C++ program, package API program and C example via $1"
    cat "$log"
  fi
}

echo "== find_package(rerazera)"
configure() { # build-dir extra-args...
  local b=$1; shift
  cmake -S "$here" -B "$b" -DCMAKE_PREFIX_PATH="$tree" -DEXAMPLE="$here/../../examples/verify_and_extract.c" \
    -DRERAZERA_CONSUMER_SIGN=$sign -DRERAZERA_CONSUMER_DEFINES="$consumer_defines" \
    ${sanitize:+-DCMAKE_C_FLAGS="$sanitize" -DCMAKE_CXX_FLAGS="$sanitize"} "$@"
}
if configure "$work/cmake" >"$work/cmake.log" 2>&1 &&
   cmake --build "$work/cmake" -j "$jobs" >>"$work/cmake.log" 2>&1; then
  run_consumers find_package "$work/cmake"
else
  fail "find_package: configure or build"
  cat "$work/cmake.log"
fi
# SameMajorVersion: any 1.x request is met, a 2.0 request is not.
refuses_v2() {
  ! configure "$work/cmake-v2" -DRERAZERA_CONSUMER_VERSION=2.0 >"$work/cmake-v2.log" 2>&1 &&
    grep -q "rerazeraConfig.cmake, version: $version" "$work/cmake-v2.log"
}
check "find_package(rerazera 2.0) is refused by version $version" refuses_v2

echo "== pkg-config rerazera"
export PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_SYSROOT_DIR=$root
# Keep -L even for the system's own library directory (an installed package).
export PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
check "pkg-config --modversion is $version" test "$(pkg-config --modversion rerazera)" = "$version"
cflags="$(pkg-config --cflags rerazera rerazera-package) $sanitize"
libs=$(pkg-config --libs rerazera)
package_libs=$(pkg-config --libs rerazera-package)
if [ "$sign" = ON ]; then
  check "pkg-config rerazera-sign is $version" test "$(pkg-config --modversion rerazera-sign)" = "$version"
fi
rpath=$(pkg-config --libs-only-L rerazera | sed 's/^ *-L//; s/ *$//')
check "pkg-config points into the installed tree" test "$rpath" -ef "$libdir"
mkdir -p "$work/pc"
# shellcheck disable=SC2086
if "${CC:-cc}" -std=c99 -pedantic -Wall -Wextra -Werror "$here/../../examples/verify_and_extract.c" \
     $cflags -o "$work/pc/example" $package_libs -Wl,-rpath,"$rpath" >"$work/pc.log" 2>&1 &&
   "${CC:-cc}" -std=c99 -pedantic -Wall -Wextra -Werror ${consumer_defines:+-D$consumer_defines} \
     "$here/package_consumer.c" $cflags -o "$work/pc/package_consumer" $package_libs \
     -Wl,-rpath,"$rpath" >>"$work/pc.log" 2>&1 &&
   "${CXX:-c++}" -std=c++17 -Wall -Wextra -Wpedantic -Werror "$here/consumer.cpp" \
     $cflags -o "$work/pc/cxx" $libs -Wl,-rpath,"$rpath" >>"$work/pc.log" 2>&1; then
  run_consumers pkg-config "$work/pc"
else
  fail "pkg-config: build"
  cat "$work/pc.log"
fi

echo "consumers: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
