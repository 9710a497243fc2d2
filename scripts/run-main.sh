#!/usr/bin/env bash
# Sets everything up on a fresh Debian bookworm machine, builds, and runs the main job: the firmware
# simulator and nmos-bridge on loopback, until interrupted (Ctrl-C).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"

SIM_PORT=${SIM_PORT:-8080}
NODE_PORT=${NODE_PORT:-9001}
pids=()
cleanup() { for p in "${pids[@]}"; do kill -INT "$p" 2>/dev/null || true; done; wait || true; }
trap cleanup EXIT INT TERM

if [ -x build/sim/aes67fw-sim ]; then
  build/sim/aes67fw-sim --listen "127.0.0.1:${SIM_PORT}" &
  pids+=($!)
fi
build/src/nmos-bridge /box "127.0.0.1:${SIM_PORT}" /port "${NODE_PORT}" &
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
