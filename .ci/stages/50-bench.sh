#!/usr/bin/env bash
# Benchmarks: builds them (warnings as errors) and runs each micro-benchmark
# once as a smoke test. No timing is judged here: speed is measured with
# bench/run.sh on a quiet machine. The equivalence tests of the fast
# keystream and decoder run with the other unit tests in the main command.
set -euo pipefail
cd "$(dirname "$0")/../.."

. .ci/install_missing.sh
[ -f /usr/include/benchmark/benchmark.h ] || install_missing libbenchmark-dev

cmake -S . -B build-bench -G Ninja -DKESTO_BUILD_BENCH=ON -DKESTO_WERROR=ON >/dev/null
cmake --build build-bench -j2
./build-bench/bench/kesto_micro_bench --benchmark_min_time=0 >/dev/null
bash -n bench/run.sh
