#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang) and runs every unit, command-line and hardening test under them,
# and every committed fuzz corpus through its target.
# Any sanitizer report fails the stage, also one from a kesto process that a
# command-line test started and whose failure the test did not expect:
# reports are written to files and the stage fails when any exists.
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/install_missing.sh

need=()
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-14-dev)
install_missing "${need[@]}"

build=build-sanitize
reports=$PWD/$build/sanitizer-reports
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTO_SANITIZE=ON -DKESTO_FUZZ=ON -DKESTO_BUILD_TESTS=ON -DKESTO_WERROR=ON >/dev/null
cmake --build "$build" -j2
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:exitcode=86:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=86:log_path=$reports/ubsan"
status=0
timeout 600 ctest --test-dir "$build" --output-on-failure --timeout 300 || status=$?
if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:"
  cat "$reports"/*
  status=1
fi
exit $status
