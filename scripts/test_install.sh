#!/usr/bin/env bash
# What `cmake --install` lays down, installed into a scratch DESTDIR:
#   test_install.sh [BUILD-DIR]     (default: the repo's build/)
# Checks the binaries, the files the daemon serves, the sample configuration
# (copied to routerd.conf only when there is none), and that systemd-analyze
# verify accepts the units. Exits 77 (skipped) without systemd-analyze.

set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=$(cd "${1:-$REPO/build}" && pwd)
FAILURES=0

command -v systemd-analyze >/dev/null || { echo "test_install: skipped (no systemd-analyze)"; exit 77; }
cache() { sed -n "s/^$1:[A-Z]*=//p" "$BIN/CMakeCache.txt"; }
read -r PREFIX ROOT CONF UNITS < <(for v in CMAKE_INSTALL_PREFIX UPNPD_PLATFORM_ROOT UPNPD_CONFIG_DIR \
  UPNPD_SYSTEMD_UNIT_DIR; do cache $v; done | paste -sd' ')

DEST=$(mktemp -d /tmp/test-install.XXXXXX)
trap 'rm -rf "$DEST"' EXIT
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }

DESTDIR=$DEST cmake --install "$BIN" >"$DEST.log" 2>&1 || { cat "$DEST.log"; rm -f "$DEST.log"; echo "FAIL: cmake --install"; exit 1; }
rm -f "$DEST.log"

for f in sbin/upnpd sbin/routerd bin/upnpctl bin/routerctl; do
  [[ -x "$DEST$PREFIX/$f" ]] || fail "$PREFIX/$f not installed"
done
for f in "$REPO"/etc/*; do
  cmp -s "$f" "$DEST$ROOT/zelo/etc/upnp/$(basename "$f")" || fail "$(basename "$f") not in $ROOT/zelo/etc/upnp"
done
cmp -s "$REPO/dist/routerd/routerd.conf" "$DEST$CONF/routerd.conf" || fail "sample not installed as $CONF/routerd.conf"
echo "# edited" >>"$DEST$CONF/routerd.conf"
DESTDIR=$DEST cmake --install "$BIN" >/dev/null 2>&1 || fail "second cmake --install"
[[ "$(tail -n1 "$DEST$CONF/routerd.conf")" == "# edited" ]] || fail "a reinstall overwrote $CONF/routerd.conf"

name=$(sed -n 's/^ListenStream=//p' "$DEST$UNITS/upnpd.socket")
[[ "$name" == "@zelo-bus:$ROOT:80" ]] || fail "upnpd.socket listens on '$name'"
grep -qxF "Environment=ZELO_ROOT=$ROOT" "$DEST$UNITS/upnpd.service" || fail "upnpd.service lacks ZELO_ROOT=$ROOT"
grep -qxF "ExecStart=$PREFIX/sbin/upnpd" "$DEST$UNITS/upnpd.service" || fail "upnpd.service ExecStart"

# verify resolves ExecStart= inside the root given, where the binaries are;
# the machine's own units (targets the ours depend on) are copied there.
mkdir -p "$DEST/usr/lib/systemd"
cp -a /usr/lib/systemd/system "$DEST/usr/lib/systemd/" 2>/dev/null || fail "copy of the system's units"
[[ -e "$DEST/lib" ]] || ln -s usr/lib "$DEST/lib"
out=$(cd "$DEST$UNITS" && systemd-analyze verify --man=no --root="$DEST" \
  routerd.service upnpd.socket upnpd.service 2>&1)
rc=$?
if [[ $rc -ne 0 || -n "$out" ]]; then fail "systemd-analyze verify (status $rc):"$'\n'"$out"; fi

if ((FAILURES > 0)); then echo "test_install: $FAILURES check(s) failed"; exit 1; fi
echo "test_install: all checks passed"
