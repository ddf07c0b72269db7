#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Idempotent: asks apt only for what is missing.
set -euo pipefail

packages=(
  g++ clang libclang-rt-14-dev cmake ninja-build make
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  binutils srecord time python3
  libedit-dev
  pkg-config libusb-1.0-0-dev umockdev libumockdev-dev
  default-jdk-headless junit5
  pkgconf dpkg-dev file
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  mingw-w64-i686-dev mingw-w64-x86-64-dev
  wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages and not root; run as root: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
