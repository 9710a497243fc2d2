#!/usr/bin/env bash
# Installs a package that cpack made into a scratch root with dpkg --root (an empty package database, so
# the library packages it depends on are only reported) and checks what a device gets: the four programs
# in /usr/bin, built for the package's architecture, the dependencies that dpkg-shlibdeps cannot see, and
# memwrite starting from there (through RUNNER, an emulator, for another architecture). The scratch root is
# removed afterwards.
# Usage: scripts/check-package.sh PACKAGE.deb [RUNNER...]
set -euo pipefail
[ $# -ge 1 ] || { sed -n '2,7p' "$0" >&2; exit 2; }
deb=$(realpath "$1")
shift

root=$(mktemp -d /var/tmp/qel-deb.XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-architecture --force-script-chrootless -i "$deb" \
  2>&1 | grep -v '^ ' || true
dpkg --root="$root" -s qel-nmos | grep -qx 'Status: install ok installed'

arch=$(dpkg-deb -f "$deb" Architecture)
case "$arch" in
  armhf) machine=ARM ;;
  amd64) machine="Advanced Micro Devices X86-64" ;;
  *) echo "unknown package architecture $arch" >&2; exit 1 ;;
esac
for program in nmos-bridge qelconnect memwrite memdump; do
  file="$root/usr/bin/$program"
  [ -x "$file" ] || { echo "$program missing from $deb" >&2; exit 1; }
  got=$(readelf -h "$file" | sed -n 's/^ *Machine: *//p')
  [ "$got" = "$machine" ] || { echo "$program is built for $got, not $arch" >&2; exit 1; }
done
# nmos-bridge cannot create its contexts without the plugin package that libwebsockets loads at run time.
dpkg-deb -f "$deb" Depends | grep -qw libwebsockets-evlib-uv ||
  { echo "$deb does not depend on libwebsockets-evlib-uv" >&2; exit 1; }
# Without arguments memwrite refuses before it touches /dev/mem.
out=$("$@" "$root/usr/bin/memwrite" || true)
[ "$out" = "wrong argc count 1" ] || { echo "memwrite from the package answered: $out" >&2; exit 1; }
echo "$(basename "$deb"): nmos-bridge qelconnect memwrite memdump installed in /usr/bin ($arch)"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
