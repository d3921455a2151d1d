#!/usr/bin/env bash
# Builds kesto and its tests (GoogleTest: Debian package libgtest-dev) in
# build/ and runs every test, the README's Linux examples included. Extra
# CMake options can be passed in CMAKE_FLAGS.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DKESTO_BUILD_TESTS=ON ${CMAKE_FLAGS:-} >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure
