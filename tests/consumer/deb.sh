#!/usr/bin/env bash
# Builds the Debian package from a build tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr, checks its control data and contents, checks
# that apt would install it, then unpacks it into a throwaway root and runs
# the consumer programs against the unpacked files.
#   tests/consumer/deb.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rm -f "$build"/rerazera_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
debs=("$build"/rerazera_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one package, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}
version=$(sed -n 's/^project(rerazera VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=./usr/lib/$multiarch

passed=0
failed=0
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; passed=$((passed + 1)); else echo "FAILED: $what"; failed=$((failed + 1)); fi; }
field() { dpkg-deb -f "$deb" "$1"; }

echo "== $(basename "$deb")"
check "file name rerazera_${version}_${arch}.deb" test "$(basename "$deb")" = "rerazera_${version}_${arch}.deb"
check "Package rerazera, Version $version, Architecture $arch" \
  test "$(field Package) $(field Version) $(field Architecture)" = "rerazera $version $arch"
check "Maintainer and Description set" test -n "$(field Maintainer)" -a -n "$(field Description)"
if command -v dpkg-shlibdeps >/dev/null; then
  check "Depends from dpkg-shlibdeps names libc6 ($(field Depends))" \
    bash -c "dpkg-deb -f '$deb' Depends | grep -Eq '(^|, )libc6 \(>= '"
fi
dpkg-deb -e "$deb" "$work/control"
check "shlibs: librerazera 1 rerazera (>= $version)" \
  grep -qx "librerazera 1 rerazera (>= $version)" "$work/control/shlibs"
check "postinst runs ldconfig" grep -qw ldconfig "$work/control/postinst"

dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/contents"
for path in "$libdir/librerazera.so.$version" "$libdir/librerazera.so.1" "$libdir/librerazera.so" \
            ./usr/include/rerazera.h "$libdir/pkgconfig/rerazera.pc" \
            "$libdir/cmake/rerazera/rerazeraConfig.cmake" \
            "$libdir/cmake/rerazera/rerazeraConfigVersion.cmake" \
            "$libdir/cmake/rerazera/rerazeraTargets.cmake"; do
  check "contains $path" grep -qx "$path" "$work/contents"
done
if grep -q '^rerazera_cli:' "$build/Makefile" 2>/dev/null; then
  check "contains ./usr/bin/rerazera" grep -qx ./usr/bin/rerazera "$work/contents"
  check "contains the man page, compressed" grep -qx ./usr/share/man/man1/rerazera.1.gz "$work/contents"
fi
check "nothing outside /usr, no static archive" \
  bash -c "! grep -v -e '^\\./\$' -e '^\\./usr/' '$work/contents' && ! grep -q '\\.a\$' '$work/contents'"
check "the pkg-config file names prefix /usr" \
  bash -c "dpkg-deb --fsys-tarfile '$deb' | tar -xO '$libdir/pkgconfig/rerazera.pc' | grep -qx 'prefix=/usr'"
if command -v apt-get >/dev/null; then
  check "apt-get would install it" \
    bash -c "apt-get install --simulate '$deb' >'$work/apt.log' 2>&1 && grep -q '^Inst rerazera ' '$work/apt.log'"
fi

dpkg -x "$deb" "$work/root"
check "the packaged (stripped) library exports exactly the header's functions" \
  cmake -DLIB="$work/root/${libdir#./}/librerazera.so.$version" -DMAP="$here/../../src/rerazera.map" \
  -DHEADER="$here/../../include/rerazera.h" -P "$here/../abi/check_exports.cmake"
echo "package: $passed passed, $failed failed"
bash "$here/run.sh" --root "$work/root" /usr
[ "$failed" -eq 0 ]
