#!/usr/bin/env bash
# Runs one libFuzzer target for a while, in the Clang build build-fuzz/ (made or brought up to date
# first). What it learns stays in build-fuzz/fuzz/corpus/TARGET/ for the next run; an input that breaks
# the target is written to fuzz/regressions/TARGET/, where the test command replays it from then on.
# Usage: scripts/fuzz.sh --list                   the targets, one a line
#        scripts/fuzz.sh TARGET SECONDS [OPTION...] run TARGET for SECONDS (libFuzzer options follow,
#                                                   for example -jobs=2 -workers=2)
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '5,7p' "$0" >&2; exit 2; }
targets() { for f in fuzz/*.cpp; do basename "$f" .cpp; done; }

case "${1:-}" in
  --list) targets; exit 0 ;;
  "" | -*) usage ;;
esac
target=$1 seconds=${2:-}
shift 2 || usage
targets | grep -x "$target" >/dev/null || { echo "fuzz.sh: no target $target (see --list)" >&2; exit 2; }
[[ "$seconds" =~ ^[0-9]+$ ]] || usage

export CCACHE_DIR="${CCACHE_DIR:-$PWD/.cache/ccache}"
if [ ! -f build-fuzz/CMakeCache.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_FUZZ=ON \
    -DQEL_BUILD_TESTS=OFF
fi
cmake --build build-fuzz --target "fuzz_$target"

corpus=build-fuzz/fuzz/corpus/$target regressions=fuzz/regressions/$target
mkdir -p "$corpus" "$regressions"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/qel-fuzz-bus QEL_AVAHI_DAEMON_START=
export QEL_RESOLV_CONF=/nonexistent/qel-fuzz-resolv.conf
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "build-fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
  -dict="fuzz/$target.dict" -artifact_prefix="$regressions/" "$@" \
  "$corpus" "fuzz/corpus/$target" "$regressions"
