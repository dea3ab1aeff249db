#!/usr/bin/env bash
# The network lab: throwaway network namespaces with a router, two LAN hosts
# and a WAN host, with routerd (and on request upnpd) running in the router.
#
#   lab.sh [--name NAME] [--index N] [--bin DIR] [--backend sim|linux] up
#   lab.sh [--name NAME] down
#   lab.sh [--name NAME] status
#   lab.sh [--name NAME] exec router|lan1|lan2|wan CMD...
#   lab.sh [--name NAME] [--bin DIR] start-upnpd | stop-upnpd
#
# routerd starts upnpd on demand (a `program` statement): any request to the
# daemon's bus address, such as an upnpctl command, starts it when it is not
# running; its output goes to STATE/upnpd.log, its pid to STATE/upnpd.pid.
# start-upnpd starts it that way now (with a fresh log), stop-upnpd ends it.
#
# Namespaces NAME-router, NAME-lan1, NAME-lan2, NAME-wan (NAME defaults to
# "zlab"). In the router: bridge br-lan (10.77.N.1/24) with ports to lan1
# (10.77.N.10) and lan2 (10.77.N.11), and wan0 (203.0.113.(2N-1)/24) to the wan
# host (203.0.113.(2N)). N is --index (default 1); labs side by side should use
# different indexes so their addresses differ too. Every link is created inside
# the namespaces, so nothing of the machine's own network is touched.
# --backend linux runs routerd on the router namespace's kernel (addresses,
# links and NAT rules are real, in nftables table "ip routerd"); sim (the
# default) keeps them in routerd only.
#
# State lives in /tmp/zelo-lab-NAME: the platform root (ZELO_ROOT) of the lab,
# routerd's configuration, logs and pid files. `up` and `down` are idempotent.
# `exec` runs CMD in a node with the lab's ZELO_ROOT and the binaries of --bin
# first in PATH. Needs root.

set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
NAME=zlab
INDEX=""
BIN=""
BACKEND=sim
NODES=(router lan1 lan2 wan)

die() { echo "lab.sh: $*" >&2; exit 1; }

