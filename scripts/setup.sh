#!/usr/bin/env bash
# Installs the Debian packages that the builds need, when any is missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang-14 libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
      nlohmann-json3-dev libcli11-dev ccache
      g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
