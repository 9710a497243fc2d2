#!/usr/bin/env bash
# Runs AMWA's conformance tool against the node, through the offline harness (run-suites.sh in
# HARNESS_DIR), in private network namespaces. Run as root, after building (build/src/nmos-bridge and
# build/sim/aes67fw-sim, or NODE_BIN and SIM_BIN).
#
# Usage: scripts/conformance.sh [--secure] [--unicast] HARNESS_DIR OUT_DIR
#   default    IS-04-01 (v1.3, v1.2, v1.0), IS-05-01 (v1.1, v1.0), IS-05-02 (v1.3+v1.1, then v1.2+v1.0
#              in a run of its own), plain HTTP; SUITES="IS-09-02:v1.0" runs IS-09-02 (System API
#              discovery) in a run of its own
#   --secure   the same suites with the tool's HTTPS and authorization switches on, and BCP-003-01: the
#              node serves TLS with an RSA and an ECDSA certificate made here from the tool's test CA for
#              the node's test address, checks its peers against that CA and protects its Node and
#              Connection APIs (the harness sees that the node is up by reading its senders without a
#              token; a curl of this script's takes the node's Bearer challenge there as the sign)
#   --unicast  the tool advertises its registries by unicast DNS-SD (its DNS server on port 53 of the
#              tester's address, domain testsuite.nmos.tv), and the node browses there only
# The tool's JSON and the logs go to OUT_DIR/<run>/; OUT_DIR/summary.txt holds the counts of every run.
# Environment: NMOS_TESTING (/var/tmp/nmos-testing; made with HARNESS_DIR/setup.sh when missing), SUITES
# (instead of the default ones), SUBNET (10.231.0, as the harness), NODE_BIN, SIM_BIN, and whatever
# run-suites.sh reads (SELECTION, PROBE_CMD, ...).
set -euo pipefail

secure=0 unicast=0
while [ $# -gt 0 ]; do
  case "$1" in
    --secure) secure=1; shift ;;
    --unicast) unicast=1; shift ;;
    *) break ;;
  esac
