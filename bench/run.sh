#!/usr/bin/env bash
# The daemon side by side with the limit: a server that only accepts, reads the
# request and writes a canned answer of the same bytes (bench/tools/limit_server).
#
#   bench/run.sh [BUILD_DIR]          (as root; BUILD_DIR defaults to build/)
#
# Builds what it needs (RelWithDebInfo) when BUILD_DIR has no build yet, brings
# up its own lab (lab.sh --name $BENCH_LAB --index $BENCH_INDEX), starts
# routerd and upnpd in the router, enables UPnP on lan (internal) and wan
# (external), and runs every case in rounds A L L A (A: the daemon, L: the
# limit), the clients in the lan1 host, with the same request bytes; the limit
# answers with the daemon's own answer to that request. Prints one table.
#
# Rates are the mean of each side's rounds; "best-round ratio" compares each
# side's fastest round, which other load on the machine disturbs less. The
# server CPU column is the server process's own CPU time per answered request.
#
# Environment: BENCH_SECONDS per round (2), BENCH_ROUNDS (4, a multiple of 4
# keeps A and L balanced), BENCH_BIG mappings of the large table (50000),
# BENCH_LAB (zbench), BENCH_INDEX (9), BENCH_KEEP=1 keeps the work directory,
# BENCH_FILL_CLIENTS (1) clients at once while the mappings are added: more
# fill faster only when the daemon's listen backlog holds them (a dropped
# connection costs its client a SYN retry of a second or more).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(realpath -m "${1:-$REPO/build}")
SECONDS_PER_ROUND=${BENCH_SECONDS:-2}
ROUNDS=${BENCH_ROUNDS:-4}
BIG=${BENCH_BIG:-50000}
LAB=${BENCH_LAB:-zbench}
INDEX=${BENCH_INDEX:-9}
LAN=10.77.$INDEX
ROUTER=$LAN.1
CLIENT=$LAN.10
DAEMON_HTTP=$ROUTER:2828
LIMIT_HTTP=$ROUTER:2829
# Searches go to the SSDP group, as control points send them; the limit has
# its own port in the same group. Answers count when they come from the
# router's address and the port searched.
GROUP=239.255.255.250
DAEMON_SSDP=$GROUP:1900
LIMIT_SSDP=$GROUP:1901
FILL_CLIENTS=${BENCH_FILL_CLIENTS:-1}

