#!/usr/bin/env bash
# Installs what is missing, builds everything (normal and ASan+UBSan builds),
# and runs every test, then a short smoke run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh

jobs=$(nproc)
build() {  # dir, extra cmake args...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== build"
build build
echo "== tests"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== build (ASan+UBSan)"
build build-asan -DUPNPD_SANITIZE=ON -DUPNPD_BENCH=OFF
echo "== tests (ASan+UBSan)"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j"$jobs" -LE lab)

echo "== fuzz smoke"
scripts/fuzz_smoke.sh build-fuzz
echo "all tests passed"
