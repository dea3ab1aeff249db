#!/usr/bin/env bash
# Script test of the lab and the router's command-line tools:
#   test_lab.sh [BUILD-DIR]     (default: the repo's build/)
# Brings a lab up and down twice and checks that nothing is left behind, that
# routerctl works inside it, and the tools' error paths. Needs root; exits 77
# (skipped) without it.

set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=$(cd "${1:-$REPO/build}" && pwd)
LAB="$REPO/scripts/lab.sh"
NAME=zt$$
INDEX=$((100 + $$ % 20))
FAILURES=0

if [[ $(id -u) -ne 0 ]]; then
  echo "test_lab: skipped (needs root)"
  exit 77
fi
for tool in routerd routerctl upnpctl; do
  [[ -x "$BIN/$tool" ]] || { echo "test_lab: no $tool in $BIN"; exit 1; }
done

SCRATCH=$(mktemp -d /tmp/test-lab.XXXXXX)
cleanup() {
  "$LAB" --name "$NAME" down >/dev/null 2>&1
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  FAILURES=$((FAILURES + 1))
}

# expect STATUS STDERR-LINE CMD...: runs CMD, compares exit status and stderr exactly.
expect() {
  local status=$1 err=$2; shift 2
  local out rc
  out=$("$@" 2>"$SCRATCH/err")
  rc=$?
  [[ $rc -eq $status ]] || fail "'$*' exited $rc, wanted $status"
  [[ "$(cat "$SCRATCH/err")" == "$err" ]] || fail "'$*' wrote '$(cat "$SCRATCH/err")', wanted '$err'"
  [[ $status -eq 0 || -z "$out" ]] || fail "'$*' wrote to stdout on failure: $out"
}

# contains TEXT CMD...: CMD succeeds and its output contains TEXT.
contains() {
  local text=$1; shift
  local out
  out=$("$@" 2>&1) || fail "'$*' failed: $out"
  [[ "$out" == *"$text"* ]] || fail "'$*' output lacks '$text':"$'\n'"$out"
}

leftovers() {
  ip netns list | awk '{print $1}' | grep -q "^$NAME-" && fail "namespaces of $NAME left behind"
  [[ -e /tmp/zelo-lab-$NAME ]] && fail "/tmp/zelo-lab-$NAME left behind"
  if [[ -n "${1:-}" && -d /proc/$1 ]]; then fail "routerd pid $1 still running"; fi
  return 0
}

echo "== tool error paths without routerd"
export ZELO_ROOT=$SCRATCH/root
expect 1 "routerctl: routerd is not running" "$BIN/routerctl" interface print
expect 1 "routerctl: routerd is not running" "$BIN/routerctl" nat print --raw
expect 1 "upnpctl: upnpd is not running" "$BIN/upnpctl" print
expect 1 "upnpctl: upnpd is not running" "$BIN/upnpctl" interface print
expect 1 "upnpctl: cannot look up interface 'lan': routerd is not running" \
  "$BIN/upnpctl" interface add interface=lan type=internal
expect 2 "routerctl: unknown command 'bogus' (see routerctl --help)" "$BIN/routerctl" bogus
expect 2 "routerctl: running must be yes or no (see routerctl --help)" "$BIN/routerctl" interface set lan running=maybe
expect 2 "routerctl: command must be add, set or remove (see routerctl --help)" \
  "$BIN/routerctl" nat fail-next command=get code=1
expect 2 "routerctl: code must be a nonzero number (see routerctl --help)" \
  "$BIN/routerctl" nat fail-next command=add code=x
expect 2 "routerctl: repeated argument 'name' (see routerctl --help)" \
  "$BIN/routerctl" interface add name=a name=b kernel=lo
expect 2 "upnpctl: enabled must be yes or no (see upnpctl --help)" "$BIN/upnpctl" set enabled=maybe
expect 2 "upnpctl: type must be internal or external (see upnpctl --help)" \
  "$BIN/upnpctl" interface add interface=1 type=sideways
printf 'interface name=lan kernel=lo\naddress address=10.1.1.1/40 interface=lan\n' >"$SCRATCH/bad.conf"
expect 1 "routerd: $SCRATCH/bad.conf: line 2: bad address '10.1.1.1/40'" "$BIN/routerd" "$SCRATCH/bad.conf"
unset ZELO_ROOT

for round in 1 2; do
  echo "== lab round $round"
  "$LAB" --name "$NAME" --index "$INDEX" --bin "$BIN" up >"$SCRATCH/up.log" 2>&1 || {
    cat "$SCRATCH/up.log"
    fail "lab up"
    break
  }
  contains "is already up" "$LAB" --name "$NAME" up
  "$LAB" --name "$NAME" status >/dev/null || fail "status of a running lab"
  pid=$(cat "/tmp/zelo-lab-$NAME/routerd.pid")
  run() { "$LAB" --name "$NAME" exec router "$@"; }

  brindex=$(ip -n "$NAME-router" -o link show br-lan | cut -d: -f1)
  row=$(run routerctl interface print | awk '$2 == "lan" {print $3, $4, $5, $6, $7}')
  [[ "$row" == "br-lan $brindex 2 yes no" ]] || fail "lan row: '$row'"
  contains "10.77.$INDEX.1/24" run routerctl address print
  contains "LAB-$NAME-$INDEX" run routerctl identity print
  contains "wanhost" run routerctl resolver print
  [[ "$(cat "/tmp/zelo-lab-$NAME/root/zelo/etc/version")" == "7.4" ]] || fail "version file"

  run routerctl interface set wan disabled=yes rx-bytes=4294967301 || fail "interface set"
  row=$(run routerctl interface print | awk '$2 == "wan" {print $3, $7, $8}')
  [[ "$row" == "wan0 yes 4294967301" ]] || fail "wan row after set: '$row'"
  run routerctl resolver add name=printer address=10.77.$INDEX.50 || fail "resolver add"
  contains "10.77.$INDEX.50" run routerctl resolver print
  run routerctl nat fail-next command=remove code=0xfe0004 || fail "nat fail-next"
  contains "SEQ  COMMAND  RULE  RESULT  FIELDS" run routerctl nat requests
  [[ -z "$(run routerctl nat print --raw)" ]] || fail "nat print --raw of an empty table"
  expect 1 "routerctl: no such interface 'dmz'" run routerctl interface set dmz running=yes
  expect 1 "routerctl: address in use" run routerctl address add address=10.77.$INDEX.1/24 interface=lan
  expect 1 "routerd: already running for root '/tmp/zelo-lab-$NAME/root'" run routerd
  # With an upnpd to start, the lab's routerd starts it on demand (test_ondemand.sh).
  if [[ ! -x "$BIN/upnpd" ]]; then expect 1 "upnpctl: upnpd is not running" run upnpctl print; fi

  # The lab's hosts reach the router through the bridge (nothing listens on
  # port 9: a refusal proves the round trip).
  reach=$("$LAB" --name "$NAME" exec lan2 python3 -c \
    "import socket; socket.create_connection(('10.77.$INDEX.1', 9), 2)" 2>&1)
  [[ "$reach" == *"Connection refused"* ]] || fail "lan2 cannot reach the router: $reach"

  "$LAB" --name "$NAME" down >/dev/null || fail "lab down"
  leftovers "$pid"
  contains "is down" "$LAB" --name "$NAME" down  # idempotent
done

if [[ $FAILURES -ne 0 ]]; then
  echo "test_lab: $FAILURES failure(s)"
  exit 1
fi
echo "test_lab: passed"
