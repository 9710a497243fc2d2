#!/bin/bash
# A private DNS-SD network for the discovery tests: runs a command inside a network namespace of its own
# with an avahi-daemon and a D-Bus system bus that nothing else uses, and tears everything down after it,
# whatever its outcome. Needs root; without it, exits 77 (CTest's "skipped").
#
#   netns-env.sh run CMD...     make the network, run CMD in it, tear it down; exits with CMD's status
#   netns-env.sh start-daemon   (inside the network) start its avahi-daemon in the background; the
#                               bridge's daemon start command (QEL_AVAHI_DAEMON_START) points here
#
# The network: namespace qeldisc-<pid> with lo and a veth pair dsc0/dsc1 whose both ends stay in it;
# dsc0 holds 10.213.0.1/24 and is the only interface avahi-daemon uses (IPv4 only), so no mDNS packet
# can reach a real network. The daemon runs in a mount namespace of its own with a private /run, so its
# pid file clashes with no other daemon on the machine. CMD sees:
#   DBUS_SYSTEM_BUS_ADDRESS   the private bus (avahi-publish, avahi-browse and the bridge use it)
#   QEL_AVAHI_DAEMON_START    the command that starts the daemon again
#   QEL_DISC_IF, QEL_DISC_ADDR   the veth interface and its address
#   QEL_DISC_PEER             the other end of the veth pair (no address; tests write raw frames there)
#   QEL_DISC_STATE            folder with avahi.pid (the running daemon) and the logs
set -u

IFNAME=dsc0
PEER=dsc1
ADDR=10.213.0.1

alive() { # PID exists and is no zombie
  local st
  [ -n "${1:-}" ] && st=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) && [ "${st%% *}" != Z ]
}
stop_pid() { # TERM, up to 5 s, then KILL
  local i
  alive "$1" || return 0
  kill "$1" 2>/dev/null
  for ((i = 0; i < 50; i++)); do alive "$1" || return 0; sleep 0.1; done
  kill -9 "$1" 2>/dev/null
}

start_daemon() {
  local state=${QEL_DISC_STATE:?QEL_DISC_STATE not set: run inside netns-env.sh run}
  # unshare -m: a private mount namespace, in which a tmpfs hides the machine's /run.
  unshare -m sh -c "mount -t tmpfs tmpfs /run && mkdir /run/avahi-daemon && exec avahi-daemon \
      -f '$state/avahi-daemon.conf' --no-drop-root --no-chroot --no-rlimits --no-proc-title" \
    >> "$state/avahi.log" 2>&1 < /dev/null &
  echo $! > "$state/avahi.pid.new" && mv "$state/avahi.pid.new" "$state/avahi.pid"
}

wait_daemon() { # until the daemon answers RUNNING on the bus, at most 10 s
  local i st
  for ((i = 0; i < 200; i++)); do
    alive "$(cat "$STATE/avahi.pid")" || return 1
    st=$(dbus-send --system --print-reply=literal --dest=org.freedesktop.Avahi / \
      org.freedesktop.Avahi.Server.GetState 2>/dev/null)
    [ "${st##* }" = 2 ] && return 0
    sleep 0.05
  done
  return 1
}

teardown() {
  local pid
  trap - EXIT INT TERM
  [ -n "${CHILD:-}" ] && stop_pid "$CHILD"
  if ip netns list | grep -q "^$NS\b"; then
    for pid in $(ip netns pids "$NS"); do stop_pid "$pid"; done
    ip netns del "$NS"
  fi
  [ -n "${BUS_PID:-}" ] && stop_pid "$BUS_PID"
  if [ -n "${KEEP_LOGS:-}" ]; then
    echo "netns-env: logs kept in $STATE" >&2
  else
    rm -rf "$STATE"
  fi
}

fail() {
  echo "netns-env: $*" >&2
  [ -f "$STATE/avahi.log" ] && cat "$STATE/avahi.log" >&2
  exit 1
}

run() {
  if [ "$(id -u)" != 0 ]; then
    echo "netns-env: SKIP: the discovery tests need root (network and mount namespaces)" >&2
    exit 77
  fi
  for tool in ip unshare dbus-daemon dbus-send avahi-daemon avahi-publish avahi-browse; do
    command -v "$tool" > /dev/null || { echo "netns-env: SKIP: $tool is not installed" >&2; exit 77; }
  done
  NS=qeldisc-$$
  STATE=$(mktemp -d /tmp/qeldisc.XXXXXX)
  trap teardown EXIT
  trap 'exit 143' INT TERM

  ip netns add "$NS" || fail "ip netns add failed"
  ip -n "$NS" link set lo up
  ip netns exec "$NS" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  ip -n "$NS" link add "$IFNAME" type veth peer name "$PEER" || fail "veth failed"
  ip -n "$NS" addr add "$ADDR/24" dev "$IFNAME"
  ip -n "$NS" link set "$IFNAME" up
  ip -n "$NS" link set "$PEER" up

  cat > "$STATE/dbus.conf" << CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$STATE/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  cat > "$STATE/avahi-daemon.conf" << CONF
[server]
host-name=$NS
use-ipv4=yes
use-ipv6=no
allow-interfaces=$IFNAME
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-aaaa-on-ipv4=no
[reflector]
enable-reflector=no
[rlimits]
CONF
  BUS_PID=$(ip netns exec "$NS" dbus-daemon --config-file="$STATE/dbus.conf" --fork --print-pid) ||
    fail "dbus-daemon failed"
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$STATE/bus"
  # Unicast DNS-SD only where a test names its own DNS server and domain.
  export QEL_RESOLV_CONF=/nonexistent/qel-tests-resolv.conf
  export QEL_DISC_STATE=$STATE QEL_DISC_IF=$IFNAME QEL_DISC_PEER=$PEER QEL_DISC_ADDR=$ADDR
  export QEL_AVAHI_DAEMON_START="$(readlink -f "$0") start-daemon"
  ip netns exec "$NS" "$0" start-daemon
  wait_daemon || fail "avahi-daemon did not come up"

  ip netns exec "$NS" "$@" &
  CHILD=$!
  wait "$CHILD"
  local status=$?
  CHILD=
  return $status
}

case "${1:-}" in
run)
  shift
  run "$@"
  exit $?
  ;;
start-daemon) start_daemon ;;
*)
  sed -n '2,20p' "$0"
  exit 2
  ;;
esac
