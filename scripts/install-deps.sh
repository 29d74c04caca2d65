#!/usr/bin/env bash
# Installs the Debian packages igd1 needs to build, run and test, when missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libglib2.0-dev libglib2.0-bin libsqlite3-dev sqlite3
  dbus-daemon dbus-bin util-linux jq
  libgtest-dev libgmock-dev libbenchmark-dev libsystemd-dev
  libcurl4-openssl-dev
  libmnl-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q || true
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
