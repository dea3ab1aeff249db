# shellcheck shell=bash disable=SC2154  # NAME comes from the sourcing script
# Sourced by the lab tests (scripts/test_*.sh) after they set NAME, the lab's
# name: skips (exit 77) without root, sets REPO, BIN (the build directory given
# as the first argument, else build/), LAB and SCRATCH, takes the lab down and
# runs the commands in CLEANUP on exit, and gives the ok/fail helpers.

TEST=$(basename "$0" .sh)
if [[ $(id -u) -ne 0 ]]; then
  echo "$TEST: skipped (needs root)"
  exit 77
fi
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=$(cd "${1:-$REPO/build}" && pwd)
LAB=$REPO/scripts/lab.sh
FAILURES=0
CLEANUP=()
SCRATCH=$(mktemp -d "/tmp/$TEST.XXXXXX")

cleanup() {
  local command
  for command in "${CLEANUP[@]}"; do eval "$command" >/dev/null 2>&1 || true; done
  "$LAB" --name "$NAME" down >/dev/null 2>&1 || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# need TOOL...: each is a binary of the build or a command on PATH.
need() { local t; for t in "$@"; do [[ -x "$BIN/$t" ]] || command -v "$t" >/dev/null || { echo "FAIL: no $t (scripts/deps.sh)"; exit 1; }; done; }

ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
# check DESCRIPTION CMD...: one ok/FAIL line for the outcome of CMD.
check() { local what=$1; shift; if "$@"; then ok "$what"; else fail "$what"; fi; }
# until_true SECONDS CMD...: retries CMD every 0.1 s for at most SECONDS.
until_true() {
  local tries=$(($1 * 10)); shift
  until "$@"; do
    ((tries-- > 0)) || return 1
    sleep 0.1
  done
}
contains() { [[ "$1" == *"$2"* ]]; }

lab() { "$LAB" --name "$NAME" --bin "$BIN" "$@"; }
on() { local node=$1; shift; lab exec "$node" "$@"; }

# finish [LOG]: the verdict; on failure the tail of LOG as well.
finish() {
  if ((FAILURES)); then
    echo "$TEST: $FAILURES failure(s)"
    [[ -n "${1:-}" ]] && tail -n 40 "$1" 2>/dev/null | sed 's/^/  | /'
    exit 1
  fi
  echo "$TEST: passed"
}
