#!/usr/bin/env bash
# Runs a command as the device would see it, without touching this machine: private PID, mount and network
# namespaces, a writable overlay of / entered with chroot, tmpfs over the daemon's fixed paths, a veth pair
# whose device end is "ext0", a test /etc/serial and harmless stand-ins for /bin/busybox and /etc/setip.
# The checkout this script belongs to and the folder of every absolute path among the command's words (also
# NAME=/path) stay visible, read-only, at their own paths where the overlay would hide them: under the paths
# the sandbox covers (a checkout under /tmp or /root) or on another file system than /.
# Usage: sandbox.sh COMMAND [ARGS...]   (as root). Everything is gone when the command ends.
set -euo pipefail
[ "$(id -u)" = 0 ] || { echo "sandbox.sh needs root" >&2; exit 77; }

covered=(config home/httpd ram root tmp)
hidden() {
  local dir=$1 d
  case $dir in /dev | /dev/* | /proc | /proc/* | /sys | /sys/*) return 1 ;; esac
  for d in "${covered[@]}"; do [[ $dir == "/$d" || $dir == "/$d"/* ]] && return 0; done
  [ "$(findmnt -n -o TARGET --target "$dir")" != / ]
}
wanted=("$(cd "$(dirname "$0")/../.." && pwd -P)")
for word in "$@"; do
  [[ $word =~ ^[A-Za-z_][A-Za-z0-9_]*=(/.*)$ ]] && word=${BASH_REMATCH[1]}
  [[ $word == /* && -e $word ]] || continue
  [ -d "$word" ] || word=$(dirname "$word")
  wanted+=("$(cd "$word" && pwd -P)")
done
# Outermost first (sorted), a folder inside one already shown is left out.
show=()
while read -r dir; do
  inside=0
  for s in "${show[@]}"; do [[ $dir == "$s" || $dir == "$s"/* ]] && inside=1; done
  [ $inside = 1 ] || ! hidden "$dir" || show+=("$dir")
done < <(printf "%s\n" "${wanted[@]}" | sort -u)

sbx=$(mktemp -d /var/tmp/qelsbx.XXXXXX)
trap 'umount -R "$sbx/m" 2>/dev/null || true; rm -rf "$sbx"' EXIT
mkdir -p "$sbx/u" "$sbx/w" "$sbx/m"

set +e
# The PID namespace ends every process the command leaves behind when its first process exits.
unshare --mount --net --pid --fork --propagation private bash -c '
  set -e
  sbx=$1; nshow=$2; shift 2
  show=("${@:1:$nshow}"); shift "$nshow"
  m=$sbx/m
  mount -t overlay overlay -o lowerdir=/,upperdir=$sbx/u,workdir=$sbx/w "$m"
  mount --rbind /dev "$m/dev"
  mount -t proc proc "$m/proc"
  mount --rbind /sys "$m/sys"
  for d in '"${covered[*]}"'; do mkdir -p "$m/$d"; mount -t tmpfs tmpfs "$m/$d"; done
  for dir in "${show[@]}"; do
    mkdir -p "$m$dir"
    mount --rbind "$dir" "$m$dir"
    mount -o remount,bind,ro "$m$dir"
  done
  mkdir -p "$m/var/qeltest"
  printf "serial1=12:34:56\nBaseBoard=3\n" > "$m/etc/serial"
  rm -f "$m/usr/bin/busybox" "$m/etc/setip"
  printf "#!/bin/sh\necho \"\$0 \$*\" >> /var/qeltest/busybox-calls\n" > "$m/usr/bin/busybox"
  printf "#!/bin/sh\necho setip >> /var/qeltest/setip-calls\n" > "$m/etc/setip"
  chmod +x "$m/usr/bin/busybox" "$m/etc/setip"
  exec chroot "$m" /bin/bash -c "
    set -e
    ip link set lo up
    ip link add ext0 type veth peer name ext0p
    ip addr add 10.77.0.1/24 dev ext0
    ip addr add 10.77.0.2/24 dev ext0p
    ip link set ext0 up
    ip link set ext0p up
    sysctl -qw net.ipv4.conf.all.accept_local=1 net.ipv4.conf.ext0.accept_local=1 net.ipv4.conf.ext0p.accept_local=1
    cd /
    exec \"\$@\"
  " _ "$@"
' _ "$sbx" "${#show[@]}" "${show[@]}" "$@"
rc=$?
set -e
exit $rc
