#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) and runs each for a bounded time from
# its committed seed corpus. Any finding (crash, sanitizer report, failed
# invariant, leak, timeout) fails the stage; the input that caused it is
# kept in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/install_missing.sh
seconds=${KESTO_FUZZ_SECONDS:-60}

need=()
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-14-dev)
install_missing "${need[@]}"

build=$PWD/build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DKESTO_FUZZ=ON -DKESTO_BUILD_TESTS=OFF \
  -DKESTO_WERROR=ON >/dev/null
cmake --build "$build" -j2
mkdir -p "$build/artifacts"
# libFuzzer ends the process without running exit handlers, so the targets'
# sandboxes are made in a directory removed here.
export KESTO_FUZZ_TMP=$(mktemp -d)
trap 'rm -rf "$KESTO_FUZZ_TMP"' EXIT
status=0
for target in fuzz_ar_reader fuzz_dl_copy fuzz_dl_decompress fuzz_lzss_decoder fuzz_lzss_encoder \
    fuzz_command_line; do
  # New inputs go to a scratch corpus; the committed seeds stay as they are.
  corpus=$(mktemp -d)
  cp fuzz/corpus/$target/* "$corpus/"
  echo "== $target for ${seconds}s"
  # Paths are absolute: the targets change their current directory.
  if ! timeout $((seconds + 120)) "$build/fuzz/$target" -max_total_time="$seconds" -timeout=20 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      "$corpus" >"$build/$target.log" 2>&1; then
    echo "$target: finding"
    tail -n 40 "$build/$target.log"
    status=1
  fi
  grep -E "^#[0-9]+.*DONE|number_of_executed_units" "$build/$target.log" || true
  rm -rf "$corpus"
done
exit $status
