#!/usr/bin/env bash
# End-to-end checks of upnpd in the network lab, run the way a user would:
#   test_e2e.sh [BUILD-DIR]     (default: the repo's build/)
# Starts a lab with routerd, runs upnpd in its router and drives it from the LAN
# hosts with curl, xmllint, upnpc and a small event callback server: interface
# lifecycle, persistence, description documents, SOAP control, port mappings
# with their NAT rules, eventing, and the exit of a disabled daemon. Prints one
# "ok: " or "FAIL: " line per check and exits 1 on any failure. Needs root;
# exits 77 (skipped) without it. The lab is always taken down on exit.

set -euo pipefail

if [[ $(id -u) -ne 0 ]]; then
  echo "test_e2e: skipped (needs root)"
  exit 77
fi

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=$(cd "${1:-$REPO/build}" && pwd)
LAB="$REPO/scripts/lab.sh"
NAME=e2e-$$
INDEX=7
STATE=/tmp/zelo-lab-$NAME
UPNPD_LOG=$STATE/upnpd.log
ROUTER=10.77.$INDEX.1
LAN1=10.77.$INDEX.10
LAN2=10.77.$INDEX.11
WAN_OLD=203.0.113.$((2 * INDEX - 1))
WAN_NEW=203.0.113.$((200 + INDEX))
BASE=http://$ROUTER:2828
FAILURES=0
CALLBACK_PID=""
OWN_PID=""

for tool in upnpd routerd routerctl upnpctl; do
  [[ -x "$BIN/$tool" ]] || { echo "FAIL: no $tool in $BIN"; exit 1; }
done
for tool in curl xmllint upnpc python3 ss; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done

