#!/usr/bin/env bash
# The main job: builds the daemon and the stand-in router, brings up a sandbox
# router (network namespaces: a router with a LAN bridge and a WAN link, two LAN
# hosts and a WAN host), starts routerd (on the router namespace's kernel: real
# addresses, links and nftables rules) and upnpd in it, enables UPnP on the LAN
# and WAN interfaces, shows a real port forward from the WAN host to a server
# on lan1 and its end, and waits. Ctrl-C stops everything and removes the lab.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
lab="$root/scripts/lab.sh"
name=${LAB_NAME:-zlab}

scripts/deps.sh
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target upnpd routerd routerctl upnpctl

tail_pid=""
cleanup() {
  if [[ -n "$tail_pid" ]]; then kill "$tail_pid" 2>/dev/null || true; fi
  echo
  echo "stopping the lab"
  "$lab" --name "$name" down || true
}
trap cleanup EXIT
trap 'exit 0' INT TERM

"$lab" --name "$name" --bin "$root/build" down >/dev/null 2>&1 || true
"$lab" --name "$name" --bin "$root/build" --backend linux up
"$lab" --name "$name" --bin "$root/build" start-upnpd
ctl() { "$lab" --name "$name" --bin "$root/build" exec router "$@"; }
# A daemon whose settings say disabled leaves after one second: enable it as
# soon as it answers.
for _ in $(seq 40); do ctl upnpctl set enabled=yes 2>/dev/null && break; sleep 0.05; done
ctl upnpctl interface add interface=wan type=external >/dev/null
ctl upnpctl interface add interface=lan type=internal >/dev/null
sleep 1

# A real forward, end to end: a web server on lan1, a mapping asked for by
# upnpc on lan1, and the WAN host reaching the server through the router.
node() { "$lab" --name "$name" exec "$@"; }
py=python3; [[ -x /usr/bin/python3 ]] && py=/usr/bin/python3
wan_ip=203.0.113.1
fetch() { node wan curl -s -m 2 -o /dev/null -w '%{http_code}' "http://$wan_ip:18080/" || true; }
step() { printf '\n--- %s\n' "$*"; }
step "lan1 (10.77.1.10) serves HTTP on port 8080"
node lan1 "$py" -m http.server 8080 --bind 10.77.1.10 --directory "$root/etc" >/dev/null 2>&1 &
for _ in $(seq 40); do node lan1 curl -s -m 1 -o /dev/null http://10.77.1.10:8080/ && break; sleep 0.1; done
step "before any mapping, the WAN host asks http://$wan_ip:18080/"
code=$(fetch); echo "result: ${code/000/no answer (blocked)}"
step "lan1: upnpc -i -a 10.77.1.10 8080 18080 TCP"
node lan1 upnpc -i -a 10.77.1.10 8080 18080 TCP 2>&1 | grep -E "is redirected|failed" || true
step "the router's nftables rule (nft list chain ip routerd prerouting)"
node router nft list chain ip routerd prerouting | grep dnat || true
step "the WAN host asks http://$wan_ip:18080/ again"
code=$(fetch); echo "result: HTTP $code$([[ $code == 200 ]] && echo ' from lan1: the forward works')"
step "lan1: upnpc -i -d 18080 TCP"
node lan1 upnpc -i -d 18080 TCP 2>&1 | grep -E "returned|failed" || true
step "after the delete, the WAN host asks once more"
code=$(fetch); echo "result: ${code/000/no answer (blocked again)}"

cat <<TXT

The sandbox router is up. upnpd serves the LAN at http://10.77.1.1:2828/gateway.xml
Daemon output: /tmp/zelo-lab-$name/upnpd.log

Try, in another terminal:
  $lab exec lan1 upnpc -P                      # discover the gateway
  $lab exec lan1 upnpc -i -s                   # WAN address and status
  $lab exec lan1 upnpc -i -a 10.77.1.10 8080 18080 TCP
  $lab exec lan1 upnpc -i -l                   # list the mappings
  $lab exec router routerctl nat print         # the firewall's NAT rules
  $lab exec router nft list table ip routerd   # the same rules in the kernel
  $lab exec wan curl http://203.0.113.1:18080/ # the WAN host through a mapping
  $lab exec router upnpctl interface print
  $lab exec lan1 curl -s http://10.77.1.1:2828/gateway.xml

Press Ctrl-C to stop.
TXT
tail -n +1 -f "/tmp/zelo-lab-$name/upnpd.log" &
tail_pid=$!
wait
