#!/usr/bin/env bash
# Builds kesto and its tests in build/ and runs every test. Extra CMake
# options can be passed in CMAKE_FLAGS.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja ${CMAKE_FLAGS:-} >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure
