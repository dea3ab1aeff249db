#!/usr/bin/env bash
# Start on demand, in the network lab:  test_ondemand.sh [BUILD-DIR]
# With no upnpd running, an upnpctl request makes routerd start it and gets the
# fresh daemon's answer; a disable makes the process leave and the next request
# starts it again; a daemon killed with SIGKILL is reaped (its rules are
# test_forwarding's).

set -uo pipefail
NAME=zod$$
INDEX=$((60 + $$ % 20))
# shellcheck source=scripts/lab_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lab_common.sh"
need upnpd routerd routerctl upnpctl
STATE=/tmp/zelo-lab-$NAME

new_pid() { [[ -n "$1" && "$1" != "$2" ]]; }  # PID is set and differs from OLD
upnpd_pid() { cat "$STATE/upnpd.pid" 2>/dev/null; }
# No upnpd process in the router (whatever the pid file says).
no_upnpd() {
  local pid
  for pid in $(ip netns pids "$NAME-router"); do
    [[ "$(readlink "/proc/$pid/exe" 2>/dev/null)" == "$BIN/upnpd" ]] && return 1
  done
  [[ ! -e "$STATE/upnpd.pid" ]]
}
logged() { grep -qxF "$1" "$STATE/routerd.log"; }
starts() { grep -c '^program 80: started pid ' "$STATE/routerd.log"; }

lab --index "$INDEX" up >/dev/null || { echo "FAIL: lab up"; exit 1; }
check "no upnpd runs after lab up" no_upnpd
check "upnpctl print with no upnpd answers" contains "$(on router upnpctl print 2>&1)" "enabled: no"
first=$(upnpd_pid)
check "... from a daemon routerd started" logged "program 80: started pid $first ($BIN/upnpd)"
check "the disabled daemon leaves by itself with status 0" until_true 4 logged "program 80: pid $first exited with status 0"

check "upnpctl set enabled=yes with no upnpd" on router upnpctl set enabled=yes
second=$(upnpd_pid)
check "... started a new daemon" new_pid "$second" "$first"
sleep 2
check "the enabled daemon stays past the leave delay" [ "$(upnpd_pid)" == "$second" ]
check "... and answers with the new setting" contains "$(on router upnpctl print 2>&1)" "enabled: yes"
check "... without another start" [ "$(starts)" -eq 2 ]

check "upnpctl set enabled=no" on router upnpctl set enabled=no
check "the disable makes the process leave" until_true 4 no_upnpd
check "... with exit status 0" until_true 1 logged "program 80: pid $second exited with status 0"
check "the next upnpctl request starts it again" contains "$(on router upnpctl print 2>&1)" "enabled: no"
check "... as a third process" new_pid "$(upnpd_pid)" "$second"
check "... the third start" [ "$(starts)" -eq 3 ]
check "... which leaves again" until_true 4 no_upnpd

check "upnpctl set enabled=yes" on router upnpctl set enabled=yes
killed=$(upnpd_pid)
kill -KILL "$killed" 2>/dev/null || fail "kill -9 upnpd"
check "routerd reaped the killed daemon" until_true 2 logged "program 80: pid $killed killed by signal 9"
finish "$STATE/routerd.log"
