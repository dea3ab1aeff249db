#!/bin/sh
# Builds every fuzz target with clang and runs each one for a bounded time.
# Fails on the first build error or finding (crash, leak, sanitizer report,
# timeout or memory limit). Usage: scripts/fuzz_smoke.sh [build-dir]
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-fuzz}
seconds=${FUZZ_SECONDS:-20}

cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUPNPD_FUZZ=ON -DUPNPD_TESTS=OFF -DUPNPD_BENCH=OFF >/dev/null

targets=""
for f in "$src"/fuzz/*_fuzz.cpp; do
  [ -e "$f" ] || continue
  targets="$targets $(basename "$f" .cpp)"
done
if [ -z "$targets" ]; then
  echo "no fuzz targets" >&2
  exit 1
fi

# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets

status=0
for t in $targets; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  echo "== $t (${seconds}s)"
  if ! (cd "$build" && "./$t" -max_total_time="$seconds" -rss_limit_mb=1024 -timeout=10 \
        -print_final_stats=1 "$corpus" 2>"$build/$t.log"); then
    echo "FAIL: $t (see $build/$t.log)" >&2
    tail -n 30 "$build/$t.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$build/$t.log" || true
  fi
done
exit $status
