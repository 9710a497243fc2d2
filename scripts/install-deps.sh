#!/usr/bin/env bash
# Installs the Debian bookworm packages that building and testing the project need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config clang-format
  libwebsockets-dev libuv1-dev libcurl4-openssl-dev libavahi-client-dev
  nlohmann-json3-dev liburiparser-dev uuid-dev zlib1g-dev libgtest-dev libgmock-dev
  avahi-daemon avahi-utils dbus iproute2 util-linux curl wrk python3 python3-jsonschema python3-aiohttp
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${packages[@]}"