SCRATCH=$(mktemp -d /tmp/test-e2e.XXXXXX)
cleanup() {
  local pid
  for pid in "$CALLBACK_PID" "$OWN_PID"; do
    if [[ -n "$pid" ]]; then kill -KILL "$pid" 2>/dev/null || true; fi
  done
  "$LAB" --name "$NAME" down >/dev/null 2>&1 || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ok() { echo "ok: $*"; }
fail() {
  echo "FAIL: $*"
  FAILURES=$((FAILURES + 1))
}
# check DESCRIPTION CMD...: one ok/FAIL line for the outcome of CMD.
check() {
  local what=$1; shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
section() { echo "== $*"; }

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

# Lines of FILE equal to TEXT.
count_lines() { grep -cxF -- "$2" "$1" 2>/dev/null || true; }
log_has_times() { [[ $(count_lines "$UPNPD_LOG" "$2") -ge $1 ]]; }
contains() { [[ "$1" == *"$2"* ]]; }

# xp FILE XPATH: the string value of XPATH in FILE (empty when absent).
xp() { xmllint --xpath "string($2)" "$1" 2>/dev/null || true; }
# The XPath of a child element by local name, namespaces ignored.
el() { echo "*[local-name()='$1']"; }

# ---------------------------------------------------------------------------
# Daemon control

# The daemon leaves its loop one second after start while UPnP is disabled,
# so it is enabled at once; retries cover the moment before it registers.
enable_now() {
  local _
  for _ in $(seq 40); do
    on router upnpctl set enabled=yes >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  return 1
}

# launch_upnpd LOG: has upnpd started the way the router starts it (a request
# to its bus address makes routerd start it); LOG shows its output (a link to
# the lab's log until wait_own_exit copies it).
launch_upnpd() {
  : >"$UPNPD_LOG"
  ln -sf "$UPNPD_LOG" "$1"
  OWN_COPY=$1
  on router upnpctl print >/dev/null 2>&1
  OWN_PID=$(cat "$STATE/upnpd.pid" 2>/dev/null)
}

# wait_own_exit SECONDS: waits for the launched daemon to end; OWN_STATUS is
# its exit status as routerd reports it. Fails (and kills it) when it is
# still running.
wait_own_exit() {
  local tries=$(($1 * 10)) line
  [[ -n "$OWN_PID" ]] || return 1
  while kill -0 "$OWN_PID" 2>/dev/null && ((tries-- > 0)); do sleep 0.1; done
  if kill -0 "$OWN_PID" 2>/dev/null; then
    kill -KILL "$OWN_PID" 2>/dev/null || true
    OWN_PID=""
    return 1
  fi
  for _ in $(seq 20); do
    line=$(grep -F "program 80: pid $OWN_PID " "$STATE/routerd.log")
    [[ -n "$line" ]] && break
    sleep 0.05
  done
  OWN_STATUS=${line##*exited with status }
  [[ "$OWN_STATUS" =~ ^[0-9]+$ ]] || OWN_STATUS="'$line'"
  cp --remove-destination "$UPNPD_LOG" "$OWN_COPY"
  OWN_PID=""
}

gone() { ! kill -0 "$1" 2>/dev/null; }

lab_upnpd_alive() {
  local pid
  pid=$(cat "$STATE/upnpd.pid" 2>/dev/null) || return 1
  [[ -n "$pid" && -d /proc/$pid ]]
}

# bound_to_lan PROTO PORT: a listening socket of PROTO (u/t) on PORT is bound
# to the LAN bridge in the router.
bound_to_lan() {
  local out
  out=$(on router ss -Hln"$1" "sport = :$2" 2>&1) || return 1
  awk -v want="%br-lan:$2" 'index($4, want) { found = 1 } END { exit !found }' <<<"$out"
}
nothing_on() {
  local out
  out=$(on router ss -Hln"$1" "sport = :$2" 2>&1) || return 1
  [[ -z "$out" ]]
}

# router_address add|remove ADDRESS/PREFIX NAME KERNEL-NAME: changes routerd's
# address table and, as the router itself would, the kernel's address too:
# the daemon binds to the addresses it is told of (the port-busy probe of a
# mapping binds to the external address). Added to the kernel before routerd
# reports it, removed from the kernel after.
router_address() {
  local op=$1 address=$2 name=$3 kernel=$4
  if [[ $op == add ]]; then
    ip -n "$NAME-router" addr add "$address" dev "$kernel" &&
      on router routerctl address add address="$address" interface="$name" >/dev/null
  else
    # Without promotion, removing a primary address takes the other
    # addresses of its subnet with it.
    ip netns exec "$NAME-router" sysctl -qw "net.ipv4.conf.$kernel.promote_secondaries=1" &&
      on router routerctl address remove address="$address" >/dev/null &&
      ip -n "$NAME-router" addr del "$address" dev "$kernel"
  fi
}

# ---------------------------------------------------------------------------
# NAT rules

nat_print() { on router routerctl nat print 2>&1; }
# The rule line of external port PORT (empty when none).
nat_rule() { nat_print | awk -v p="dst-port=$1-$1" 'index($0, p)' || true; }
nat_empty() { [[ $(nat_print) == "ID  FLAGS  RULE" ]]; }
# rule_has PORT FIELD...: the rule of PORT carries every FIELD (name=value).
rule_has() {
  local rule field; rule=" $(nat_rule "$1") "; shift
  for field in "$@"; do [[ "$rule" == *" $field "* ]] || return 1; done
}

# ---------------------------------------------------------------------------
# HTTP from lan1

# fetch PATH OUT: GETs PATH into OUT, prints "status content-type".
fetch() {
  on lan1 curl -sS --max-time 5 -o "$2" -w '%{http_code} %{content_type}' "$BASE$1" 2>&1 || true
}

# soap PATH SOAPACTION BODY-FILE OUT-PREFIX: POSTs BODY-FILE, prints the status;
# headers in OUT-PREFIX.hdr, body in OUT-PREFIX.body.
soap() {
  on lan1 curl -sS --max-time 5 -D "$4.hdr" -o "$4.body" -w '%{http_code}' \
    -H 'Content-Type: text/xml; charset="utf-8"' -H "SOAPACTION: \"$2\"" \
    --data-binary @"$3" "$BASE$1" 2>&1 || true
}

envelope() {
  cat <<EOF
<?xml version="1.0"?>
<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">
<s:Body>$1</s:Body>
</s:Envelope>
EOF
}

query_body() {
  envelope "<u:QueryStateVariable xmlns:u=\"urn:schemas-upnp-org:control-1-0\"><u:varName>$1</u:varName></u:QueryStateVariable>"
}

# upnpc from a LAN host (discovery included, as a user runs it). -i because the
# WAN address lies in a reserved range.
upnpc_on() { local node=$1; shift; on "$node" timeout 20 upnpc -i "$@" 2>&1 || true; }

# ---------------------------------------------------------------------------
# Event callback server on lan1: every NOTIFY goes to its own file
# notify-N.txt (request line, headers, empty line, body), answered with 200.

cat >"$SCRATCH/callback.py" <<'EOF'
import http.server, os, sys

addr, port, outdir = sys.argv[1], int(sys.argv[2]), sys.argv[3]
count = 0

class Handler(http.server.BaseHTTPRequestHandler):
    def do_NOTIFY(self):
        global count
        body = self.rfile.read(int(self.headers.get("CONTENT-LENGTH", "0")))
        text = self.requestline + "\n" + str(self.headers) + body.decode("utf-8", "replace")
        tmp = os.path.join(outdir, ".notify.tmp")
        with open(tmp, "w") as f:
            f.write(text)
        os.rename(tmp, os.path.join(outdir, "notify-%d.txt" % count))
        count += 1
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass

server = http.server.HTTPServer((addr, port), Handler)
open(os.path.join(outdir, "ready"), "w").close()
server.serve_forever()
EOF

# notify_with SID SEQ: the file of the NOTIFY for SID with SEQ, if one came.
notify_with() {
  local f
  for f in "$SCRATCH"/events/notify-*.txt; do
    [[ -f "$f" ]] || continue
    if grep -qixF "SID: $1" "$f" && grep -qixF "SEQ: $2" "$f"; then echo "$f"; return 0; fi
  done
  return 1
}
notify_arrived() { notify_with "$1" "$2" >/dev/null; }
# The property set of a NOTIFY file (everything after the empty line).
notify_body() { sed '1,/^$/d' "$1"; }

# ===========================================================================
section "lab"
if ! lab --index "$INDEX" up >"$SCRATCH/up.log" 2>&1; then
  cat "$SCRATCH/up.log"
  fail "lab up"
  exit 1
fi
ok "lab $NAME up"

# ===========================================================================
section "spine: settings and interface lifecycle"
lab start-upnpd >/dev/null || fail "lab.sh start-upnpd"
check "upnpctl set enabled=yes right after the start" enable_now
check "upnpctl interface add wan external" on router upnpctl interface add interface=wan type=external >/dev/null
check "upnpctl interface add lan internal" on router upnpctl interface add interface=lan type=internal >/dev/null
check "log shows 'start int: lan $ROUTER'" until_true 5 log_has_times 1 "start int: lan $ROUTER"
check "log shows 'start ext: wan'" log_has_times 1 "start ext: wan"
check "UDP 1900 bound to br-lan in the router" until_true 3 bound_to_lan u 1900
check "TCP 2828 bound to br-lan in the router" until_true 3 bound_to_lan t 2828

router_address remove "$ROUTER/24" lan br-lan || fail "remove the LAN address $ROUTER/24"
check "LAN address removed: log shows 'stop int: lan'" until_true 5 log_has_times 1 "stop int: lan"
check "LAN address removed: nothing listens on TCP 2828" until_true 3 nothing_on t 2828
router_address add "$ROUTER/24" lan br-lan || fail "add the LAN address $ROUTER/24"
check "LAN address back: the interface starts again" until_true 5 log_has_times 2 "start int: lan $ROUTER"
check "LAN address back: TCP 2828 bound to br-lan again" until_true 3 bound_to_lan t 2828

section "spine: settings and entries survive a restart"
lab stop-upnpd >/dev/null || fail "lab.sh stop-upnpd"
check "upnpd stopped" until_true 3 nothing_on t 2828
lab start-upnpd >/dev/null || fail "lab.sh start-upnpd"
started=$SECONDS
check "restarted daemon starts lan without a set" until_true 5 log_has_times 1 "start int: lan $ROUTER"
# Past the leave delay that a disabled daemon would honour.
while ((SECONDS - started < 2)); do sleep 0.2; done
check "restarted daemon still runs after the leave delay" lab_upnpd_alive
settings=$(on router upnpctl print 2>&1 || true)
check "upnpctl print: enabled: yes" contains "$settings" "enabled: yes"
entries=$(on router upnpctl interface print 2>&1 || true)
check "upnpctl interface print lists wan external" \
  grep -qE '^[0-9]+ +- +wan \([0-9]+\) +external ' <<<"$entries"
check "upnpctl interface print lists lan internal" \
  grep -qE '^[0-9]+ +- +lan \([0-9]+\) +internal ' <<<"$entries"

# ===========================================================================
section "HTTP: descriptions and icons from lan1"
GW=$SCRATCH/gateway.xml
got=$(fetch /gateway.xml "$GW")
check "GET /gateway.xml: 200 text/xml ($got)" [ "$got" == "200 text/xml" ]
check "xmllint accepts gateway.xml" xmllint --noout "$GW"
check "URLBase is http://$ROUTER:2828" [ "$(xp "$GW" "/$(el root)/$(el URLBase)")" == "http://$ROUTER:2828" ]
check "presentationURL is http://$ROUTER/" \
  [ "$(xp "$GW" "/$(el root)/$(el device)/$(el presentationURL)")" == "http://$ROUTER/" ]

icons=$(xmllint --xpath "count(//$(el icon))" "$GW" 2>/dev/null || echo 0)
check "gateway.xml lists three icons" [ "$icons" == 3 ]
for i in $(seq "$icons"); do
  icon="//$(el icon)[$i]"
  url=$(xp "$GW" "$icon/$(el url)")
  size=$(xp "$GW" "$icon/$(el width)")
  got=$(fetch "$url" "$SCRATCH/icon$i")
  check "GET $url: 200 image/gif ($got)" [ "$got" == "200 image/gif" ]
  # GIF: signature, then the logical screen width and height, little-endian.
  dims=$(od -An -tu1 -j6 -N4 "$SCRATCH/icon$i" 2>/dev/null | awk '{print $1 + 256 * $2 "x" $3 + 256 * $4}')
  check "$url is a ${size}x${size} GIF" \
    [ "$(head -c 4 "$SCRATCH/icon$i" 2>/dev/null)" == GIF8 -a "$dims" == "${size}x${size}" ]
done

scpds=$(xmllint --xpath "//$(el SCPDURL)/text()" "$GW" 2>/dev/null || true)
check "gateway.xml lists three SCPDURLs" [ "$(wc -w <<<"$scpds")" -eq 3 ]
for url in $scpds; do
  file=$SCRATCH/scpd$(tr / _ <<<"$url")
  got=$(fetch "$url" "$file")
  check "GET $url: 200 text/xml ($got)" [ "$got" == "200 text/xml" ]
  check "xmllint accepts $url" xmllint --noout "$file"
done
service() { echo "//$(el service)[$(el serviceType)='urn:$1']"; }
OSINFO=$(service schemas-microsoft-com:service:OSInfo:1)
osinfo_scpd=$SCRATCH/scpd$(tr / _ <<<"$(xp "$GW" "$OSINFO/$(el SCPDURL)")")
check "the OSInfo description declares OSMachineName" \
  grep -q "<name>OSMachineName</name>" "$osinfo_scpd"

# ===========================================================================
section "SOAP: OSInfo queries from lan1"
osinfo_ctl=$(xp "$GW" "$OSINFO/$(el controlURL)")
QSV=urn:schemas-upnp-org:control-1-0#QueryStateVariable
query_body OSMachineName >"$SCRATCH/q-name.xml"
got=$(soap "$osinfo_ctl" "$QSV" "$SCRATCH/q-name.xml" "$SCRATCH/r-name")
host=$(on router hostname || true)
check "QueryStateVariable OSMachineName: 200 ($got)" [ "$got" == 200 ]
check "OSMachineName is the router's host name '$host'" \
  [ "$(xp "$SCRATCH/r-name.body" "//$(el QueryStateVariableResponse)/$(el return)")" == "$host" ]

query_body NoSuchVariable >"$SCRATCH/q-bad.xml"
got=$(soap "$osinfo_ctl" "$QSV" "$SCRATCH/q-bad.xml" "$SCRATCH/r-bad")
check "QueryStateVariable of an unknown variable: 500 ($got)" [ "$got" == 500 ]
check "... with the UPnP fault 404" [ "$(xp "$SCRATCH/r-bad.body" "//$(el UPnPError)/$(el errorCode)")" == 404 ]

bare400() {
  [[ "$1" == 400 && ! -s "$2.body" ]] &&
    [[ "$(tr -d '\r' <"$2.hdr")" == $'HTTP/1.1 400 Bad Request\nCONNECTION: close' ]]
}
printf '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"><s:Body' >"$SCRATCH/q-broken.xml"
got=$(soap "$osinfo_ctl" "$QSV" "$SCRATCH/q-broken.xml" "$SCRATCH/r-broken")
check "truncated envelope: bare 400 ($got)" bare400 "$got" "$SCRATCH/r-broken"
query_body OSMachineName | sed 's/ s:encodingStyle="[^"]*"//' >"$SCRATCH/q-noenc.xml"
got=$(soap "$osinfo_ctl" "$QSV" "$SCRATCH/q-noenc.xml" "$SCRATCH/r-noenc")
check "envelope without encodingStyle: bare 400 ($got)" bare400 "$got" "$SCRATCH/r-noenc"

# ===========================================================================
section "IGD: port mappings with upnpc"
out=$(upnpc_on lan1 -s)
check "upnpc -s: ExternalIPAddress = $WAN_OLD" contains "$out" "ExternalIPAddress = $WAN_OLD"$'\n'
check "upnpc -s: status Connected" contains "$out" "Status : Connected"

wan_id=$(on router routerctl interface print | awk '$2 == "wan" {print $1}' || true)
rule_fields() { # WAN-ADDRESS
  echo chain='"dstnat"' in-interface="$wan_id" dst-address-from="$1" dst-address-to="$1" \
    dst-port=18080-18080 protocol=6 to-address-from="$LAN1" to-address-to="$LAN1" \
    to-port-from=8080 to-port-to=8080
}
out=$(upnpc_on lan1 -a "$LAN1" 8080 18080 TCP)
check "upnpc -a $LAN1 8080 18080 TCP succeeds" \
  contains "$out" "external $WAN_OLD:18080 TCP is redirected to internal $LAN1:8080"
# shellcheck disable=SC2046
check "routerctl nat print shows the rule with its fields" rule_has 18080 $(rule_fields "$WAN_OLD")

out=$(upnpc_on lan1 -l)
check "upnpc -l lists the dummy entry" \
  grep -qE "^ *0 TCP +0->0\.0\.0\.0:0 +'Dummy inactive rule for windows to work'" <<<"$out"
check "upnpc -l lists the mapping" grep -qE "^ *1 TCP 18080->$LAN1:8080 " <<<"$out"

out=$(upnpc_on lan2 -a "$LAN2" 8080 18080 TCP)
check "lan2 mapping the same port is refused with 718" contains "$out" "failed with code 718"
check "... and the rule still points to lan1" rule_has 18080 to-address-from="$LAN1"
check "... and it is the only rule" [ "$(nat_print | wc -l)" -eq 2 ]

out=$(upnpc_on lan1 -d 18080 TCP)
check "upnpc -d 18080 TCP succeeds" contains "$out" "UPNP_DeletePortMapping() returned : 0"
check "... and its rule is gone" nat_empty

out=$(upnpc_on lan1 -a "$LAN1" 8080 18080 TCP)
check "upnpc -a again" contains "$out" "is redirected to internal $LAN1:8080"
router_address add "$WAN_NEW/24" wan wan0 || fail "add the WAN address $WAN_NEW/24"
router_address remove "$WAN_OLD/24" wan wan0 || fail "remove the WAN address $WAN_OLD/24"
# shellcheck disable=SC2046
check "WAN address change: the rule follows to $WAN_NEW" \
  until_true 5 rule_has 18080 $(rule_fields "$WAN_NEW")
retarget=$(on router routerctl nat requests | awk '$2 == "set"' || true)
check "... through a set request with the new address" \
  contains "$retarget" "dst-address-from=$WAN_NEW dst-address-to=$WAN_NEW"

# ===========================================================================
section "GENA: WANIPConnection events to a callback server on lan1"
mkdir -p "$SCRATCH/events"
on lan1 python3 "$SCRATCH/callback.py" "$LAN1" 5000 "$SCRATCH/events" >"$SCRATCH/callback.log" 2>&1 &
CALLBACK_PID=$!
disown "$CALLBACK_PID"  # its end is ours, not a job report
check "callback server listens on $LAN1:5000" until_true 5 test -f "$SCRATCH/events/ready"

WANIP=$(service schemas-upnp-org:service:WANIPConnection:1)
event_url=$BASE$(xp "$GW" "$WANIP/$(el eventSubURL)")
gena() { # METHOD OUT-PREFIX HEADER...
  local method=$1 out=$2; shift 2
  local args=() h
  for h in "$@"; do args+=(-H "$h"); done
  on lan1 curl -sS --max-time 5 -X "$method" -D "$out.hdr" -o /dev/null -w '%{http_code}' \
    -H "HOST: $ROUTER:2828" "${args[@]}" "$event_url" 2>&1 || true
}
header_of() { tr -d '\r' <"$1" | awk -v h="$2" 'tolower($0) ~ "^" tolower(h) ":" {sub(/^[^:]*: */, ""); print; exit}'; }

got=$(gena SUBSCRIBE "$SCRATCH/sub" "CALLBACK: <http://$LAN1:5000/evt>" "NT: upnp:event" "TIMEOUT: Second-1800")
sid=$(header_of "$SCRATCH/sub.hdr" SID)
check "SUBSCRIBE: 200 ($got)" [ "$got" == 200 ]
check "SUBSCRIBE: SID '$sid' is a version-4 uuid" \
  grep -qxE 'uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}' <<<"$sid"
check "SUBSCRIBE: TIMEOUT Second-1800" [ "$(header_of "$SCRATCH/sub.hdr" TIMEOUT)" == Second-1800 ]

entries_in() { xp <(notify_body "$1") "//$(el PortMappingNumberOfEntries)"; }
if until_true 5 notify_arrived "$sid" 0; then
  first=$(notify_with "$sid" 0)
  ok "initial NOTIFY with SEQ 0 arrived"
  check "... to the callback path" [ "$(head -n1 "$first")" == "NOTIFY /evt HTTP/1.1" ]
  check "... with NT upnp:event and NTS upnp:propchange" \
    [ "$(header_of "$first" NT)/$(header_of "$first" NTS)" == upnp:event/upnp:propchange ]
  check "... a well-formed property set" xmllint --noout <(notify_body "$first")
  count=$(entries_in "$first")
  check "... carrying PortMappingNumberOfEntries ($count)" grep -qxE '[0-9]+' <<<"$count"
else
  fail "initial NOTIFY with SEQ 0 arrived"
  count=0
fi

out=$(upnpc_on lan1 -a "$LAN1" 8081 18081 TCP)
check "upnpc -a $LAN1 8081 18081 TCP" contains "$out" "is redirected to internal $LAN1:8081"
if until_true 5 notify_arrived "$sid" 1; then
  second=$(notify_with "$sid" 1)
  check "NOTIFY SEQ 1: PortMappingNumberOfEntries $((count + 1))" [ "$(entries_in "$second")" == $((count + 1)) ]
else
  fail "NOTIFY SEQ 1 after the new mapping arrived"
fi

got=$(gena SUBSCRIBE "$SCRATCH/renew" "SID: $sid" "TIMEOUT: Second-1800")
check "renewal: 200 ($got)" [ "$got" == 200 ]
check "renewal: the same SID" [ "$(header_of "$SCRATCH/renew.hdr" SID)" == "$sid" ]
got=$(gena UNSUBSCRIBE "$SCRATCH/unsub" "SID: $sid")
check "UNSUBSCRIBE: 200 ($got)" [ "$got" == 200 ]
got=$(gena SUBSCRIBE "$SCRATCH/renew2" "SID: $sid" "TIMEOUT: Second-1800")
check "renewal after UNSUBSCRIBE: 412 ($got)" [ "$got" == 412 ]

before=$(find "$SCRATCH/events" -name 'notify-*.txt' | wc -l)
out=$(upnpc_on lan1 -d 18081 TCP)
check "upnpc -d 18081 TCP" contains "$out" "UPNP_DeletePortMapping() returned : 0"
sleep 1
check "no NOTIFY after UNSUBSCRIBE" [ "$(find "$SCRATCH/events" -name 'notify-*.txt' | wc -l)" -eq "$before" ]
kill -TERM "$CALLBACK_PID" 2>/dev/null || true
check "callback server stopped" until_true 3 gone "$CALLBACK_PID"
CALLBACK_PID=""

# ===========================================================================
section "IGD: removing the external entry removes every rule"
check "a rule exists before" [ -n "$(nat_rule 18080)" ]
check "upnpctl interface remove interface=wan" on router upnpctl interface remove interface=wan
check "every NAT rule is removed" until_true 5 nat_empty
check "log shows 'stop ext: wan'" log_has_times 1 "stop ext: wan"

# ===========================================================================
section "exit: disabling stops the daemon"
on router upnpctl interface add interface=wan type=external >/dev/null || fail "upnpctl interface add wan again"
lab stop-upnpd >/dev/null || fail "lab.sh stop-upnpd"
OWN_LOG=$SCRATCH/upnpd-own.log
launch_upnpd "$OWN_LOG"
check "own upnpd comes up enabled" until_true 5 grep -qxF "start int: lan $ROUTER" "$OWN_LOG"
check "upnpctl set enabled=no" on router upnpctl set enabled=no
if wait_own_exit 5; then
  ok "upnpd left within 5 s of the disable"
  check "... with exit status 0 (got $OWN_STATUS)" [ "$OWN_STATUS" -eq 0 ]
else
  fail "upnpd left within 5 s of the disable"
fi
check "... after stopping the internal interface" grep -qxF "stop int: lan" "$OWN_LOG"
check "... and the external one" grep -qxF "stop ext: wan" "$OWN_LOG"
check "... its log ends with 'main() out'" [ "$(tail -n1 "$OWN_LOG")" == "main() out" ]

section "exit: a daemon started disabled leaves by itself"
OWN_LOG=$SCRATCH/upnpd-disabled.log
launch_upnpd "$OWN_LOG"
if wait_own_exit 5; then
  ok "disabled upnpd left within 5 s"
  check "... with exit status 0 (got $OWN_STATUS)" [ "$OWN_STATUS" -eq 0 ]
else
  fail "disabled upnpd left within 5 s"
fi
check "... its log starts with 'main() in'" grep -qxF "main() in" "$OWN_LOG"
check "... its log ends with 'main() out'" [ "$(tail -n1 "$OWN_LOG")" == "main() out" ]
check "... and it started no interface" [ "$(count_lines "$OWN_LOG" "start int: lan $ROUTER")" -eq 0 ]

if [[ $FAILURES -ne 0 ]]; then
  echo "test_e2e: $FAILURES failure(s); upnpd log of the lab run:"
  sed 's/^/  | /' "$UPNPD_LOG" 2>/dev/null | tail -n 40 || true
  exit 1
fi
echo "test_e2e: passed (${SECONDS} s)"
