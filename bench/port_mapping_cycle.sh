#!/usr/bin/env bash
# AddPortMapping + DeletePortMapping cycles per second through the whole stack
# (HTTP, daemon, bus, routerd, and for the linux backend the kernel), one
# client on lan1, with 0 and with 1,000 other mappings in place, for each
# routerd backend. Runs in a lab of its own; needs root.
#
#   bench/port_mapping_cycle.sh [BUILD-DIR] [CYCLES]     (defaults: build/, 200)
#
# Each figure is the best of three runs of CYCLES cycles: on a shared machine
# the others' load only ever makes a run slower.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=$(cd "${1:-$REPO/build}" && pwd)
CYCLES=${2:-200}
LAB="$REPO/scripts/lab.sh"
NAME=zb$$
N=$((40 + $$ % 10))
R=10.77.$N.1
[[ $(id -u) -eq 0 ]] || { echo "needs root (network namespaces)"; exit 1; }
[[ -x "$BIN/soap_cycle_client" ]] || { echo "build soap_cycle_client first"; exit 1; }
trap '"$LAB" --name "$NAME" down >/dev/null 2>&1' EXIT
on() { local node=$1; shift; "$LAB" --name "$NAME" exec "$node" "$@"; }

printf '%-8s %14s %14s %8s\n' backend "cycles/s at 0" "at 1,000" ratio
for backend in sim linux; do
  "$LAB" --name "$NAME" --index "$N" --bin "$BIN" --backend "$backend" up >/dev/null
  "$LAB" --name "$NAME" start-upnpd >/dev/null
  for _ in $(seq 200); do on router upnpctl set enabled=yes 2>/dev/null && break; sleep 0.05; done
  on router upnpctl interface add interface=wan type=external >/dev/null
  on router upnpctl interface add interface=lan type=internal >/dev/null
  ctl=""
  for _ in $(seq 50); do
    ctl=$(on lan1 curl -s "http://$R:2828/gateway.xml" | grep -o '<controlURL>[^<]*wanipconn[^<]*' | sed 's/<controlURL>//' || true)
    [[ -n "$ctl" ]] && break
    sleep 0.1
  done
  client() { on lan1 "$BIN/soap_cycle_client" "$R" "$ctl" 10.77.$N.10 "$@"; }
  best() { local b=0 r; for _ in 1 2 3; do r=$(client cycle 40000 "$CYCLES"); ((r > b)) && b=$r; done; echo "$b"; }
  sleep 1  # the external address arrives after the start
  client cycle 40000 20 >/dev/null  # warm-up
  at0=$(best)
  client fill 20000 1000
  at1000=$(best)
  if [[ $backend == linux ]]; then
    rules=$(on router nft list chain ip routerd prerouting | grep -c 'dnat to')
    [[ $rules == 1000 ]] || echo "warning: $rules kernel rules, expected 1000"
  fi
  printf '%-8s %14s %14s %7s%%\n' "$backend" "$at0" "$at1000" "$((100 * at1000 / at0))"
  "$LAB" --name "$NAME" down >/dev/null
done
