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
  cmake -S "$root" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== build"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== tests"
(cd build && ctest --output-on-failure -j"$jobs")

# One clang build serves both the ASan+UBSan run of the suite and the fuzz
# targets (libFuzzer needs clang).
echo "== build (ASan+UBSan, clang, with fuzz targets)"
build build-san -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DUPNPD_SANITIZE=ON -DUPNPD_FUZZ=ON -DUPNPD_BENCH=OFF
echo "== tests (ASan+UBSan)"
(cd build-san && ctest --output-on-failure -j"$jobs" -LE lab)

echo "== fuzz smoke"
FUZZ_SECONDS=${FUZZ_SECONDS:-15} scripts/fuzz_smoke.sh build-san
echo "all tests passed"
