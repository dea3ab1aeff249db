#!/usr/bin/env bash
# SSDP discovery in the lab, seen by real control points:  test_discovery.sh [BUILD-DIR]
# Adds a second LAN segment (router port lan3, host namespace NAME-lan3),
# enables upnpd with both LANs internal and wan external, and checks that a
# GSSDP browser sees every target with the address of its own segment.

set -uo pipefail
NAME=disc-$$
INDEX=$((60 + $$ % 20))
# shellcheck source=scripts/lab_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lab_common.sh"
LAN=10.77.$INDEX
LAN3=10.78.$INDEX
LAN3_NS=$NAME-lan3
PYTHON=/usr/bin/python3  # the Debian interpreter, which has the GObject bindings
need upnpd routerd routerctl upnpctl
"$PYTHON" -c 'import gi; gi.require_version("GSSDP", "1.6")' 2>/dev/null ||
  { echo "FAIL: GSSDP bindings are missing (scripts/deps.sh installs them)"; exit 1; }
CLEANUP+=("ip netns pids $LAN3_NS | xargs -r kill -KILL; ip netns del $LAN3_NS")

# at NODE CMD...: runs CMD on a lab node or on the lan3 host.
at() { local node=$1; shift; if [[ $node == lan3 ]]; then ip netns exec "$LAN3_NS" "$@"; else on "$node" "$@"; fi; }

# An SSDP browser on the GSSDP library (Debian ships no command-line one):
# searches for TARGET, prints "available USN LOCATION" and "unavailable USN".
GSSDP_BROWSER='
import sys, gi
gi.require_version("GSSDP", "1.6")
from gi.repository import GSSDP, GLib
target, seconds = sys.argv[1], float(sys.argv[2])
client = GSSDP.Client.new_full("eth0", None, 0, GSSDP.UDAVersion.VERSION_1_0)
browser = GSSDP.ResourceBrowser.new(client, target)
show = lambda *words: print(" ".join(words), flush=True)
browser.connect("resource-available", lambda b, usn, locations: show("available", usn, *locations))
browser.connect("resource-unavailable", lambda b, usn: show("unavailable", usn))
browser.set_active(True)
loop = GLib.MainLoop(); GLib.timeout_add(int(seconds * 1000), loop.quit); loop.run()
'
browse() { at "$1" timeout $(($3 + 10)) "$PYTHON" -c "$GSSDP_BROWSER" "$2" "$3" 2>"$SCRATCH/browser.err"; }

# expect_lines FILE DESCRIPTION LINE...: FILE holds exactly these lines, in any order.
expect_lines() {
  local file=$1 what=$2; shift 2
  if diff <(sort -u "$file") <(printf '%s\n' "$@" | sort -u) >"$SCRATCH/diff"; then ok "$what"; else fail "$what:"$'\n'"$(cat "$SCRATCH/diff")"; fi
}

echo "== lab with a second LAN segment"
lab --index "$INDEX" up >/dev/null || { echo "FAIL: lab.sh up"; exit 1; }
ip netns add "$LAN3_NS" && ip -n "$LAN3_NS" link set lo up &&
  ip -n "$NAME-router" link add lan3 type veth peer name eth0 netns "$LAN3_NS" &&
  ip -n "$NAME-router" link set lan3 up && ip -n "$NAME-router" addr add "$LAN3.1/24" dev lan3 &&
  ip -n "$LAN3_NS" addr add "$LAN3.10/24" dev eth0 && ip -n "$LAN3_NS" link set eth0 up &&
  ip -n "$LAN3_NS" route add default via "$LAN3.1" &&
  on router routerctl interface add name=lan3 kernel=lan3 token=3 running=yes >/dev/null &&
  on router routerctl address add "address=$LAN3.1/24" interface=lan3 >/dev/null ||
  { echo "FAIL: second LAN segment"; exit 1; }
lab start-upnpd >/dev/null || { echo "FAIL: lab.sh start-upnpd"; exit 1; }
# upnpd leaves one second after start while disabled: enable it at once.
until_true 4 on router upnpctl set enabled=yes >/dev/null 2>&1 || { echo "FAIL: upnpctl set enabled=yes"; exit 1; }
for entry in "interface=lan type=internal" "interface=lan3 type=internal" "interface=wan type=external"; do
  # shellcheck disable=SC2086
  on router upnpctl interface add $entry >/dev/null || fail "upnpctl interface add $entry"
done
UPNPD_LOG=/tmp/zelo-lab-$NAME/upnpd.log
until_true 5 eval '[[ $(grep -c "^sendAdverts " "$UPNPD_LOG" 2>/dev/null) -ge 4 ]]'

echo "== GSSDP browser"
ID=$(on router routerctl identity print 2>/dev/null | sed -n "s/^identity: //p")
GW=uuid:UUID-QUENLARK-INTERNET-GATEWAY-DEVICE-$ID
WAN_DEV=uuid:UUID-QUENLARK-WAN-DEVICE-$ID-
WAN_CONN=uuid:UUID-QUENLARK-WAN-CONNECTION-DEVICE-$ID-
IGD=urn:schemas-upnp-org:device:InternetGatewayDevice:1
for node in lan1:$LAN lan3:$LAN3; do
  browse "${node%%:*}" "$IGD" 3 >"$SCRATCH/igd"
  expect_lines "$SCRATCH/igd" "${node%%:*} sees $IGD at its own segment's address" \
    "available $GW::$IGD http://${node#*:}.1:2828/gateway.xml"
done
browse lan1 ssdp:all 3 >"$SCRATCH/all"
WAN_ID=$(grep -o "${WAN_DEV}[0-9]*" "$SCRATCH/all" | head -1 | sed "s/^$WAN_DEV//")
WAN_TARGETS=("$WAN_CONN$WAN_ID::urn:schemas-upnp-org:device:WANConnectionDevice:1"
  "$WAN_DEV$WAN_ID::urn:schemas-upnp-org:device:WANDevice:1"
  "$WAN_DEV$WAN_ID::urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1"
  "$WAN_CONN$WAN_ID::urn:schemas-upnp-org:service:WANIPConnection:1" "$WAN_CONN$WAN_ID" "$WAN_DEV$WAN_ID")
expected=()
for usn in "$GW::upnp:rootdevice" "$GW::urn:schemas-microsoft-com:service:OSInfo:1" "$GW::$IGD" "$GW" \
  "${WAN_TARGETS[@]}"; do expected+=("available $usn http://$LAN.1:2828/gateway.xml"); done
expect_lines "$SCRATCH/all" "ssdp:all on lan1 lists the ten targets" "${expected[@]}"

finish "$UPNPD_LOG"
