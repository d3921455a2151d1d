#!/usr/bin/env bash
# CI stage: cross-compiles kesto.exe with MinGW-w64 (warnings as errors) and
# runs the whole command-line suite, built for Linux, against it under Wine.
# Any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/install_missing.sh
root=$PWD

# The compiler and Wine. On Debian the wine package's launcher needs the
# 64-bit loader from wine64 (the 32-bit wine32 is not needed for kesto.exe).
need=()
command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64 mingw-w64)
command -v wine >/dev/null || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || need+=(wine64)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
# The Japanese locale's sources, for the code page 932 run below.
[ -f /usr/share/i18n/locales/ja_JP ] && command -v localedef >/dev/null || need+=(locales)
install_missing --no-install-recommends "${need[@]}"

echo "== building kesto.exe"
cmake -S . -B build-win -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DKESTO_BUILD_TESTS=OFF -DKESTO_WERROR=ON >/dev/null
cmake --build build-win -j2
program="$root/build-win/kesto.exe"

# Only system DLLs may be imported: kesto.exe ships alone.
dlls=$(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p')
echo "kesto.exe imports: $(echo $dlls)"
for dll in $dlls; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll) ;;
    *) echo "kesto.exe needs a non-system DLL: $dll" >&2; exit 1 ;;
  esac
done

# The Linux-built suite drives kesto.exe through wine.
if [ ! -x build/tests/kesto_cli_tests ]; then
  echo "== building the command-line tests"
  cmake -S . -B build -G Ninja -DKESTO_BUILD_TESTS=ON ${CMAKE_FLAGS:-} >/dev/null
  cmake --build build -j2 --target kesto_cli_tests
fi

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts in the prefix
prefixes=()
stop_wine() {
  for prefix in "${prefixes[@]}"; do WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; done
}
trap stop_wine EXIT

# start_wine PREFIX: makes the Wine prefix if needed and leaves one server
# running for it, answering, as WINEPREFIX.
start_wine() {
  export WINEPREFIX=$1
  prefixes+=("$1")
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the Wine prefix $WINEPREFIX (about 30 s)"
    timeout 300 wineboot -i
  fi
  # Wait for the server of the prefix's creation to end; one left running for
  # good (wineserver -p) by an earlier run would never end by itself.
  timeout 120 wineserver -w || { echo "a Wine server was still running: stopping it"; wineserver -k || true; }
  # One server for the whole suite: without it every run of kesto.exe that
  # follows a pause starts a new one, which costs seconds.
  wineserver -p
  # The first program run on a fresh server also starts Wine's own services;
  # kesto.exe runs once here, until it answers with its usage text, so that the
  # suite starts on a server that is up.
  local try usage
  for try in 1 2 3 4 5; do
    usage=$(timeout 120 wine "$program" </dev/null 2>"$root/build-win/warmup.err" || true)
    case "$usage" in *"uso:"*) return 0 ;; esac
    echo "wine did not run kesto.exe (try $try):"
    cat "$root/build-win/warmup.err"
    [ "$try" -lt 5 ] || exit 1
    sleep 2
  done
}

suite() { KESTO_PROGRAM="$program" KESTO_RUNNER=wine timeout 600 build/tests/kesto_cli_tests "$@"; }

start_wine "$root/build-win/wineprefix"
echo "== command-line suite against kesto.exe under wine"
suite
# An interruption may come between any two steps of writing a file: each
# run of this test stops at another entry, by Ctrl+C and by a kill.
echo "== interrupted extractions, 40 more runs"
if ! suite --gtest_filter=cli_windows.interrupted_extraction_leaves_no_temporary_file \
  --gtest_repeat=40 --gtest_brief=1 >"$root/build-win/interruptions.log" 2>&1; then
  cat "$root/build-win/interruptions.log"
  exit 1
fi
echo "no temporary file left"

# The ANSI code page 932 (Japanese), whose double-byte characters may end
# in the byte of "\": Wine takes it from the locale, built here from the
# system's sources into a private directory.
echo "== code page 932 tests"
locales="$root/build-win/locale"
if [ ! -f "$locales/ja_JP.UTF-8/LC_CTYPE" ]; then
  mkdir -p "$locales"
  localedef -c -i ja_JP -f UTF-8 "$locales/ja_JP.UTF-8" || true
fi
export LOCPATH=$locales
# (This shell cannot load the locale itself, not knowing LOCPATH yet.)
{ export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8; } 2>/dev/null
start_wine "$root/build-win/wineprefix-ja"
KESTO_ANSI_CODE_PAGE=932 suite --gtest_filter='cli_windows.*code_page_932:*.codepage_*'
