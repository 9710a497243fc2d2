#!/usr/bin/env bash
# Installs a package that cpack made into a scratch root with dpkg --root (an empty package database, so
# the library packages it depends on are only reported) and checks what a device gets: the four programs
# in /usr/bin, built for the package's architecture, the dependencies that dpkg-shlibdeps cannot see, and
# memwrite starting from there (through RUNNER, an emulator, for another architecture); the systemd units
# of nmos-bridge and qelconnect (shown, checked by systemd-analyze verify against the scratch root, and
# enabled there by the package's postinst), their settings files in /etc/default as conffiles. Nothing
# is started: the maintainer scripts see DPKG_ROOT and leave this machine's systemd alone. The scratch root
# is removed afterwards.
# Usage: scripts/check-package.sh PACKAGE.deb [RUNNER...]
set -euo pipefail
[ $# -ge 1 ] || { sed -n '2,11p' "$0" >&2; exit 2; }
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

fail() { echo "$*" >&2; exit 1; }
# Run-time needs the programs do not link: the Avahi daemon and the system bus (nmos-bridge runs without
# them, discovery off), busybox (qelconnect reboots the device through it).
recommends=$(dpkg-deb -f "$deb" Recommends)
for package in avahi-daemon dbus busybox; do
  grep -qw -- "$package" <<<"$recommends" || fail "$deb does not recommend $package"
done
echo "Recommends: $recommends"

# The services: units, settings files kept as conffiles, maintainer scripts.
units=(nmos-bridge.service qelconnect.service)
conffiles=$(dpkg-deb -I "$deb" conffiles)
for program in nmos-bridge qelconnect; do
  unit="$root/lib/systemd/system/$program.service"
  defaults="$root/etc/default/$program"
  [ -f "$unit" ] || fail "$program.service missing from /lib/systemd/system"
  [ -f "$defaults" ] || fail "/etc/default/$program missing"
  grep -qx "/etc/default/$program" <<<"$conffiles" || fail "/etc/default/$program is not a conffile"
  grep -qx "EnvironmentFile=-/etc/default/$program" "$unit" || fail "$program.service does not read /etc/default/$program"
  variable=$(tr a-z- A-Z_ <<<"$program")_ARGS
  grep -qxF "ExecStart=/usr/bin/$program \$$variable" "$unit" || fail "$program.service does not start /usr/bin/$program \$$variable"
  grep -q "^$variable=" "$defaults" || fail "/etc/default/$program does not set $variable"
  # Enabled in the scratch root by postinst (deb-systemd-helper honours DPKG_ROOT).
  [ -L "$root/etc/systemd/system/multi-user.target.wants/$program.service" ] ||
    fail "postinst did not enable $program.service in the scratch root"
  echo "---- /lib/systemd/system/$program.service"
  grep -v '^#' "$unit" | grep -v '^$'
  echo "---- /etc/default/$program (settings)"
  grep -v '^#' "$defaults" | grep -v '^$'
done
for script in postinst prerm postrm; do
  dpkg-deb -I "$deb" "$script" >/dev/null || fail "$deb has no $script"
done
echo "conffiles: $(tr '\n' ' ' <<<"$conffiles")"
echo "enabled in the scratch root: $(cd "$root/etc/systemd/system/multi-user.target.wants" && echo *)"

# systemd-analyze verify against the scratch root: ExecStart must name a program there (an executable
# file; it is not run, so the armhf package's ARM programs are checked the same way). The targets and
# slices every service is ordered against come from this machine's systemd, copied into the scratch root.
# Unknown keys and bad values are only warnings to verify: any line it prints fails the check.
command -v systemd-analyze >/dev/null || fail "systemd-analyze missing (package systemd: scripts/install-deps.sh)"
for file in /lib/systemd/system/*.target /lib/systemd/system/*.slice; do
  [ -e "$root$file" ] || cp "$file" "$root$file"
done
if ! out=$(systemd-analyze --root="$root" verify "${units[@]}" 2>&1) || [ -n "$out" ]; then
  fail "systemd-analyze verify ${units[*]}:"$'\n'"$out"
fi
echo "systemd-analyze verify ${units[*]}: no complaint"

# Removal and purge in the scratch root: the scripts stop nothing here; remove keeps the settings files,
# purge takes them and the units' enabling away.
dpkg --root="$root" --force-script-chrootless -r qel-nmos 2>&1 | grep -v -e "not empty so not removed" -e "^(Reading" -e "^Removing" || true
[ ! -e "$root/lib/systemd/system/nmos-bridge.service" ] || fail "remove left nmos-bridge.service"
[ -f "$root/etc/default/nmos-bridge" ] || fail "remove took /etc/default/nmos-bridge"
dpkg --root="$root" --force-script-chrootless -P qel-nmos 2>&1 | grep -v -e "not empty so not removed" -e "^(Reading" -e "^Purging" || true
[ ! -e "$root/etc/default/nmos-bridge" ] || fail "purge left /etc/default/nmos-bridge"
left=$(find "$root/etc/systemd" -name '*.service' 2>/dev/null || true)
[ -z "$left" ] || fail "purge left $left"
echo "removed and purged in the scratch root: settings kept on remove, nothing left after purge"
