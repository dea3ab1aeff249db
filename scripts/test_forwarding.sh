#!/usr/bin/env bash
# Real forwarding with the linux backend:
#   test_forwarding.sh [BUILD-DIR]     (default: the repo's build/)
# In a lab of its own (routerd --backend linux, upnpd), a TCP and a UDP
# service on lan1 are reached from the WAN host only while a mapping exists
# and is enabled; the mapping follows a change of the WAN address; the WAN
# link's state reaches routerd's table and the daemon; after a killed routerd
# comes back the daemon adds its mappings again; a killed upnpd leaves no
# rule; the nft table
# holds one rule per enabled mapping and no other table of the namespace
# changes. Needs root; exits 77 (skipped) without it.
set -uo pipefail

NAME=zf$$
N=$((60 + $$ % 20))
# shellcheck source=scripts/lab_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lab_common.sh"
R=10.77.$N.1 LAN1=10.77.$N.10 WAN_OLD=203.0.113.$((2 * N - 1)) WAN_NEW=203.0.113.$((2 * N + 60))
STATE=/tmp/zelo-lab-$NAME
need upnpd routerd routerctl upnpctl nft upnpc curl
PY=python3; [[ -x /usr/bin/python3 ]] && PY=/usr/bin/python3
# has PATTERN: stdin matches; reads it all, so the writer never dies of SIGPIPE (pipefail).
has() { grep -- "$1" >/dev/null; }
nft_r() { ip netns exec "$NAME-router" nft "$@"; }
others() { nft_r list ruleset | awk '/^table ip routerd /{skip=1} !skip{print} skip&&/^}/{skip=0}'; }
rules() { nft_r list chain ip routerd prerouting 2>/dev/null | grep -c 'dnat to'; }
upnpc_() { on lan1 upnpc -i -u "http://$R:2828/gateway.xml" "$@" >/dev/null 2>&1; }

# reach tcp|udp ADDRESS PORT: the lan1 service answers through ADDRESS:PORT.
reach() {
  local got
  if [[ $1 == tcp ]]; then
    got=$(on wan timeout 1 bash -c "exec 3<>/dev/tcp/$2/$3 && head -c 4 <&3" 2>/dev/null)
  else
    got=$(on wan timeout 1 bash -c "exec 3<>/dev/udp/$2/$3 && echo x >&3 && head -c 4 <&3" 2>/dev/null)
  fi
  [[ "$got" == lan1 ]]
}
blocked() { ! reach "$@"; }
# soap ACTION ARGUMENTS-XML: calls the WANIPConnection action from lan1, prints the answer.
soap() {
  local ctl
  ctl=$(on lan1 curl -s "http://$R:2828/gateway.xml" | grep -o '<controlURL>[^<]*wanipconn[^<]*' | sed 's/<controlURL>//')
  on lan1 curl -s -H 'Content-Type: text/xml; charset="utf-8"' \
    -H "SOAPAction: \"urn:schemas-upnp-org:service:WANIPConnection:1#$1\"" \
    -d '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:'"$1"' xmlns:u="urn:schemas-upnp-org:service:WANIPConnection:1">'"$2</u:$1></s:Body></s:Envelope>" \
    "http://$R:2828$ctl"
}
status_is() { soap GetStatusInfo "" | has "<NewConnectionStatus>$1</NewConnectionStatus>"; }
map_tcp_enabled() {
  soap AddPortMapping "<NewRemoteHost></NewRemoteHost><NewExternalPort>18080</NewExternalPort><NewProtocol>TCP</NewProtocol><NewInternalPort>8080</NewInternalPort><NewInternalClient>$LAN1</NewInternalClient><NewEnabled>$1</NewEnabled><NewPortMappingDescription>t</NewPortMappingDescription><NewLeaseDuration>0</NewLeaseDuration>" |
    has AddPortMappingResponse
}
wan_running() { [[ $(on router routerctl interface print | awk '$2 == "wan" {print $6}') == "$1" ]]; }
table_has() {  # straight to routerctl: lab.sh's own start-up would hide routerd's delay
  ip netns exec "$NAME-router" env ZELO_ROOT="$STATE/root" "$BIN/routerctl" address print | has "^[0-9]* *$1/24 "
}
start_routerd() {
  ip netns exec "$NAME-router" env ZELO_ROOT="$STATE/root" "$BIN/routerd" --backend linux "$STATE/routerd.conf" \
    >>"$STATE/routerd.log" 2>&1 </dev/null &
  echo $! >"$STATE/routerd.pid"
  until_true 5 on router routerctl identity print >/dev/null 2>&1
}

echo "== lab with the linux backend"
lab --index "$N" --backend linux up >/dev/null || { echo "FAIL: lab up"; exit 1; }
# A table of somebody else's, which routerd must leave alone.
nft_r -f - <<'NFT' || fail "loading a foreign table"
table inet keepme {
  set blocked { type ipv4_addr; elements = { 192.0.2.66 } }
  chain guard { type filter hook forward priority 10; policy accept; ip saddr @blocked drop; }
}
NFT
BEFORE=$(others)
lab start-upnpd >/dev/null
# A daemon whose settings say disabled leaves after a second: retry until enabled.
until_true 3 on router upnpctl set enabled=yes 2>/dev/null && on router upnpctl interface add interface=wan type=external >/dev/null &&
  on router upnpctl interface add interface=lan type=internal >/dev/null || fail "enabling upnpd"
