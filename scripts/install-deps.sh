#!/usr/bin/env bash
# Installs the Debian bookworm packages that building and testing the project need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config clang-format
  libwebsockets-dev libuv1-dev libcurl4-openssl-dev libavahi-client-dev
  nlohmann-json3-dev liburiparser-dev uuid-dev zlib1g-dev libgtest-dev libgmock-dev
  avahi-daemon avahi-utils dbus iproute2 util-linux curl wrk python3 python3-jsonschema python3-aiohttp
  clang
  # the armhf cross build (scripts/build-armhf.sh) and its tests under emulation
  crossbuild-essential-armhf qemu-user-static
  libuv1-dev:armhf libcurl4-openssl-dev:armhf libavahi-client-dev:armhf uuid-dev:armhf zlib1g-dev:armhf
  libgtest-dev:armhf libgmock-dev:armhf libstdc++6:armhf
  # libwebsockets-dev and liburiparser-dev cannot be installed for armhf beside the amd64 ones: the armhf
  # build takes their headers from the build machine and links these libraries (cmake/QelPkgModule.cmake);
  # libwebsockets.h includes OpenSSL's headers, one of which differs between architectures
  libwebsockets17:armhf liburiparser1:armhf libssl-dev:armhf
  # libwebsockets loads its libuv event loop support at run time from this package
  libwebsockets-evlib-uv:armhf
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${packages[@]}"
