#!/usr/bin/env bash
# Start on demand, in the network lab:
#   test_ondemand.sh [BUILD-DIR]     (default: the repo's build/)
# With no upnpd running, an upnpctl request makes routerd start it and gets the
# fresh daemon's answer; a disable makes the process leave and the next request
# starts it again; a daemon killed with SIGKILL leaves no NAT rule behind.
# Needs root; exits 77 (skipped) without it.

set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=$(cd "${1:-$REPO/build}" && pwd)
LAB="$REPO/scripts/lab.sh"
NAME=zod$$
INDEX=$((60 + $$ % 20))
STATE=/tmp/zelo-lab-$NAME
FAILURES=0

if [[ $(id -u) -ne 0 ]]; then
  echo "test_ondemand: skipped (needs root)"
  exit 77
fi
for tool in upnpd routerd routerctl upnpctl; do
  [[ -x "$BIN/$tool" ]] || { echo "test_ondemand: no $tool in $BIN"; exit 1; }
done
command -v upnpc >/dev/null || { echo "test_ondemand: upnpc is missing (scripts/deps.sh installs it)"; exit 1; }

trap '"$LAB" --name "$NAME" down >/dev/null 2>&1' EXIT

ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
check() {
  local what=$1; shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
lab() { "$LAB" --name "$NAME" --bin "$BIN" "$@"; }
on() { local node=$1; shift; lab exec "$node" "$@"; }
# until_true SECONDS CMD...: retries CMD every 0.1 s for at most SECONDS.
until_true() {
  local tries=$(($1 * 10)); shift
  until "$@"; do
    ((tries-- > 0)) || return 1
    sleep 0.1
  done
}
contains() { [[ "$1" == *"$2"* ]]; }
# new_pid PID OLD: PID is set and differs from OLD.
new_pid() { [[ -n "$1" && "$1" != "$2" ]]; }
upnpd_pid() { cat "$STATE/upnpd.pid" 2>/dev/null; }
# No upnpd process in the router (whatever the pid file says).
no_upnpd() {
  local pid
  for pid in $(ip netns pids "$NAME-router"); do
    [[ "$(readlink "/proc/$pid/exe" 2>/dev/null)" == "$BIN/upnpd" ]] && return 1
  done
  [[ ! -e "$STATE/upnpd.pid" ]]
}
# exited_with PID STATUS: routerd reaped PID with exit status STATUS.
exited_with() { grep -qxF "program 80: pid $1 exited with status $2" "$STATE/routerd.log"; }
starts() { grep -c '^program 80: started pid ' "$STATE/routerd.log"; }
nat_rules() { on router routerctl nat print --raw | grep -c .; }

lab --index "$INDEX" up >/dev/null || { echo "FAIL: lab up"; exit 1; }

check "no upnpd runs after lab up" no_upnpd
out=$(on router upnpctl print 2>&1)
check "upnpctl print with no upnpd answers" contains "$out" "enabled: no"
first=$(upnpd_pid)
check "... from a daemon routerd started" grep -qxF "program 80: started pid $first ($BIN/upnpd)" "$STATE/routerd.log"
check "the disabled daemon leaves by itself" until_true 4 no_upnpd
check "... with exit status 0" until_true 1 exited_with "$first" 0

check "upnpctl set enabled=yes with no upnpd" on router upnpctl set enabled=yes
second=$(upnpd_pid)
check "... started a new daemon" new_pid "$second" "$first"
sleep 2
check "the enabled daemon stays past the leave delay" [ "$(upnpd_pid)" == "$second" ]
out=$(on router upnpctl print 2>&1)
check "... and answers with the new setting" contains "$out" "enabled: yes"
check "... without another start" [ "$(starts)" -eq 2 ]

check "upnpctl set enabled=no" on router upnpctl set enabled=no
check "the disable makes the process leave" until_true 4 no_upnpd
check "... with exit status 0" until_true 1 exited_with "$second" 0
out=$(on router upnpctl print 2>&1)
check "the next upnpctl request starts it again" contains "$out" "enabled: no"
third=$(upnpd_pid)
check "... as a third process" new_pid "$third" "$second"
check "... the third start" [ "$(starts)" -eq 3 ]
check "... which leaves again" until_true 4 no_upnpd

# A killed daemon: routerd drops the dynamic rules that its link owned.
on router upnpctl set enabled=yes >/dev/null || fail "enable again"
on router upnpctl interface add interface=lan type=internal >/dev/null || fail "interface add lan"
on router upnpctl interface add interface=wan type=external >/dev/null || fail "interface add wan"
for port in 18080 18081; do
  out=$(on lan1 timeout 20 upnpc -i -e ondemand -a "10.77.$INDEX.10" 80 "$port" TCP 2>&1)
  contains "$out" "is redirected to internal" || fail "upnpc -a $port: $out"
done
check "two mappings in routerd" [ "$(nat_rules)" -eq 2 ]
killed=$(upnpd_pid)
kill -KILL "$killed" 2>/dev/null || fail "kill -9 upnpd"
check "SIGKILL of upnpd: routerd removes its rules" until_true 2 eval '[ "$(nat_rules)" -eq 0 ]'
check "routerd reaped the killed daemon" until_true 1 grep -qxF "program 80: pid $killed killed by signal 9" "$STATE/routerd.log"

if ((FAILURES > 0)); then
  echo "test_ondemand: $FAILURES check(s) failed; routerd log:"
  cat "$STATE/routerd.log"
  exit 1
fi
echo "test_ondemand: all checks passed"
