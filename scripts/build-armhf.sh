#!/usr/bin/env bash
# Cross-builds the four programs, the firmware simulator and (unless --no-tests) the tests for Debian armhf
# into build-armhf/, with Debian's cross toolchain and the armhf development packages that
# scripts/install-deps.sh installs. Nothing built here runs during the build: the tests run later, under
# qemu-user, through `ctest --test-dir build-armhf` (see scripts/run-tests.sh).
#
# Usage: scripts/build-armhf.sh [--no-tests] [--package]
#   --no-tests  programs only (no tests, no benchmarks)
#   --package   also make the Debian package build-armhf/qel-nmos_<version>_armhf.deb
set -euo pipefail
cd "$(dirname "$0")/.."

tests=ON
package=0
for arg in "$@"; do
  case "$arg" in
    --no-tests) tests=OFF ;;
    --package) package=1 ;;
    *) sed -n '2,10p' "$0" >&2; exit 2 ;;
  esac
done

export CCACHE_DIR="${CCACHE_DIR:-$PWD/.cache/ccache}"
cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf-toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_TESTS="$tests"
cmake --build build-armhf -j"$(nproc)"
if [ "$package" = 1 ]; then
  (cd build-armhf && cpack -G DEB)
fi
