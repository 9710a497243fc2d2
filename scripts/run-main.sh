#!/usr/bin/env bash
# Sets up a fresh Debian bookworm machine for the main job, builds the two programs it runs, and runs it:
# the firmware simulator and nmos-bridge on loopback, until interrupted (Ctrl-C). Only what the programs
# need is installed and built (scripts/run-tests.sh does the rest).
#
# Everything stays on this machine: the simulator reports its loopback address as the device's, so the
# node advertises it and fetches its transport files there, and the bridge gets no system bus, so it
# never asks the machine's Avahi daemon to advertise it on a network (its log says once that discovery
# is off).
#
# Usage: scripts/run-main.sh [--no-setup]
#   --no-setup  neither install nor build: run what QEL_BUILD_DIR (default build-main) holds
# Environment: SIM_PORT (8080), NODE_PORT (9001), QEL_BUILD_DIR (build-main).
set -euo pipefail
cd "$(dirname "$0")/.."

setup=1
case "${1:-}" in
  "") ;;
  --no-setup) setup=0 ;;
  *) sed -n '11,13p' "$0" >&2; exit 2 ;;
esac
build=${QEL_BUILD_DIR:-build-main}

if [ "$setup" = 1 ]; then
  ./scripts/install-deps.sh --main
  export CCACHE_DIR="${CCACHE_DIR:-$PWD/.cache/ccache}"
  # A new build folder leaves the tests out (they need packages the main job does not install) and is
  # optimised as the test builds are (-O2) but without debug information, which costs a third of the build
  # time; one that exists keeps its configuration. build-main/ is the main job's own, so the test builds
  # (build/ and the others) are never configured back and forth.
  options=()
  [ -f "$build/CMakeCache.txt" ] || options=(-DQEL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG")
  cmake -S . -B "$build" -G Ninja "${options[@]}"
  cmake --build "$build" -j"$(nproc)" --target nmos-bridge aes67fw-sim
fi

SIM_PORT=${SIM_PORT:-8080}
NODE_PORT=${NODE_PORT:-9001}
pids=()
# The bridge ends first (it deregisters and closes its firmware connection), then the simulator.
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -INT "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'cleanup; exit 0' INT TERM

"$build/sim/aes67fw-sim" --listen "127.0.0.1:${SIM_PORT}" &
pids+=($!)
DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/qel-demo-no-bus QEL_AVAHI_DAEMON_START= \
  QEL_RESOLV_CONF=/nonexistent/qel-demo-resolv.conf \
  "$build/src/nmos-bridge" /box "127.0.0.1:${SIM_PORT}" /port "${NODE_PORT}" &
pids+=($!)

sleep 2
cat <<TXT
The node runs on http://127.0.0.1:${NODE_PORT}/ (firmware simulator on 127.0.0.1:${SIM_PORT}). Try:
  curl http://127.0.0.1:${NODE_PORT}/x-nmos/node/v1.2/self
  curl http://127.0.0.1:${NODE_PORT}/x-nmos/node/v1.2/senders
  curl http://127.0.0.1:${NODE_PORT}/x-nmos/connection/v1.0/single/receivers
  curl http://127.0.0.1:${NODE_PORT}/stats
Ctrl-C stops both.
TXT
wait