while [[ $# -gt 0 ]]; do
  case "$1" in
    --name) [[ $# -ge 2 ]] || die "--name needs a value"; NAME=$2; shift 2 ;;
    --index) [[ $# -ge 2 ]] || die "--index needs a value"; INDEX=$2; shift 2 ;;
    --bin) [[ $# -ge 2 ]] || die "--bin needs a value"; BIN=$2; shift 2 ;;
    --backend) [[ $# -ge 2 && "$2" =~ ^(sim|linux)$ ]] || die "--backend needs sim or linux"; BACKEND=$2; shift 2 ;;
    -h|--help) sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --*) die "unknown option $1" ;;
    *) break ;;
  esac
done
[[ $# -ge 1 ]] || die "usage: lab.sh [--name NAME] [--index N] [--bin DIR] up|down|status|exec NODE CMD...|start-upnpd|stop-upnpd"
COMMAND=$1; shift

[[ "$NAME" =~ ^[a-z0-9][a-z0-9-]{0,15}$ ]] || die "bad lab name '$NAME' (a-z, 0-9, '-', at most 16)"
[[ -z "$INDEX" || "$INDEX" =~ ^[1-9][0-9]{0,2}$ && "$INDEX" -le 120 ]] || die "--index must be 1..120"
[[ $(id -u) -eq 0 ]] || die "must run as root (network namespaces)"

STATE=/tmp/zelo-lab-$NAME
ROOT=$STATE/root

ns() { echo "$NAME-$1"; }
ns_exists() { ip netns list 2>/dev/null | awk '{print $1}' | grep -qx "$1"; }
in_ns() { local node=$1; shift; ip netns exec "$(ns "$node")" "$@"; }

# The binaries directory: --bin, else what `up` recorded, else the repo's build/.
bin_dir() {
  if [[ -n "$BIN" ]]; then echo "$BIN"
  elif [[ -f "$STATE/bin" ]]; then cat "$STATE/bin"
  else echo "$REPO/build"
  fi
}

# Is `pid` alive and inside namespace `nsname`? Guards against killing a
# process that reused a stale pid.
pid_in_ns() {
  local pid=$1 nsname=$2
  [[ -d /proc/$pid ]] || return 1
  [[ "$(ip netns identify "$pid" 2>/dev/null)" == "$nsname" ]]
}

# Stops the process of a pid file: TERM, up to 3 s, then KILL.
stop_pidfile() {
  local file=$1 pid
  [[ -f "$file" ]] || return 0
  pid=$(cat "$file")
  if [[ "$pid" =~ ^[0-9]+$ ]] && pid_in_ns "$pid" "$(ns router)"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 30); do [[ -d /proc/$pid ]] || break; sleep 0.1; done
    [[ -d /proc/$pid ]] && kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

# Starts `prog args...` in the router namespace in the background; its pid goes
# to STATE/<tag>.pid and its output to STATE/<tag>.log.
start_in_router() {
  local tag=$1; shift
  ip netns exec "$(ns router)" env ZELO_ROOT="$ROOT" \
    sh -c 'echo $$ > "$0"; exec "$@"' "$STATE/$tag.pid" "$@" \
    >"$STATE/$tag.log" 2>&1 </dev/null &
  for _ in $(seq 50); do [[ -s "$STATE/$tag.pid" ]] && break; sleep 0.02; done
}

addresses() {
  local n=${1:-1}
  LAN_NET=10.77.$n
  WAN_ROUTER=203.0.113.$((2 * n - 1))
  WAN_HOST=203.0.113.$((2 * n))
}

write_config() {
  local bin=$2
  cat >"$STATE/routerd.conf" <<EOF
# routerd configuration of lab $NAME (written by lab.sh)
identity LAB-$NAME-$1
os-version 7.4
interface name=lan kernel=br-lan token=2 running=yes
interface name=wan kernel=wan0 token=1 running=yes
address address=$LAN_NET.1/24 interface=lan
address address=$WAN_ROUTER/24 interface=wan
resolver name=wanhost address=$WAN_HOST
resolver name=lan1 address=$LAN_NET.10
resolver name=lan2 address=$LAN_NET.11
EOF
  if [[ -x "$bin/upnpd" ]]; then
    echo "program address=80 path=$bin/upnpd log=$STATE/upnpd.log pid-file=$STATE/upnpd.pid" >>"$STATE/routerd.conf"
  fi
}

make_network() {
  local r; r=$(ns router)
  for node in "${NODES[@]}"; do
    ip netns add "$(ns "$node")"
    ip -n "$(ns "$node")" link set lo up
  done
  ip -n "$r" link add br-lan type bridge
  # SSDP is multicast: without a querier, snooping would drop it after a while.
  ip -n "$r" link set br-lan type bridge mcast_snooping 0
  ip -n "$r" addr add "$LAN_NET.1/24" dev br-lan
  ip -n "$r" link set br-lan up
  local host=10
  for lan in lan1 lan2; do
    ip -n "$r" link add "$lan" type veth peer name eth0 netns "$(ns "$lan")"
    ip -n "$r" link set "$lan" master br-lan
    ip -n "$r" link set "$lan" up
    ip -n "$(ns "$lan")" addr add "$LAN_NET.$host/24" dev eth0
    ip -n "$(ns "$lan")" link set eth0 up
    ip -n "$(ns "$lan")" route add default via "$LAN_NET.1"
    host=$((host + 1))
  done
  ip -n "$r" link add wan0 type veth peer name eth0 netns "$(ns wan)"
  ip -n "$r" addr add "$WAN_ROUTER/24" dev wan0
  ip -n "$r" link set wan0 up
  ip -n "$(ns wan)" addr add "$WAN_HOST/24" dev eth0
  ip -n "$(ns wan)" link set eth0 up
  ip -n "$(ns wan)" route add default via "$WAN_ROUTER"
  ip netns exec "$r" sysctl -qw net.ipv4.ip_forward=1
}

cmd_up() {
  if [[ -f "$STATE/up" ]] && ns_exists "$(ns router)"; then
    echo "lab $NAME is already up"
    return 0
  fi
  cmd_down >/dev/null  # leftovers of a half-built lab
  local bin; bin=$(bin_dir)
  [[ -x "$bin/routerd" ]] || die "no routerd in $bin (build it, or give --bin DIR)"
  local n=${INDEX:-1}
  addresses "$n"
  mkdir -p "$ROOT/zelo/etc/upnp"
  echo "$n" >"$STATE/index"
  (cd "$bin" && pwd) >"$STATE/bin"
  if compgen -G "$REPO/etc/*" >/dev/null; then cp -r "$REPO"/etc/* "$ROOT/zelo/etc/upnp/"; fi
  make_network
  write_config "$n" "$(cat "$STATE/bin")"
  start_in_router routerd "$bin/routerd" --backend "$BACKEND" "$STATE/routerd.conf"
  local ready=""
  for _ in $(seq 50); do
    if in_ns router env ZELO_ROOT="$ROOT" "$bin/routerctl" identity print >/dev/null 2>&1; then ready=yes; break; fi
    sleep 0.1
  done
  if [[ -z "$ready" ]]; then
    cat "$STATE/routerd.log" >&2 || true
    die "routerd did not come up (log: $STATE/routerd.log); 'lab.sh --name $NAME down' cleans up"
  fi
  touch "$STATE/up"
  echo "lab $NAME is up (index $n, $BACKEND backend), ZELO_ROOT=$ROOT"
  echo "  router  $(ns router)  br-lan $LAN_NET.1/24, wan0 $WAN_ROUTER/24, routerd pid $(cat "$STATE/routerd.pid")"
  echo "  lan1    $(ns lan1)    eth0 $LAN_NET.10/24"
  echo "  lan2    $(ns lan2)    eth0 $LAN_NET.11/24"
  echo "  wan     $(ns wan)     eth0 $WAN_HOST/24"
}

cmd_down() {
  stop_pidfile "$STATE/upnpd.pid"
  stop_pidfile "$STATE/routerd.pid"
  for node in "${NODES[@]}"; do
    local nsname; nsname=$(ns "$node")
    ns_exists "$nsname" || continue
    # Whatever still runs in the lab (started with `exec`) goes with it.
    for pid in $(ip netns pids "$nsname" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
    ip netns del "$nsname"
  done
  rm -rf "$STATE"
  echo "lab $NAME is down"
}

cmd_status() {
  local up=yes
  for node in "${NODES[@]}"; do
    if ns_exists "$(ns "$node")"; then echo "namespace $(ns "$node"): present"; else echo "namespace $(ns "$node"): missing"; up=""; fi
  done
  for tag in routerd upnpd; do
    local file=$STATE/$tag.pid
    if [[ -f "$file" ]] && pid_in_ns "$(cat "$file")" "$(ns router)"; then
      echo "$tag: running, pid $(cat "$file"), log $STATE/$tag.log"
    else
      echo "$tag: not running"
      [[ $tag == routerd ]] && up=""
    fi
  done
  [[ -n "$up" ]]
}

cmd_exec() {
  [[ $# -ge 2 ]] || die "usage: lab.sh exec router|lan1|lan2|wan CMD..."
  local node=$1; shift
  [[ " ${NODES[*]} " == *" $node "* ]] || die "unknown node '$node' (router, lan1, lan2, wan)"
  ns_exists "$(ns "$node")" || die "lab $NAME is not up"
  local bin; bin=$(bin_dir)
  exec ip netns exec "$(ns "$node")" env ZELO_ROOT="$ROOT" PATH="$bin:$PATH" "$@"
}

cmd_start_upnpd() {
  ns_exists "$(ns router)" && [[ -f "$STATE/up" ]] || die "lab $NAME is not up"
  local bin; bin=$(bin_dir)
  [[ -x "$bin/upnpd" ]] || die "no upnpd in $bin (build it, or give --bin DIR)"
  if [[ -f "$STATE/upnpd.pid" ]] && pid_in_ns "$(cat "$STATE/upnpd.pid")" "$(ns router)"; then
    echo "upnpd is already running, pid $(cat "$STATE/upnpd.pid")"
    return 0
  fi
  rm -f "$STATE/upnpd.pid"
  if ! grep -q '^program address=80 ' "$STATE/routerd.conf"; then
    start_in_router upnpd "$bin/upnpd"
  else
    # Any request to the daemon's address makes routerd start it.
    : >"$STATE/upnpd.log"
    in_ns router env ZELO_ROOT="$ROOT" "$bin/upnpctl" print >/dev/null 2>&1 || true
    for _ in $(seq 50); do [[ -s "$STATE/upnpd.pid" ]] && break; sleep 0.02; done
    [[ -s "$STATE/upnpd.pid" ]] || die "routerd did not start upnpd (log: $STATE/routerd.log)"
  fi
  echo "upnpd started, pid $(cat "$STATE/upnpd.pid"), log $STATE/upnpd.log"
}

case "$COMMAND" in
  up) [[ $# -eq 0 ]] || die "up takes no arguments"; cmd_up ;;
  down) [[ $# -eq 0 ]] || die "down takes no arguments"; cmd_down ;;
  status) cmd_status ;;
  exec) cmd_exec "$@" ;;
  start-upnpd) cmd_start_upnpd ;;
  stop-upnpd) stop_pidfile "$STATE/upnpd.pid"; echo "upnpd stopped" ;;
  *) die "unknown command '$COMMAND'" ;;
esac
