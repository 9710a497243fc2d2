#!/usr/bin/env bash
# Builds everything twice (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer) and runs every
# test with CTest in both builds. Needs root for the tests that make their own network and mount namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
export CCACHE_DIR="${CCACHE_DIR:-$PWD/.cache/ccache}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --timeout 600

cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON
cmake --build build-san -j"$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-san --output-on-failure --timeout 900
