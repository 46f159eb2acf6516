#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need.
# Does nothing when every package is present; runs apt-get update only when
# something has to be installed.
set -euo pipefail

packages=(
  build-essential cmake make pkg-config
  libasio-dev libssl-dev openssl libsodium-dev liblz4-dev libudt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
# Extra packages, e.g. the peer libraries the benchmarks compare against.
if [ "$#" -gt 0 ]; then packages+=("$@"); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "install-deps: need root to install ${missing[*]}" >&2; exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
