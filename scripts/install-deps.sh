#!/usr/bin/env bash
# Installs the Debian bookworm packages the project needs. Safe to run again: when every package is
# there already, nothing is asked of apt at all.
# Usage: scripts/install-deps.sh [--main]
#   (no argument)  everything for building and testing: the test command (scripts/run-tests.sh), the
#                  sanitizer and Clang builds, the armhf cross build and its tests under emulation
#   --main         only what building and running the programs and the simulator needs (the main job,
#                  scripts/run-main.sh): no test tools, no armhf architecture, no emulator
set -euo pipefail

# Building nmos-bridge, qelconnect, the memory tools and aes67fw-sim, and running them (libwebsockets-dev
# brings libwebsockets-evlib-uv, which libwebsockets loads at run time).
main_packages=(
  build-essential cmake ninja-build ccache pkg-config
  libwebsockets-dev libuv1-dev libcurl4-openssl-dev libavahi-client-dev libssl-dev libc-ares-dev
  nlohmann-json3-dev liburiparser-dev uuid-dev zlib1g-dev
  curl
)
test_packages=(
  clang-format libgtest-dev libgmock-dev
  avahi-daemon avahi-utils dbus iproute2 util-linux strace wrk python3 python3-jsonschema python3-aiohttp
  openssl python3-cryptography python3-jwt
  # Clang, and its sanitizer and libFuzzer runtimes (clang only recommends them)
  clang libclang-rt-14-dev
  # systemd-analyze, which scripts/check-package.sh verifies the package's units with (nothing is started)
  systemd
  # the armhf cross build (scripts/build-armhf.sh) and its tests under emulation
  crossbuild-essential-armhf qemu-user-static
  libuv1-dev:armhf libcurl4-openssl-dev:armhf libavahi-client-dev:armhf libc-ares-dev:armhf uuid-dev:armhf zlib1g-dev:armhf
  libgtest-dev:armhf libgmock-dev:armhf libstdc++6:armhf
  # libwebsockets-dev and liburiparser-dev cannot be installed for armhf beside the amd64 ones: the armhf
  # build takes their headers from the build machine and links these libraries (cmake/QelPkgModule.cmake);
  # libwebsockets.h includes OpenSSL's headers, one of which differs between architectures
  libwebsockets17:armhf liburiparser1:armhf libssl-dev:armhf
  # libwebsockets loads its libuv event loop support at run time from this package
  libwebsockets-evlib-uv:armhf
)

# The status page's browser test (tests/integration/test_status_page.py): Debian builds Chromium for
# amd64 (and arm64) only, so elsewhere the test skips itself.
if [ "$(dpkg --print-architecture)" = amd64 ]; then test_packages+=(chromium-headless-shell); fi

case "${1:-}" in
  "") packages=("${main_packages[@]}" "${test_packages[@]}") armhf=1 ;;
  --main) packages=("${main_packages[@]}") armhf=0 ;;
  *) sed -n '2,9p' "$0" >&2; exit 2 ;;
esac

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
if [ "$armhf" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
fi
# Nothing missing: no package lists to fetch.
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${packages[@]}"
