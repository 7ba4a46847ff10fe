#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
          binutils-mingw-w64-x86-64 wine64 fonts-wine xvfb x11-utils imagemagick python3 file
          clang-format clang-tidy libcli11-dev nlohmann-json3-dev nettle-dev fonts-dejavu-core
          unzip dpkg-dev man-db bash-completion python3-pefile)
if [ "${1:-}" = "--run-only" ]; then
  packages=(cmake make g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 fonts-wine xvfb
            imagemagick python3 python3-pefile libcli11-dev nlohmann-json3-dev nettle-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
