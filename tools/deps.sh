#!/usr/bin/env bash
# Installs with apt-get whatever this Debian machine lacks to build and test
# pmdblib; checks first and installs only what is missing.
set -euo pipefail
pkgs=(cmake make g++ clang libclang-rt-14-dev binutils pkgconf libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev liblmdb-dev python3 python3-pip python3-setuptools python3-wheel python3-pytest python3-venv)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
