#!/usr/bin/env bash
# The test network: two network namespaces joined by a veth pair, for UDP tests between the
# update server and simulated devices on real sockets.
#
#   testnet.sh up NAME NDEV         make network NAME with NDEV device addresses (1..253)
#   testnet.sh down NAME            remove it (also when it is half made or gone already)
#   testnet.sh exec-server NAME CMD...   run CMD in the server's namespace
#   testnet.sh exec-dev NAME CMD...      run CMD in the devices' namespace
#   testnet.sh ns-server NAME       print the namespace file of the server side (for setns)
#   testnet.sh ns-dev NAME          print the namespace file of the device side
#
# exec-server and exec-dev become CMD (the same process id), so a test that starts one of them
# in the background ends it by that id.
#
# Layout of network NAME:
#   server namespace:  lo, qd-srv0 198.18.0.1/24, hardware address 02:51:44:00:00:01
#   device namespace:  lo, qd-dev0 198.18.0.2/24 ... 198.18.0.(NDEV+1)/24 (the first is the
#                      primary address), hardware address 02:51:44:00:00:02
# Neither side has a default route: a datagram to any address outside 198.18.0.0/24 and
# loopback cannot leave. A device reaches the server at 198.18.0.1 and by broadcast at
# 198.18.0.255 (or 255.255.255.255 from a socket bound to its device address); the server
# reaches a device at its address.
#
# Each namespace is held by a process ("unshare -n sleep TTL") whose id is kept in
# ${QD_TESTNET_STATE:-${TMPDIR:-/tmp}}/qd-testnet-NAME/. Nothing is made in the caller's own
# namespace and no namespace is mounted, so the same commands work as root and, without root,
# inside "unshare -rn" (a user namespace in which the caller is root). A namespace ends when
# its holder is ended by "down", or at the latest when the holder's pause of QD_TESTNET_TTL
# seconds (default 900) runs out, so a test that dies leaves nothing behind for long.
# A failed "up" removes whatever it had made.
set -euo pipefail

readonly SERVER_IF=qd-srv0
readonly DEVICE_IF=qd-dev0
readonly SERVER_MAC=02:51:44:00:00:01
readonly DEVICE_MAC=02:51:44:00:00:02
readonly SUBNET=198.18.0

die() {
  echo "testnet: $*" >&2
  exit 1
}

