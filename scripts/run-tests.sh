#!/usr/bin/env bash
# Builds everything and runs the tests with CTest: every test in a plain build and in one with
# AddressSanitizer + UndefinedBehaviorSanitizer; the bridge's integration tests in a ThreadSanitizer build
# made with Clang (so Clang's warnings, as errors, are checked too); every libFuzzer target for a fixed
# number of inputs in a Clang build with coverage guidance; every test again in the armhf cross
# build, under qemu-user; the Debian package of each architecture is installed into a scratch root. The
# time of each step is printed before the last one. Needs root for the tests that make their own network
# and mount namespaces.
# Usage: scripts/run-tests.sh [--quick]
#   --quick  the developer's lane: the plain build only, every unit and integration test in it, several
#            at a time, with the daemon's soak test shortened to 10 s (under 3 minutes of tests on two cores)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *) sed -n '8,10p' "$0" >&2; exit 2 ;;
esac

times=()
step_start=$SECONDS
step_done() {
  times+=("$(printf '%-32s %5d s' "$1" $((SECONDS - step_start)))")
  step_start=$SECONDS
}

./scripts/install-deps.sh
step_done "install-deps"

jobs=$(nproc)
export CCACHE_DIR="${CCACHE_DIR:-$PWD/.cache/ccache}"

# The tests are asked for explicitly: the main job (scripts/run-main.sh) may have made `build` without them.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_TESTS=ON
cmake --build build -j"$jobs"
step_done "build"
if [ "$quick" = 1 ]; then
  # The tests wait on peers and timers far more than they compute: two per core keep both cores busy.
  QEL_SOAK_SECONDS=10 ctest --test-dir build --output-on-failure --timeout 600 -j"$((jobs * 2))"
  step_done "tests"
  printf '%s\n' "Time of each step:" "${times[@]}"
  exit 0
fi
# One at a time here: the timing every test meets alone is what the full run checks.
ctest --test-dir build --output-on-failure --timeout 600
step_done "tests"

cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON -DQEL_BUILD_TESTS=ON
cmake --build build-san -j"$jobs"
step_done "build-san"
# Like ThreadSanitizer's below, a report of a program that a test only stops (and whose exit status it
# does not read) would pass unseen: every report goes to build-san/reports/ and any report fails the run.
rm -rf build-san/reports
mkdir -p build-san/reports
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:log_path=$PWD/build-san/reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$PWD/build-san/reports/ubsan"
ctest --test-dir build-san --output-on-failure --timeout 900
if compgen -G "build-san/reports/*" > /dev/null; then
  cat build-san/reports/*
  echo "AddressSanitizer or UndefinedBehaviorSanitizer reported the faults above" >&2
  exit 1
fi
unset ASAN_OPTIONS UBSAN_OPTIONS
step_done "tests in build-san"

# A ThreadSanitizer report does not always change a test's outcome (the bridge may be killed before it
# exits with TSan's status): every report is written to build-tsan/tsan/ and any report fails the run.
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_TSAN=ON -DQEL_BUILD_TESTS=ON
cmake --build build-tsan -j"$jobs"
step_done "build-tsan (Clang)"
rm -rf build-tsan/tsan
mkdir -p build-tsan/tsan
TSAN_OPTIONS="log_path=$PWD/build-tsan/tsan/report second_deadlock_stack=1" \
  ctest --test-dir build-tsan -L integration --output-on-failure --timeout 900
if compgen -G "build-tsan/tsan/report*" > /dev/null; then
  cat build-tsan/tsan/report*
  echo "ThreadSanitizer reported the races above" >&2
  exit 1
fi
step_done "integration tests in build-tsan"

# Every parser of what the programs take from the network or the firmware, under libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer: each target replays its seeds and the inputs that once
# broke it (fuzz/regressions/), then tries a fixed number of new inputs from a fixed seed. An input that
# fails is written to fuzz/regressions/TARGET/ and named in the log (scripts/fuzz.sh runs one for longer).
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_FUZZ=ON -DQEL_BUILD_TESTS=OFF
cmake --build build-fuzz --target fuzzers -j"$jobs"
step_done "build-fuzz (Clang, libFuzzer)"
ctest --test-dir build-fuzz -L fuzz --output-on-failure --timeout 600
step_done "fuzz targets"

# The device's build: cross-built for armhf, every test run through qemu-arm-static (no binfmt handler).
./scripts/build-armhf.sh --package
step_done "build-armhf and its package"

(cd build && cpack -G DEB)
./scripts/check-package.sh build/qel-nmos_*_"$(dpkg --print-architecture)".deb
./scripts/check-package.sh build-armhf/qel-nmos_*_armhf.deb qemu-arm-static -L /
step_done "packages"

printf '%s\n' "Time of each step:" "${times[@]}" "then the tests in build-armhf, under qemu-arm:"
ctest --test-dir build-armhf --output-on-failure --timeout 900