die() { echo "bench: $*" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || die "must run as root (network namespaces)"
[[ "$SECONDS_PER_ROUND" =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "BENCH_SECONDS must be a number"
[[ "$ROUNDS" =~ ^[1-9][0-9]?$ ]] || die "BENCH_ROUNDS must be 1..99"
[[ "$FILL_CLIENTS" =~ ^[1-9][0-9]?$ ]] || die "BENCH_FILL_CLIENTS must be 1..99"
[[ "$BIG" =~ ^[0-9]+$ && "$BIG" -gt 1000 && "$BIG" -le 50000 ]] || die "BENCH_BIG must be 1001..50000"

# --- build ---------------------------------------------------------------
TARGETS=(upnpd routerd routerctl upnpctl load limit_server)
if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
  cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" -j2 --target "${TARGETS[@]}" >/dev/null || die "build failed (cmake --build $BUILD)"

# --- lab -----------------------------------------------------------------
WORK=$(mktemp -d /tmp/upnpd-bench.XXXXXX)
LIMIT_PID=""
lab() { "$REPO/scripts/lab.sh" --name "$LAB" --index "$INDEX" --bin "$BUILD" "$@"; }
cleanup() {
  if [[ -n "$LIMIT_PID" ]]; then kill "$LIMIT_PID" 2>/dev/null || true; fi
  lab down >/dev/null 2>&1 || true
  if [[ "${BENCH_KEEP:-}" == 1 ]]; then echo "bench: work files kept in $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

lab down >/dev/null 2>&1 || true
lab up >/dev/null
STATE=/tmp/zelo-lab-$LAB
ctl() { ip netns exec "$LAB-router" env ZELO_ROOT="$STATE/root" "$BUILD/$1" "${@:2}"; }
in_lan1() { ip netns exec "$LAB-lan1" "$@"; }
# A daemon whose settings say disabled leaves after a second: enable it as soon
# as it answers, and start it again if it left before that.
enabled=""
for _ in $(seq 5); do
  lab start-upnpd >/dev/null
  for _ in $(seq 40); do
    if ctl upnpctl set enabled=yes >/dev/null 2>&1; then enabled=yes; break; fi
    sleep 0.02
  done
  [[ -n "$enabled" ]] && break
  sleep 1.2
done
[[ -n "$enabled" ]] || die "could not enable the daemon (log: $STATE/upnpd.log)"
ctl upnpctl interface add interface=wan type=external >/dev/null
ctl upnpctl interface add interface=lan type=internal >/dev/null
DAEMON_PID=$(cat "$STATE/upnpd.pid")

LOAD=$BUILD/load
"$LOAD" get /gateway.xml "$DAEMON_HTTP" >"$WORK/get.req"
ready=""
for _ in $(seq 50); do
  if in_lan1 "$LOAD" http "$DAEMON_HTTP" --request "$WORK/get.req" --count 1 --timeout-ms 500 \
       --save "$WORK/get.ans" 2>/dev/null | grep -q '^ok=1 '; then ready=yes; break; fi
  sleep 0.1
done
[[ -n "$ready" ]] || die "the daemon does not serve /gateway.xml on $DAEMON_HTTP (log: $STATE/upnpd.log)"
sleep 1  # the start-up burst of announcements is over

# The WAN IP connection service and the root device, as a control point finds them.
flat=$(tr -d '\r\n' <"$WORK/get.ans")
SERVICE=$(grep -o '<serviceType>[^<]*:WANIPConnection:[0-9]*</serviceType>' <<<"$flat" | head -1 | sed 's/<[^>]*>//g')
CONTROL=$(grep -o ":WANIPConnection:[0-9]*</serviceType>.*" <<<"$flat" | grep -o '<controlURL>[^<]*</controlURL>' |
          head -1 | sed 's/<[^>]*>//g')
DEVICE=$(grep -o '<deviceType>[^<]*</deviceType>' <<<"$flat" | head -1 | sed 's/<[^>]*>//g')
[[ -n "$SERVICE" && -n "$CONTROL" && -n "$DEVICE" ]] || die "no WANIPConnection service in the description"

soap() { "$LOAD" soap "$CONTROL" "$DAEMON_HTTP" "$SERVICE" "$@"; }
soap GetExternalIPAddress >"$WORK/ip.req"
soap AddPortMapping NewRemoteHost= NewExternalPort=9000 NewProtocol=TCP NewInternalPort=9000 \
  NewInternalClient="$CLIENT" NewEnabled=1 NewPortMappingDescription=bench NewLeaseDuration=0 >"$WORK/add.req"
soap DeletePortMapping NewRemoteHost= NewExternalPort=9000 NewProtocol=TCP >"$WORK/delete.req"
soap GetGenericPortMappingEntry NewPortMappingIndex=999 >"$WORK/entry1k.req"
soap GetGenericPortMappingEntry NewPortMappingIndex=$((BIG - 1)) >"$WORK/entrybig.req"
printf 'M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\nMX: 1\r\nST: %s\r\n\r\n' \
  "$DEVICE" >"$WORK/search.req"

# --- measuring -------------------------------------------------------------
kv() { local v; v=$(grep -o "\b$1=[0-9.]*" <<<"$2" | head -1 | cut -d= -f2 || true); echo "${v:-0}"; }
thousands() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }
cpu_ns() { awk '{print $1}' "/proc/$1/schedstat" 2>/dev/null || echo 0; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
dirty_kb() { awk '/^Private_Dirty:/ {print $2}' "/proc/$1/smaps_rollup"; }

start_limit() {  # tcp|udp ENDPOINT ANSWER_FILE...
  ip netns exec "$LAB-router" "$BUILD/limit_server" "$@" --seconds 300 &
  LIMIT_PID=$!
  sleep 0.2
  kill -0 "$LIMIT_PID" 2>/dev/null || die "the limit server did not start"
}
stop_limit() {
  [[ -n "$LIMIT_PID" ]] || return 0
  kill "$LIMIT_PID" 2>/dev/null || true
  wait "$LIMIT_PID" 2>/dev/null || true
  LIMIT_PID=""
}

# Each side's sums over its rounds: rate, p50, p99 (means), worst, failures, CPU.
declare -A SUM
ROWS=()

# one_round SIDE PID LOADMODE ENDPOINT LOADARGS...
one_round() {
  local side=$1 pid=$2 mode=$3 endpoint=$4; shift 4
  local before after line ok
  before=$(cpu_ns "$pid")
  line=$(in_lan1 "$LOAD" "$mode" "$endpoint" --seconds "$SECONDS_PER_ROUND" "$@" 2>>"$WORK/load.err")
  after=$(cpu_ns "$pid")
  [[ -n "$line" ]] || die "load printed nothing (see $WORK/load.err)"
  echo "  $side: $line" >>"$WORK/rounds.log"
  if [[ $mode == flood ]]; then ok=$(kv answers "$line"); else ok=$(kv ok "$line"); fi
  local rate; rate=$(kv rate "$line")
  SUM[$side.rate]=$(echo "${SUM[$side.rate]:-0} + $rate" | bc -l)
  if (( $(echo "$rate > ${SUM[$side.best]:-0}" | bc -l) )); then SUM[$side.best]=$rate; fi
  SUM[$side.p50]=$(echo "${SUM[$side.p50]:-0} + $(kv p50_us "$line")" | bc -l)
  SUM[$side.p99]=$(echo "${SUM[$side.p99]:-0} + $(kv p99_us "$line")" | bc -l)
  local worst; worst=$(kv max_us "$line")
  if (( ${worst%.*} > ${SUM[$side.max]:-0} )); then SUM[$side.max]=${worst%.*}; fi
  SUM[$side.fail]=$(( ${SUM[$side.fail]:-0} + $(kv failures "$line") ))
  SUM[$side.ok]=$(( ${SUM[$side.ok]:-0} + ok ))
  SUM[$side.cpu]=$(( ${SUM[$side.cpu]:-0} + after - before ))
  SUM[$side.n]=$(( ${SUM[$side.n]:-0} + 1 ))
}

# run_case LABEL tcp|udp LOADMODE "LOADARGS" REQUEST... : rounds A L L A ...
run_case() {
  local label=$1 proto=$2 mode=$3 args=$4; shift 4
  local requests=("$@") answers=() loadargs=() i=0
  SUM=()
  echo "$label" >>"$WORK/rounds.log"
  # The limit's answers are the daemon's own, saved from a first request each.
  for req in "${requests[@]}"; do
    i=$((i + 1))
    if [[ $proto == tcp ]]; then
      in_lan1 "$LOAD" http "$DAEMON_HTTP" --request "$req" --count 1 --save "$WORK/answer.$i" >/dev/null ||
        die "$label: the daemon's answer to $(basename "$req") was not 200"
      [[ -s "$WORK/answer.$i" ]] || die "$label: no answer to $(basename "$req") (see $WORK/load.err)"
      answers+=("$WORK/answer.$i")
    else
      rm -f "$WORK/answer.$i".*
      in_lan1 "$LOAD" ssdp "$DAEMON_SSDP" --answers-from "$ROUTER:1900" --request "$req" --count 1 \
        --answers 16 --timeout-ms 1000 --save "$WORK/answer.$i" >/dev/null
      compgen -G "$WORK/answer.$i.*" >/dev/null || die "$label: the daemon did not answer the search"
      for k in $(seq 16); do [[ -f "$WORK/answer.$i.$k" ]] && answers+=("$WORK/answer.$i.$k"); done
    fi
    loadargs+=(--request "$req")
  done
  local limit_at daemon_at daemon_from=() limit_from=()
  if [[ $proto == tcp ]]; then
    limit_at=$LIMIT_HTTP; daemon_at=$DAEMON_HTTP
    start_limit tcp "$limit_at" "${answers[@]}"
  else
    limit_at=$LIMIT_SSDP; daemon_at=$DAEMON_SSDP
    daemon_from=(--answers-from "$ROUTER:1900"); limit_from=(--answers-from "$ROUTER:1901")
    start_limit udp "$limit_at" "${answers[@]}" --interface "$ROUTER"
  fi
  for ((r = 0; r < ROUNDS; r++)); do
    # shellcheck disable=SC2086
    case $((r % 4)) in
      0|3) one_round A "$DAEMON_PID" "$mode" "$daemon_at" "${loadargs[@]}" "${daemon_from[@]}" $args ;;
      *) one_round L "$LIMIT_PID" "$mode" "$limit_at" "${loadargs[@]}" "${limit_from[@]}" $args ;;
    esac
  done
  stop_limit
  ROWS+=("$(row "$label" "$mode")")
}

avg() { echo "scale=1; ${SUM[$1.$2]:-0} / ${SUM[$1.n]:-1}" | bc -l; }
row() {
  local label=$1 mode=$2 ra rl ratio best
  ra=$(avg A rate); rl=$(avg L rate)
  ratio=$(printf '%.2f' "$(echo "if ($rl > 0) $ra / $rl else 0" | bc -l)")
  best=$(printf '%.2f' "$(echo "if (${SUM[L.best]:-0} > 0) ${SUM[A.best]:-0} / ${SUM[L.best]} else 0" | bc -l)")
  local cpua cpul
  cpua=$(( ${SUM[A.ok]:-0} > 0 ? ${SUM[A.cpu]:-0} / ${SUM[A.ok]:-1} / 1000 : 0 ))
  cpul=$(( ${SUM[L.ok]:-0} > 0 ? ${SUM[L.cpu]:-0} / ${SUM[L.ok]:-1} / 1000 : 0 ))
  if [[ $mode == flood ]]; then
    printf '| %s | %.0f | %.0f | %s | %s | - | - | - | - | %s/%s |' "$label" "$ra" "$rl" "$ratio" "$best" "$cpua" "$cpul"
  else
    printf '| %s | %.0f | %.0f | %s | %s | %.0f / %.0f | %.0f / %.0f | %s / %s | %s / %s | %s/%s |' "$label" "$ra" \
      "$rl" "$ratio" "$best" "$(avg A p50)" "$(avg A p99)" "$(avg L p50)" "$(avg L p99)" "${SUM[A.max]:-0}" "${SUM[L.max]:-0}" \
      "${SUM[A.fail]:-0}" "${SUM[L.fail]:-0}" "$cpua" "$cpul"
  fi
}

fill() {  # FROM TO: AddPortMapping for these mapping indexes
  local line
  line=$(in_lan1 "$LOAD" fill "$DAEMON_HTTP" --request-host "$DAEMON_HTTP" --control "$CONTROL" \
    --service "$SERVICE" --client "$CLIENT" --from "$1" --to "$2" --clients "$FILL_CLIENTS" --seconds 600 2>>"$WORK/load.err") ||
    die "filling mappings $1..$2 failed: $line (see $WORK/load.err)"
  echo "fill $1..$2: $line" >>"$WORK/rounds.log"
  FILL_RATE=$(kv rate "$line")
}

IDLE_RSS=$(rss_kb "$DAEMON_PID")
IDLE_DIRTY=$(dirty_kb "$DAEMON_PID")
strip -o "$WORK/upnpd.stripped" "$BUILD/upnpd"
STRIPPED=$(stat -c %s "$WORK/upnpd.stripped")
NEEDED=$(readelf -d "$BUILD/upnpd" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sed 's/\.so.*//' | paste -sd, -)

echo "bench: $ROUNDS rounds of ${SECONDS_PER_ROUND} s per case (A L L A), one client unless said" >&2
run_case "GET /gateway.xml" tcp http "" "$WORK/get.req"
run_case "GetExternalIPAddress" tcp http "" "$WORK/ip.req"
run_case "AddPortMapping+DeletePortMapping, 0 mappings" tcp http "" "$WORK/add.req" "$WORK/delete.req"
run_case "M-SEARCH, first answer" udp ssdp "--timeout-ms 1000" "$WORK/search.req"
run_case "M-SEARCH flood, answers/s" udp flood "" "$WORK/search.req"
run_case "GET /gateway.xml, 16 clients" tcp http "--clients 16" "$WORK/get.req"
fill 0 1000
FILL1K_RATE=$FILL_RATE
RSS_1K=$(rss_kb "$DAEMON_PID")
run_case "AddPortMapping+DeletePortMapping, 1,000 mappings" tcp http "" "$WORK/add.req" "$WORK/delete.req"
run_case "GetGenericPortMappingEntry, last of 1,000" tcp http "" "$WORK/entry1k.req"
fill 1000 "$BIG"
FILLBIG_RATE=$FILL_RATE
RSS_BIG=$(rss_kb "$DAEMON_PID")
run_case "GetGenericPortMappingEntry, last of $(thousands "$BIG")" tcp http "" "$WORK/entrybig.req"

echo
echo "upnpd ($(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo '?')) against the limit, $(nproc) cores, $ROUNDS rounds x ${SECONDS_PER_ROUND} s"
echo
echo "| case | daemon /s | limit /s | ratio | best-round ratio | daemon p50 / p99 µs | limit p50 / p99 µs | worst µs A / L | failures A / L | server CPU µs/req A/L |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${ROWS[@]}"
echo
echo "| memory and size | value |"
echo "|---|---|"
echo "| idle VmRSS (private dirty) | $IDLE_RSS kB ($IDLE_DIRTY kB) |"
echo "| VmRSS with 1,000 mappings | $RSS_1K kB |"
echo "| VmRSS with $(thousands "$BIG") mappings | $RSS_BIG kB |"
echo "| memory per mapping | $(printf '%.2f' "$(echo "($RSS_BIG - $RSS_1K) / ($BIG - 1000)" | bc -l)") kB |"
echo "| stripped upnpd | $STRIPPED bytes, needs $NEEDED |"
echo "| AddPortMapping fill rate ($FILL_CLIENTS client(s)) | $(printf '%.0f' "$FILL1K_RATE")/s to 1,000, $(printf '%.0f' "$FILLBIG_RATE")/s to $(thousands "$BIG") |"
