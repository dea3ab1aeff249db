#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config clang
  libgtest-dev libgmock-dev libexpat1-dev libbenchmark-dev
  iproute2 procps curl libxml2-utils python3 systemd
  miniupnpc python3-gi gir1.2-gssdp-1.6
  libnftables-dev nftables
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
