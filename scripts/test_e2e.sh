#!/usr/bin/env bash
# upnpd end to end in the lab, driven the way a user would:  test_e2e.sh [BUILD-DIR]
# What needs the kernel and real peers: sockets bound to the LAN bridge, port
# mappings made by upnpc becoming routerd NAT rules, and an event delivered
# over the wire. Arguments, faults and documents are the unit tests' business;
# the daemon's exits are test_ondemand's.

set -uo pipefail
NAME=e2e-$$
INDEX=7
# shellcheck source=scripts/lab_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lab_common.sh"
STATE=/tmp/zelo-lab-$NAME
UPNPD_LOG=$STATE/upnpd.log
ROUTER=10.77.$INDEX.1
LAN1=10.77.$INDEX.10
WAN_OLD=203.0.113.$((2 * INDEX - 1))
need upnpd routerd routerctl upnpctl curl upnpc python3 ss

# bound_to_lan PROTO PORT: a socket in the router listens there on the LAN bridge.
bound_to_lan() { on router ss -Hln"$1" "sport = :$2" 2>&1 | awk -v want="%br-lan:$2" 'index($4, want) { f = 1 } END { exit !f }'; }
nat_print() { on router routerctl nat print 2>&1; }
# rule_has PORT FIELD...: the rule of external PORT carries every FIELD (name=value).
rule_has() {
  local rule field
  rule=" $(nat_print | awk -v p="dst-port=$1-$1" 'index($0, p)') "; shift
  for field in "$@"; do [[ "$rule" == *" $field "* ]] || return 1; done
}
# upnpc from lan1, discovery included; -i because the WAN address is a reserved range.
upnpc_lan1() { on lan1 timeout 20 upnpc -i "$@" 2>&1; }
header_of() { tr -d '\r' <"$1" | awk -v h="$2" 'tolower($0) ~ "^" tolower(h) ":" {sub(/^[^:]*: */, ""); print; exit}'; }

echo "== interfaces follow the kernel"
lab --index "$INDEX" up >"$SCRATCH/up.log" 2>&1 || { cat "$SCRATCH/up.log"; echo "FAIL: lab up"; exit 1; }
lab start-upnpd >/dev/null || fail "lab.sh start-upnpd"
# The daemon leaves one second after start while disabled: enable it at once.
check "upnpctl set enabled=yes right after the start" until_true 4 on router upnpctl set enabled=yes
check "upnpctl interface add wan external" on router upnpctl interface add interface=wan type=external
check "upnpctl interface add lan internal" on router upnpctl interface add interface=lan type=internal
check "log shows 'start int: lan $ROUTER'" until_true 5 grep -qxF "start int: lan $ROUTER" "$UPNPD_LOG"
check "UDP 1900 bound to br-lan" until_true 3 bound_to_lan u 1900
check "TCP 2828 bound to br-lan" until_true 3 bound_to_lan t 2828

echo "== port mappings become NAT rules"
wan_id=$(on router routerctl interface print | awk '$2 == "wan" {print $1}')
check "upnpc -a $LAN1 8080 18080 TCP" \
  contains "$(upnpc_lan1 -a "$LAN1" 8080 18080 TCP)" "external $WAN_OLD:18080 TCP is redirected to internal $LAN1:8080"
check "routerctl nat print shows the rule with its fields" rule_has 18080 chain='"dstnat"' in-interface="$wan_id" \
  dst-address-from="$WAN_OLD" dst-address-to="$WAN_OLD" dst-port=18080-18080 protocol=6 to-address-from="$LAN1" \
  to-address-to="$LAN1" to-port-from=8080 to-port-to=8080
check "upnpc -d 18080 TCP" contains "$(upnpc_lan1 -d 18080 TCP)" "UPNP_DeletePortMapping() returned : 0"
check "... and its rule is gone" [ "$(nat_print)" == "ID  FLAGS  RULE" ]

echo "== the initial event reaches a callback server on lan1"
# Only a daemon that takes lan1 for a host of the interface the SUBSCRIBE came
# in on sends it. The server prints "ready", then the NOTIFY it receives.
on lan1 timeout 15 python3 -c '
import socket, sys
server = socket.create_server((sys.argv[1], 5000))
print("ready", flush=True)
peer, _ = server.accept()
data = b""
while b"</e:propertyset>" not in data:
    data += peer.recv(4096) or sys.exit(1)
peer.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
print(data.decode().replace("\r", ""))' "$LAN1" >"$SCRATCH/notify.txt" 2>&1 &
CLEANUP+=("kill -KILL $!")
disown
check "callback server listens on $LAN1:5000" until_true 5 grep -qx ready "$SCRATCH/notify.txt"
on lan1 curl -sS --max-time 5 -D "$SCRATCH/gw.hdr" -o "$SCRATCH/gw.xml" "http://$ROUTER:2828/gateway.xml" ||
  fail "GET /gateway.xml"
check "SERVER names the lab's OS version" \
  [ "$(header_of "$SCRATCH/gw.hdr" SERVER)" == "Corvanet/7.4 UPnP/1.0 Quenlark UPnP/1.0" ]
event_url=$(tr -d '\r\n' <"$SCRATCH/gw.xml" | grep -o 'WANIPConnection:1</serviceType>.*' |
  grep -o '<eventSubURL>[^<]*' | head -1 | cut -d'>' -f2)
on lan1 curl -sS --max-time 5 -X SUBSCRIBE -D "$SCRATCH/sub.hdr" -o /dev/null -H "HOST: $ROUTER:2828" \
  -H "CALLBACK: <http://$LAN1:5000/evt>" -H "NT: upnp:event" -H "TIMEOUT: Second-1800" \
  "http://$ROUTER:2828$event_url" || fail "SUBSCRIBE to $event_url"
sid=$(header_of "$SCRATCH/sub.hdr" SID)
check "SUBSCRIBE answered with a SID ($sid)" grep -qE '^uuid:' <<<"$sid"
check "NOTIFY /evt with that SID arrived" until_true 5 grep -qxF "SID: $sid" "$SCRATCH/notify.txt"
check "... naming the WAN address" grep -qF "<ExternalIPAddress>$WAN_OLD</ExternalIPAddress>" "$SCRATCH/notify.txt"
check "... at the callback path" grep -qx "NOTIFY /evt HTTP/1.1" "$SCRATCH/notify.txt"

finish "$UPNPD_LOG"
