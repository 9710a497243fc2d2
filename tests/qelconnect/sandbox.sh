#!/usr/bin/env bash
# Runs a command as the device would see it, without touching this machine: private PID, mount and network
# namespaces, a writable overlay of / entered with chroot, tmpfs over the daemon's fixed paths, a veth pair
# whose device end is "ext0", a test /etc/serial and harmless stand-ins for /bin/busybox and /etc/setip.
# Usage: sandbox.sh COMMAND [ARGS...]   (as root). Everything is gone when the command ends.
set -euo pipefail
[ "$(id -u)" = 0 ] || { echo "sandbox.sh needs root" >&2; exit 77; }

sbx=$(mktemp -d /var/tmp/qelsbx.XXXXXX)
trap 'umount -R "$sbx/m" 2>/dev/null || true; rm -rf "$sbx"' EXIT
mkdir -p "$sbx/u" "$sbx/w" "$sbx/m"

set +e
# The PID namespace ends every process the command leaves behind when its first process exits.
unshare --mount --net --pid --fork --propagation private bash -c '
  set -e
  sbx=$1; shift
  m=$sbx/m
  mount -t overlay overlay -o lowerdir=/,upperdir=$sbx/u,workdir=$sbx/w "$m"
  mount --rbind /dev "$m/dev"
  mount -t proc proc "$m/proc"
  mount --rbind /sys "$m/sys"
  for d in config home/httpd ram root tmp; do mkdir -p "$m/$d"; mount -t tmpfs tmpfs "$m/$d"; done
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
' _ "$sbx" "$@"
rc=$?
set -e
exit $rc
