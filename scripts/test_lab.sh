#!/usr/bin/env bash
# The lab and the router's command-line tools:  test_lab.sh [BUILD-DIR]
# Brings a lab up and down twice and checks that nothing is left behind, that
# routerctl works inside it, and the tools' error paths.

set -uo pipefail
NAME=zt$$
INDEX=$((100 + $$ % 20))
# shellcheck source=scripts/lab_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lab_common.sh"
need routerd routerctl upnpctl

# expect STATUS STDERR-LINE CMD...: CMD exits with STATUS and writes exactly STDERR-LINE.
expect() {
  local status=$1 err=$2 rc=0; shift 2
  "$@" >/dev/null 2>"$SCRATCH/err" || rc=$?
  [[ $rc -eq $status && "$(<"$SCRATCH/err")" == "$err" ]] || fail "'$*' exited $rc with '$(<"$SCRATCH/err")', wanted $status with '$err'"
}

echo "== tool error paths without routerd"
export ZELO_ROOT=$SCRATCH/root
expect 1 "routerctl: routerd is not running" "$BIN/routerctl" interface print
expect 1 "upnpctl: cannot look up interface 'lan': routerd is not running" \
  "$BIN/upnpctl" interface add interface=lan type=internal
expect 2 "upnpctl: enabled must be yes or no (see upnpctl --help)" "$BIN/upnpctl" set enabled=maybe
printf 'interface name=lan kernel=lo\naddress address=10.1.1.1/40 interface=lan\n' >"$SCRATCH/bad.conf"
expect 1 "routerd: $SCRATCH/bad.conf: line 2: bad address '10.1.1.1/40'" "$BIN/routerd" "$SCRATCH/bad.conf"
unset ZELO_ROOT

for round in 1 2; do
  echo "== lab round $round"
  lab --index "$INDEX" up >"$SCRATCH/up.log" 2>&1 || { cat "$SCRATCH/up.log"; fail "lab up"; break; }
  pid=$(cat "/tmp/zelo-lab-$NAME/routerd.pid")

  brindex=$(ip -n "$NAME-router" -o link show br-lan | cut -d: -f1)
  row=$(on router routerctl interface print | awk '$2 == "lan" {print $3, $4, $5, $6, $7}')
  [[ "$row" == "br-lan $brindex 2 yes no" ]] || fail "lan row: '$row'"
  contains "$(on router routerctl address print)" "10.77.$INDEX.1/24" || fail "address print"
  on router routerctl interface set wan disabled=yes rx-bytes=4294967301 || fail "interface set"
  row=$(on router routerctl interface print | awk '$2 == "wan" {print $3, $7, $8}')
  [[ "$row" == "wan0 yes 4294967301" ]] || fail "wan row after set: '$row'"
  [[ -z "$(on router routerctl nat print --raw)" ]] || fail "nat print --raw of an empty table"
  expect 1 "routerctl: address in use" on router routerctl address add address=10.77.$INDEX.1/24 interface=lan
  expect 1 "routerd: already running for root '/tmp/zelo-lab-$NAME/root'" on router routerd

  lab down >/dev/null || fail "lab down"
  ip netns list | awk '{print $1}' | grep -q "^$NAME-" && fail "namespaces of $NAME left behind"
  [[ -e /tmp/zelo-lab-$NAME ]] && fail "/tmp/zelo-lab-$NAME left behind"
  [[ -d /proc/$pid ]] && fail "routerd pid $pid still running"
done
finish
