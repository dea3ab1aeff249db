#!/usr/bin/env bash
# Test-to-code ratio: non-blank lines that are not comments, of the code
# (daemon model ssdp http igd platform: .cpp and .h, without lines starting with
# //, /* or *) and of the tests (tests/ by the same rule, plus the lab test
# scripts without # lines).
#   scripts/count_lines.sh

set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cpp_lines() {
  find "$@" \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat |
    grep -v '^[[:space:]]*$' | grep -cvE '^[[:space:]]*(//|/\*|\*)' || true
}
sh_lines() { cat "$@" | grep -v '^[[:space:]]*$' | grep -cvE '^[[:space:]]*#' || true; }

code=$(cpp_lines daemon model ssdp http igd platform)
tests=$(( $(cpp_lines tests) + $(sh_lines scripts/test_*.sh scripts/lab_common.sh) ))
echo "code lines: $code"
echo "test lines: $tests"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio: %.2f\n", t / c }'
