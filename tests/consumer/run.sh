#!/usr/bin/env bash
# Builds host programs against an installed rerazera and runs them: a C99 and
# a C++ program, each once through find_package(rerazera) and once through
# pkg-config, plus checks of the installed layout.
#
#   tests/consumer/run.sh BUILD_DIR        install BUILD_DIR into a temporary
#                                          prefix, then test that prefix
#   tests/consumer/run.sh --root ROOT PREFIX
#                                          test files unpacked under ROOT for
#                                          PREFIX; --root / /usr tests the
#                                          installed Debian packages
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=${JOBS:-2}

if [ "${1:-}" = "--root" ] && [ $# -eq 3 ]; then
  root=$(cd "$2" && pwd)
  [ "$root" != / ] || root=""
  prefix=$3
  tree=$root$prefix
  expect_tool=auto
elif [ $# -eq 1 ]; then
  build=$(cd "$1" && pwd)
  root=""
  prefix=$work/prefix
  tree=$prefix
  cmake --install "$build" --prefix "$prefix" >"$work/install.log"
  # The tool is installed exactly when the build tree has its target.
  if grep -q '^rerazera_cli:' "$build/Makefile" 2>/dev/null ||
     grep -q 'build rerazera_cli:' "$build/build.ninja" 2>/dev/null; then
    expect_tool=yes
  else
    expect_tool=no
  fi
else
  sed -n '2,12p' "$0" >&2
  exit 2
fi

# The one place the version is set.
version=$(sed -n 's/^project(rerazera VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
passed=0
failed=0
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
if [ "$tree" != /usr ]; then # the system's /usr holds other projects' archives
  check "no static archive or internal library" \
    test -z "$(find "$tree" -name '*.a' -o -name '*writer*' -o -name '*core*' -o -name '*test*')"
fi
tool=$tree/bin/rerazera
man_page() { # compressed, or as written where gzip was missing at build time
  if [ -f "$tree/share/man/man1/rerazera.1.gz" ]; then
    gzip -dc "$tree/share/man/man1/rerazera.1.gz" | grep -q '^\.\(TH\|Dd\)'
  else
    grep -q '^\.\(TH\|Dd\)' "$tree/share/man/man1/rerazera.1"
  fi
}
if [ "$expect_tool" = auto ]; then
  expect_tool=no
  [ -e "$tool" ] && expect_tool=yes
fi
if [ "$expect_tool" = yes ]; then
  check "tool bin/rerazera" test -x "$tool"
  check "man page share/man/man1/rerazera.1[.gz]" man_page
  # Installed under a prefix the tool finds the library by its run path; an
  # unpacked package needs the loader pointed at it.
  run_tool() {
    if [ -n "$root" ]; then
      LD_LIBRARY_PATH=$libdir "$tool" "$@" >/dev/null
    else
      "$tool" "$@" >/dev/null
    fi
  }
  check "installed tool runs (rerazera --help)" run_tool --help
else
  check "no tool built, none installed" test ! -e "$tool"
fi

run_consumer() { # name program
  local log=$work/$1.log
  mkdir -p "$work/data"
  if "$2" "$work/data" >"$log" 2>&1; then
    pass "$1 ($(grep -c '^ok:' "$log") checks)"
  else
    fail "$1"
    cat "$log"
  fi
}

echo "== find_package(rerazera)"
for lang in c99 cxx; do
  if cmake -S "$here/$lang" -B "$work/cmake-$lang" -DCMAKE_PREFIX_PATH="$tree" \
       >"$work/cmake-$lang.log" 2>&1 &&
     cmake --build "$work/cmake-$lang" -j "$jobs" >>"$work/cmake-$lang.log" 2>&1; then
    run_consumer "$lang via find_package" "$work/cmake-$lang/consumer"
  else
    fail "$lang via find_package: configure or build"
    cat "$work/cmake-$lang.log"
  fi
done
# SameMajorVersion: any 1.x request is met, a 2.0 request is not.
refuses_v2() {
  ! cmake -S "$here/c99" -B "$work/cmake-v2" -DCMAKE_PREFIX_PATH="$tree" \
    -DRERAZERA_CONSUMER_VERSION=2.0 >"$work/cmake-v2.log" 2>&1 &&
    grep -q "rerazeraConfig.cmake, version: $version" "$work/cmake-v2.log"
}
check "find_package(rerazera 2.0) is refused by version $version" refuses_v2

echo "== pkg-config rerazera"
export PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_SYSROOT_DIR=$root
# Keep -L even for the system's own library directory (an installed package).
export PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
check "pkg-config --modversion is $version" test "$(pkg-config --modversion rerazera)" = "$version"
cflags=$(pkg-config --cflags rerazera)
libs=$(pkg-config --libs rerazera)
rpath=$(pkg-config --libs-only-L rerazera | sed 's/^ *-L//; s/ *$//')
check "pkg-config points into the installed tree" test "$rpath" -ef "$libdir"
build_pc() { # name compiler flags... -- sources
  local name=$1; shift
  # shellcheck disable=SC2086
  if "$@" $cflags -o "$work/$name" $libs -Wl,-rpath,"$rpath" >"$work/$name.log" 2>&1; then
    run_consumer "$name" "$work/$name"
  else
    fail "$name: build"
    cat "$work/$name.log"
  fi
}
build_pc "c99 via pkg-config" "${CC:-cc}" -std=c99 -pedantic -Wall -Wextra -Werror "$here/c99/consumer.c"
build_pc "cxx via pkg-config" "${CXX:-c++}" -std=c++17 -Wall -Wextra -Wpedantic -Werror \
  "$here/cxx/consumer.cpp"

echo "consumers: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
