#!/bin/sh
# Builds every fuzz target with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 20). Fails if any target does not build or reports a
# finding (crash, sanitizer report, leak, timeout, memory limit); each target's
# output goes to <build-dir>/<target>.log.
# Usage: scripts/fuzz_smoke.sh [build-dir]   (default: build-fuzz in the source tree)
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)
seconds=${FUZZ_SECONDS:-20}

# A build directory already configured for fuzzing (the sanitizer build of
# scripts/test.sh) is used as it is.
if ! grep -qs '^UPNPD_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
  cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUPNPD_FUZZ=ON -DUPNPD_TESTS=OFF -DUPNPD_BENCH=OFF >/dev/null
fi

targets=""
for f in "$src"/fuzz/*_fuzz.cpp; do
  [ -e "$f" ] || continue
  targets="$targets $(basename "$f" .cpp)"
done
if [ -z "$targets" ]; then
  echo "no fuzz targets" >&2
  exit 1
fi

# Each target is built and run on its own, so one broken target does not hide
# findings in the others; any failure still fails the script.
status=0
for t in $targets; do
  echo "== $t"
  if ! cmake --build "$build" -j2 --target "$t" >"$build/$t.build.log" 2>&1; then
    echo "FAIL: $t does not build (see $build/$t.build.log)" >&2
    grep -E 'error' "$build/$t.build.log" | head -n 10 >&2 || true
    status=1
    continue
  fi
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  if ! (cd "$build" && "./$t" -max_total_time="$seconds" -rss_limit_mb=1024 -timeout=10 \
        -print_final_stats=1 "$corpus" >"$build/$t.log" 2>&1); then
    echo "FAIL: $t found a problem (see $build/$t.log)" >&2
    tail -n 30 "$build/$t.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$build/$t.log" || true
  fi
done
exit $status
