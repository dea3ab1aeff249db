#!/usr/bin/env bash
# Fails when a file includes a header of a folder above its own layer:
#   platform <- model <- http (with gena) <- ssdp;  model <- igd;  all <- daemon
set -euo pipefail
cd "$(dirname "$0")/.."
allowed() {  # folder -> the include prefixes it may use
  case $1 in
    platform*) echo "platform" ;;
    model*) echo "model platform" ;;
    http*) echo "http model platform" ;;
    ssdp*) echo "ssdp http model platform" ;;
    igd*) echo "igd model platform" ;;
  esac
}
bad=0
for dir in platform model http ssdp igd; do
  ok=$(allowed "$dir")
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$line")
    [[ " $ok " == *" $target "* ]] && continue
    echo "upward include: $line"
    bad=1
  done < <(grep -rn --include='*.h' --include='*.cpp' -E '^#include "[^"]+/' "$dir" || true)
done
exit $bad