# lan1's service: "lan1" to every TCP connection and UDP datagram on port 8080.
on lan1 $PY -c '
import select, socket
t = socket.socket(); t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); t.bind(("", 8080)); t.listen(8)
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("", 8080))
while True:
    for s in select.select([t, u], [], [])[0]:
        if s is t: c, _ = t.accept(); c.sendall(b"lan1"); c.close()
        else: _, a = u.recvfrom(64); u.sendto(b"lan1", a)
' >/dev/null 2>&1 &
check "lan1 serves" until_true 5 on lan1 bash -c "exec 3<>/dev/tcp/$LAN1/8080" 2>/dev/null
check "upnpd is connected" until_true 5 status_is Connected

echo "== forwarding only while mapped"
check "tcp blocked before mapping" blocked tcp "$WAN_OLD" 18080
check "udp blocked before mapping" blocked udp "$WAN_OLD" 18081
check "upnpc maps tcp and udp" eval 'upnpc_ -a "$LAN1" 8080 18080 TCP && upnpc_ -a "$LAN1" 8080 18081 UDP'
check "tcp reaches lan1 while mapped" reach tcp "$WAN_OLD" 18080
check "udp reaches lan1 while mapped" reach udp "$WAN_OLD" 18081
check "one kernel rule per mapping, with its comment" eval '[[ $(rules) == 2 ]] && nft_r list table ip routerd | has "comment \"upnp $LAN1: libminiupnpc\""'
check "udp mapping deleted" upnpc_ -d 18081 UDP
check "udp blocked after delete" blocked udp "$WAN_OLD" 18081
check "tcp still reaches" reach tcp "$WAN_OLD" 18080
check "mapping disabled" map_tcp_enabled 0
check "disabled mapping is not in the kernel" eval '[[ $(rules) == 0 ]]'
check "disabled mapping does not forward" blocked tcp "$WAN_OLD" 18080
check "enabled again, it forwards" eval 'map_tcp_enabled 1 && reach tcp "$WAN_OLD" 18080 && [[ $(rules) == 1 ]]'

echo "== the WAN address changes"
ip netns exec "$NAME-router" sysctl -qw net.ipv4.conf.wan0.promote_secondaries=1
ip -n "$NAME-router" addr add "$WAN_NEW/24" dev wan0
t0=$(date +%s%N)
until_true 1 table_has "$WAN_NEW" && echo "   (address table followed in $((($(date +%s%N) - t0) / 1000000)) ms)"
ip -n "$NAME-router" addr del "$WAN_OLD/24" dev wan0
check "address table follows the kernel" until_true 2 eval '! table_has "$WAN_OLD" && table_has "$WAN_NEW"'
check "rule retargeted to the new address" until_true 3 eval 'nft_r list chain ip routerd prerouting | has "ip daddr $WAN_NEW tcp dport 18080"'
check "tcp reaches lan1 through the new address" reach tcp "$WAN_NEW" 18080
check "and no longer through the old one" blocked tcp "$WAN_OLD" 18080
check "routerctl address add reaches the kernel" eval 'on router routerctl address add address=198.51.100.1/24 interface=wan >/dev/null && ip -n "$NAME-router" -4 addr show wan0 | has 198.51.100.1/24'
check "routerctl address remove too" eval 'on router routerctl address remove address=198.51.100.1 && ! ip -n "$NAME-router" -4 addr show wan0 | has 198.51.100.1'

echo "== the WAN link goes down and up"
ip -n "$NAME-router" link set wan0 down
check "running follows link down" until_true 1 wan_running no
check "daemon's status is no longer Connected" until_true 3 eval '! status_is Connected'
ip -n "$NAME-router" link set wan0 up
check "running follows link up" until_true 2 wan_running yes
check "daemon's status is Connected again" until_true 5 status_is Connected

echo "== routerd killed and started again"
upnpc_ -a "$LAN1" 8080 18080 TCP
check "mapped before the kill" reach tcp "$WAN_NEW" 18080
kill -KILL "$(cat "$STATE/routerd.pid")"; sleep 0.2
check "a killed routerd leaves its table behind" eval '[[ $(rules) == 1 ]]'
check "routerd started again" start_routerd
check "the daemon adds its mapping again: forwarding resumes untouched" until_true 8 reach tcp "$WAN_NEW" 18080
# The leftover table was replaced: still exactly one rule, not two.
check "one kernel rule for the one mapping" eval '[[ $(rules) == 1 ]]'
kill -KILL "$(cat "$STATE/upnpd.pid")"
check "a killed upnpd leaves no rule behind" until_true 3 eval '[[ $(rules) == 0 ]]'
check "and nothing forwards" blocked tcp "$WAN_NEW" 18080

echo "== clean exit"
pid=$(cat "$STATE/routerd.pid")
kill -TERM "$pid"
check "routerd exits on SIGTERM" until_true 3 eval '! kill -0 '"$pid"' 2>/dev/null'
check "and takes its table with it" eval '! nft_r list tables | has "table ip routerd"'
check "every other table is byte-identical" eval '[[ "$(others)" == "$BEFORE" ]]'

finish "$STATE/upnpd.log"
