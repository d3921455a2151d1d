#!/usr/bin/env bash
# CI stage: makes the packages with cpack and uses them as a user would.
# The Debian package is checked by lintian, installed with dpkg -i, run
# (version, manual page, a round trip of both formats) and removed with
# dpkg -r; the Windows ZIP is unpacked and its kesto.exe run under Wine.
# Any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/install_missing.sh
root=$PWD

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v file >/dev/null || need+=(file)
command -v lintian >/dev/null || need+=(lintian)
command -v man >/dev/null || need+=(man-db)
command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64 mingw-w64)
command -v wine >/dev/null || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || need+=(wine64)
install_missing --no-install-recommends "${need[@]}"

work=$(mktemp -d)
installed=no
prefix=
cleanup() {
  [ "$installed" = no ] || dpkg -r kesto >/dev/null || true
  [ -z "$prefix" ] || WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== the Debian package"
# The program alone, as on a machine without GoogleTest: the README's first
# command needs nothing but cmake, a compiler and ninja.
cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_WERROR=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null
cmake --build build-pkg -j2
rm -f build-pkg/kesto_*.deb
(cd build-pkg && cpack -G DEB >/dev/null)
deb=$(ls build-pkg/kesto_*.deb)
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\):/&/p'
dpkg-deb --contents "$deb" | awk '{ print $NF }'
[ "$(dpkg-deb --field "$deb" Architecture)" = "$(dpkg --print-architecture)" ]
dpkg-deb --field "$deb" Depends | grep -q libc6
lintian --fail-on error "$deb"

dpkg -i "$deb"
installed=yes
[ "$(command -v kesto)" = /usr/bin/kesto ]
kesto --version
man -w kesto
for doc in README.md LICENSE copyright changelog.Debian.gz; do
  [ -f /usr/share/doc/kesto/$doc ]
done
# A round trip of each format with the installed program and its own files.
cd "$work"
cp /usr/share/doc/kesto/README.md /usr/share/doc/kesto/LICENSE .
kesto -cdz docs.dl README.md LICENSE
kesto -l docs.dl
kesto -t docs.dl
kesto -ed docs.dl dl-out
cp README.md README  # AR archives keep 8 bytes of a name
kesto -cfk 1A2B docs.ar README LICENSE
kesto -e docs.ar ar-out
for f in README.md LICENSE; do cmp "$f" dl-out/$f; done
for f in README LICENSE; do cmp "$f" ar-out/$f; done
cd "$root"
dpkg -r kesto
installed=no
[ ! -e /usr/bin/kesto ]
if man -w kesto 2>/dev/null; then echo "the manual page stayed" >&2; exit 1; fi
echo "installed, used and removed"

echo "== the Windows ZIP"
# kesto.exe as the Windows stage built it (configured here if it did not run).
if [ ! -f build-win/CMakeCache.txt ]; then
  cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DKESTO_BUILD_TESTS=OFF -DKESTO_WERROR=ON >/dev/null
fi
cmake --build build-win -j2
rm -f build-win/kesto-*-win64.zip
(cd build-win && cpack -G ZIP >/dev/null)
zip=$(ls "$root"/build-win/kesto-*-win64.zip)
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
find "$work/zip" -type f | sed "s|$work/zip/||"
exe=$(ls "$work"/zip/*/kesto.exe)
dir=$(dirname "$exe")
[ -f "$dir/README.md" ]
[ -f "$dir/LICENSE" ]

# Wine as the Windows stage runs it, in its prefix (made here if that stage
# did not run). The first program run on a fresh server may fail to start.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=$root/build-win/wineprefix
prefix=$WINEPREFIX
[ -f "$WINEPREFIX/system.reg" ] || timeout 300 wineboot -i
timeout 120 wineserver -w || wineserver -k || true
wineserver -p
for try in 1 2 3 4 5; do
  version=$(cd "$dir" && timeout 120 wine kesto.exe --version </dev/null 2>/dev/null || true)
  case "$version" in kesto*) break ;; esac
  echo "wine did not run kesto.exe (try $try)"
  [ "$try" -lt 5 ] || exit 1
  sleep 2
done
echo "$version"
cd "$dir"
wine kesto.exe -cdz docs.dl README.md LICENSE
wine kesto.exe -t docs.dl
wine kesto.exe -ed docs.dl out
cmp README.md out/README.md
cmp LICENSE out/LICENSE
echo "kesto.exe from the ZIP works"