done
[ $# = 2 ] || { sed -n '2,20p' "$0" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "conformance.sh must run as root" >&2; exit 1; }
harness=$(readlink -f "$1")
mkdir -p "$2"
out=$(readlink -f "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
node_bin=${NODE_BIN:-$root/build/src/nmos-bridge}
sim_bin=${SIM_BIN:-$root/build/sim/aes67fw-sim}
[ -x "$harness/run-suites.sh" ] || { echo "no run-suites.sh in $harness" >&2; exit 1; }
[ -x "$node_bin" ] && [ -x "$sim_bin" ] || { echo "build the node and the simulator first" >&2; exit 1; }
export NMOS_TESTING=${NMOS_TESTING:-/var/tmp/nmos-testing}
[ -f "$NMOS_TESTING/nmostesting/UserConfig.py" ] || "$harness/setup.sh" "$NMOS_TESTING"
subnet=${SUBNET:-10.231.0}
node_ip=$subnet.1
# The node never reads this machine's resolver configuration: unicast DNS-SD only with --unicast, at the
# tool's own DNS server inside the test network.
export QEL_RESOLV_CONF=/nonexistent/qel-conformance-resolv.conf
if [ $unicast = 1 ]; then
  export AMWA_DNS_SD_MODE=unicast
  export NODE_ARGS="/dns-sd unicast /dns-server $subnet.2 /dns-sd-domain testsuite.nmos.tv ${NODE_ARGS:-}"
fi
# The host name the node's namespace has on the test network (its Avahi daemon's).
node_name=${NETNS_PREFIX:-amwa}-node.local
# The tool's own (non-Debian) packages are found by the harness; Debian's python3 is the one it needs.
export PATH=/usr/bin:/usr/sbin:/bin:/sbin
export SIM_ON=${SIM_ON:-ext0}
# The harness waits for this many senders; the readiness curl below answers as many.
export STREAMS=${STREAMS:-8}
# The senders announce themselves with LLDP frames on the tester's side, as a switch port would.
export PROBE_CMD=${PROBE_CMD:-"$root/scripts/lldp-announce.py tst0 --ttl 65535 && sleep 2"}

# A certificate chain and key of each type for the node's host name and address (the tool asks by address),
# signed by the tool's intermediate CA, naming the CA's revocation list and responder as the tool's own do.
make_certificates() {
  local ca=$NMOS_TESTING/test_data/BCP00301/ca dir=$out/certs
  mkdir -p "$dir"
  chmod 700 "$dir"
  cat > "$dir/server.ext" <<EOF
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer:always
subjectAltName = DNS:$node_name, IP:$node_ip
crlDistributionPoints = URI:http://crl.testsuite.nmos.tv:5007/intermediate.crl.pem
authorityInfoAccess = OCSP;URI:http://ocsp.testsuite.nmos.tv:5008
EOF
  openssl genrsa -out "$dir/rsa.key.pem" 2048 2> /dev/null
  openssl ecparam -name prime256v1 -genkey -noout -out "$dir/ecdsa.key.pem"
  for kind in rsa ecdsa; do
    openssl req -new -key "$dir/$kind.key.pem" -subj "/O=NMOS Testing Ltd/CN=$node_name" -out "$dir/$kind.csr.pem"
    openssl x509 -req -in "$dir/$kind.csr.pem" -CA "$ca/intermediate/certs/intermediate.cert.pem" \
      -CAkey "$ca/intermediate/private/intermediate.key.pem" -CAcreateserial -CAserial "$dir/serial" \
      -days 30 -sha256 -extfile "$dir/server.ext" -out "$dir/$kind.cert.pem" 2> /dev/null
    cat "$dir/$kind.cert.pem" "$ca/intermediate/certs/intermediate.cert.pem" > "$dir/$kind.chain.pem"
  done
  cp "$ca/certs/ca.cert.pem" "$dir/ca.cert.pem"
  # The tool runs testssl.sh from its own folder; Debian's package provides it.
  if [ ! -e "$NMOS_TESTING/testssl/testssl.sh" ]; then
    printf '#!/bin/bash\nexec /usr/bin/testssl "$@"\n' > "$NMOS_TESTING/testssl/testssl.sh"
    chmod +x "$NMOS_TESTING/testssl/testssl.sh"
  fi
}

# The harness asks for the node's senders without a token before it starts the tool (whose authorization
# server issues the tokens), and waits for the list. Behind authorization the node refuses that with a
# Bearer challenge once its APIs serve: for that one request, a curl first on PATH answers the list of
# STREAMS senders the harness waits for. Every other use of curl is the real one.
readiness_curl() {
  mkdir -p "$out/bin"
  cat > "$out/bin/curl" <<'EOF'
#!/bin/bash
url=${*: -1}
case $url in
  https://*/x-nmos/node/v1.2/senders) ;;
  *) exec /usr/bin/curl "$@" ;;
esac
head=$(/usr/bin/curl "${@:1:$#-1}" -o /dev/null -D - "$url") || exit
code=$(sed -n '1s/^HTTP\/[0-9.]* \([0-9]*\).*/\1/p' <<< "$head")
if [ "$code" = 401 ] && grep -qi '^www-authenticate: *Bearer' <<< "$head"; then
  /usr/bin/python3 -c 'import json, sys; print(json.dumps([{}] * int(sys.argv[1])))' "${STREAMS:-8}"
else
  exec /usr/bin/curl "$@"
fi
EOF
  chmod +x "$out/bin/curl"
  export PATH=$out/bin:$PATH
}

run() { # NAME SUITES
  local name=$1
  echo "== $name: $2"
  SUITES=$2 "$harness/run-suites.sh" "$node_bin" "$sim_bin" "$out/$name" > "$out/$name.log" 2>&1 || true
  { echo "== $name"; cat "$out/$name/summary.txt" 2> /dev/null || echo "(no summary: see $name.log)"; } \
    >> "$out/summary.txt"
}

: > "$out/summary.txt"
if [ $secure = 1 ]; then
  make_certificates
  c=$out/certs
  export AMWA_ENABLE_HTTPS=1 AMWA_ENABLE_AUTH=1 NODE_SCHEME=https
  export NODE_ARGS="/tls-cert $c/rsa.chain.pem /tls-key $c/rsa.key.pem /tls-cert $c/ecdsa.chain.pem \
/tls-key $c/ecdsa.key.pem /tls-ca $c/ca.cert.pem /auth node,connection ${NODE_ARGS:-}"
  readiness_curl
fi
# IS-09-02 (System API discovery) names two endpoints on the tool's command line, the node's address and
# the System API's version, which run-suites.sh does not pass: the harness brings the node up and keeps it
# up (KEEP_UP, released through a FIFO) while the tool runs here in the harness's test namespace.
run_system() { # NAME VERSION
  local name=$1 version=$2 dir=$out/$1 fifo=$out/$1.keep pid i up=0
  mkdir -p "$dir"
  rm -f "$fifo"
  mkfifo "$fifo"
  exec 9<> "$fifo" # read-write: never blocks, and holds the FIFO open for the harness's read
  echo "== $name: IS-09-02:$version"
  SUITES=none KEEP_UP=1 "$harness/run-suites.sh" "$node_bin" "$sim_bin" "$dir" < "$fifo" > "$out/$name.log" 2>&1 &
  pid=$!
  for ((i = 0; i < 1200; i++)); do
    grep -q '^KEEP_UP:' "$out/$name.log" && { up=1; break; }
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.5
  done
  if [ $up = 1 ]; then
    (cd "$NMOS_TESTING" && exec ip netns exec "${NETNS_PREFIX:-amwa}-test" env \
      PYTHONPATH="$NMOS_TESTING/pydeps" AMWA_PORT_BASE="${PORT_BASE:-5800}" AMWA_BIND_INTERFACE=tst0 \
      AMWA_UNICAST_TARGET="$subnet.2" AMWA_MULTICAST_TARGET=233.252.0.1 \
      timeout -k 10 "${SUITE_TIMEOUT:-1800}" /usr/bin/python3 nmos-test.py suite IS-09-02 \
      --selection "${SELECTION:-all}" --host "$node_ip" null --port 0 0 --version null "$version" \
      --output "$dir/IS-09-02-$version.json") > "$dir/IS-09-02-$version.log" 2>&1 < /dev/null || true
  fi
  echo >&9 # tears the harness down
  wait "$pid" || true
  exec 9>&-
  rm -f "$fifo"
  { echo "== $name"
    if [ -s "$dir/IS-09-02-$version.json" ]; then
      /usr/bin/python3 "$harness/summarize.py" "$dir/IS-09-02-$version.json" | tee "$dir/summary.txt"
    else
      echo "(no results: see $name.log)"
    fi; } >> "$out/summary.txt"
}

if [ -n "${SUITES:-}" ]; then
  others=
  systems=
  for s in $SUITES; do
    case $s in
      IS-09-02:*) systems="$systems ${s#*:}" ;;
      *) others="$others $s" ;;
    esac
  done
  [ -z "$others" ] || run custom "${others# }"
  for v in $systems; do run_system "system-$v" "$v"; done
else
  extra=
  [ $secure = 1 ] && extra=" BCP-003-01:v1.0"
  run current "IS-04-01:v1.3 IS-05-01:v1.1 IS-05-02:v1.3,v1.1$extra"
  run older "IS-04-01:v1.2 IS-04-01:v1.0 IS-05-01:v1.0"
  # Alone: after other suites in the same run, the tool's IS-05-02 at v1.2+v1.0 can find state they left.
  run older-interaction "IS-05-02:v1.2,v1.0"
fi
cat "$out/summary.txt"