usage() {
  sed -n '4,10p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

state_dir() { echo "${QD_TESTNET_STATE:-${TMPDIR:-/tmp}}/qd-testnet-$1"; }

check_name() {
  [[ "$1" =~ ^[A-Za-z0-9_-]{1,32}$ ]] || die "bad network name '$1'"
}

# The namespace id ("net:[N]") of a process, or nothing when it is gone.
netns_of() { readlink "/proc/$1/ns/net" 2>/dev/null || true; }

# The holder of one side, when it is still the process that holds that side's namespace.
holder() {
  local dir side pid
  dir=$(state_dir "$1")
  side=$2
  [ -f "$dir/$side.pid" ] && [ -f "$dir/$side.ns" ] || return 1
  pid=$(<"$dir/$side.pid")
  [ -n "$pid" ] && [ "$(netns_of "$pid")" = "$(<"$dir/$side.ns")" ] || return 1
  echo "$pid"
}

# Starts the holder of one side and waits (at most 5 s) until it sits in a namespace of its own.
start_holder() {
  local dir=$1 side=$2 own pid ns
  own=$(netns_of $$)
  unshare -n sleep "${QD_TESTNET_TTL:-900}" </dev/null >/dev/null 2>&1 &
  pid=$!
  echo "$pid" >"$dir/$side.pid"
  for _ in $(seq 250); do
    kill -0 "$pid" 2>/dev/null || die "cannot make a network namespace (root, or unshare -rn, needed)"
    ns=$(netns_of "$pid")
    if [ -n "$ns" ] && [ "$ns" != "$own" ]; then
      echo "$ns" >"$dir/$side.ns"
      return 0
    fi
    sleep 0.02
  done
  kill "$pid" 2>/dev/null || true  # still our own child: the id is its
  die "the $side namespace did not appear"
}

in_side() {
  local pid=$1
  shift
  nsenter -t "$pid" -n -- "$@"
}

# Waits (at most 5 s) until a link carries traffic: until then the system drops what is sent.
wait_running() {
  local pid=$1 link=$2
  for _ in $(seq 250); do
    in_side "$pid" ip -o link show dev "$link" | grep -q ' state UP ' && return 0
    sleep 0.02
  done
  die "$link did not come up"
}

cmd_up() {
  [ $# -eq 2 ] || usage
  local name=$1 ndev=$2 dir srv dev n
  check_name "$name"
  if ! [[ "$ndev" =~ ^[0-9]{1,3}$ ]] || [ "$ndev" -lt 1 ] || [ "$ndev" -gt 253 ]; then
    die "the device count must be 1..253, not '$ndev'"
  fi
  dir=$(state_dir "$name")
  [ ! -e "$dir" ] || die "network '$name' is up already (or was not taken down): $dir"
  mkdir -p "$dir"
  # The name is checked above: it is safe inside the quotes, expanded now.
  # shellcheck disable=SC2064
  trap "cmd_down '$name' >/dev/null 2>&1" EXIT
  trap 'exit 1' INT TERM HUP
  start_holder "$dir" server
  start_holder "$dir" dev
  srv=$(<"$dir/server.pid")
  dev=$(<"$dir/dev.pid")
  in_side "$srv" ip link add name "$SERVER_IF" address "$SERVER_MAC" type veth \
    peer name "$DEVICE_IF" address "$DEVICE_MAC" netns "$dev"
  in_side "$srv" ip addr add "$SUBNET.1/24" brd + dev "$SERVER_IF"
  for n in $(seq 2 $((ndev + 1))); do
    in_side "$dev" ip addr add "$SUBNET.$n/24" brd + dev "$DEVICE_IF"
  done
  for pid in "$srv" "$dev"; do
    in_side "$pid" ip link set lo up
  done
  in_side "$srv" ip link set "$SERVER_IF" up
  in_side "$dev" ip link set "$DEVICE_IF" up
  wait_running "$srv" "$SERVER_IF"
  wait_running "$dev" "$DEVICE_IF"
  trap - EXIT INT TERM HUP
}

# Ends a holder and waits (at most 5 s) until its namespace is gone with it.
stop_holder() {
  local name=$1 side=$2 pid
  pid=$(holder "$name" "$side") || return 0
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 250); do
    holder "$name" "$side" >/dev/null || return 0
    sleep 0.02
  done
  kill -KILL "$pid" 2>/dev/null || true
}

cmd_down() {
  [ $# -eq 1 ] || usage
  local name=$1 dir srv
  check_name "$name"
  dir=$(state_dir "$name")
  [ -d "$dir" ] || return 0
  # The veth goes first, so that it is gone even if a process still sits in a namespace.
  if srv=$(holder "$name" server); then
    in_side "$srv" ip link del "$SERVER_IF" 2>/dev/null || true
  fi
  stop_holder "$name" server
  stop_holder "$name" dev
  rm -rf "$dir"
}

cmd_exec() {
  local side=$1 name=${2:-} pid
  [ $# -ge 3 ] || usage
  shift 2
  check_name "$name"
  pid=$(holder "$name" "$side") || die "network '$name' is not up"
  exec nsenter -t "$pid" -n -- "$@"
}

cmd_ns() {
  local side=$1 pid
  [ $# -eq 2 ] || usage
  check_name "$2"
  pid=$(holder "$2" "$side") || die "network '$2' is not up"
  echo "/proc/$pid/ns/net"
}

case "${1:-}" in
  up) shift; cmd_up "$@" ;;
  down) shift; cmd_down "$@" ;;
  exec-server) shift; cmd_exec server "$@" ;;
  exec-dev) shift; cmd_exec dev "$@" ;;
  ns-server) shift; cmd_ns server "$@" ;;
  ns-dev) shift; cmd_ns dev "$@" ;;
  *) usage ;;
esac
