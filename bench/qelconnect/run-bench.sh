#!/usr/bin/env bash
# Measures upload and download throughput of a 4 MiB file over loopback, daemon inside the test sandbox.
# Usage: run-bench.sh [BUILD_DIR] [MiB]   (as root; BUILD_DIR defaults to ./build of the repository)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
exec "$root/tests/qelconnect/sandbox.sh" "$build/bench/qelconnect/qelconnect_bench" \
  "$build/qelconnect/qelconnect" "${2:-4}"
