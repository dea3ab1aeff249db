#!/usr/bin/env bash
# The main job: builds the daemon and the stand-in router, brings up a sandbox
# router (network namespaces: a router with a LAN bridge and a WAN link, two LAN
# hosts and a WAN host), starts routerd and upnpd in it, enables UPnP on the LAN
# and WAN interfaces, and waits. Ctrl-C stops everything and removes the lab.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
lab="$root/scripts/lab.sh"
name=${LAB_NAME:-zlab}

scripts/deps.sh
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target upnpd routerd routerctl upnpctl

cleanup() {
  echo
  echo "stopping the lab"
  "$lab" --name "$name" down || true
}
trap cleanup EXIT
trap 'exit 0' INT TERM

"$lab" --name "$name" --bin "$root/build" down >/dev/null 2>&1 || true
"$lab" --name "$name" --bin "$root/build" up
"$lab" --name "$name" --bin "$root/build" start-upnpd
ctl() { "$lab" --name "$name" --bin "$root/build" exec router "$@"; }
# A daemon whose settings say disabled leaves after one second: enable it as
# soon as it answers.
for _ in $(seq 20); do ctl upnpctl print >/dev/null 2>&1 && break; sleep 0.05; done
ctl upnpctl set enabled=yes
ctl upnpctl interface add interface=wan type=external >/dev/null
ctl upnpctl interface add interface=lan type=internal >/dev/null
sleep 1

cat <<TXT

The sandbox router is up. upnpd serves the LAN at http://10.77.1.1:2828/gateway.xml
Daemon output: /tmp/zelo-lab-$name/upnpd.log

Try, in another terminal:
  $lab exec lan1 upnpc -P                      # discover the gateway
  $lab exec lan1 upnpc -i -s                   # WAN address and status
  $lab exec lan1 upnpc -i -a 10.77.1.10 8080 18080 TCP
  $lab exec lan1 upnpc -i -l                   # list the mappings
  $lab exec router routerctl nat print         # the firewall's NAT rules
  $lab exec router upnpctl interface print
  $lab exec lan1 curl -s http://10.77.1.1:2828/gateway.xml

Press Ctrl-C to stop.
TXT
tail -n +1 -f "/tmp/zelo-lab-$name/upnpd.log" &
wait
