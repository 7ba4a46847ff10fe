#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
          binutils-mingw-w64-x86-64 wine64 fonts-wine xvfb x11-utils imagemagick python3 file
          clang-format clang-tidy libcli11-dev nlohmann-json3-dev nettle-dev fonts-dejavu-core
          unzip dpkg-dev man-db bash-completion python3-pefile
          postgresql unixodbc-dev odbc-postgresql pkg-config libmicrohttpd-dev
          # batch serve's page is tested in Debian's chromium, driven from node.
          chromium nodejs
          # The i686 release runs under Debian's 32-bit Wine; its dtucfg.exe
          # reaches PostgreSQL through Wine's odbc32, which loads the i386
          # unixODBC and driver. Both read the same /etc/odbcinst.ini.
          wine32:i386 libodbc2:i386 odbc-postgresql:i386)
if [ "${1:-}" = "--run-only" ]; then
  packages=(cmake make g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 fonts-wine xvfb
            imagemagick python3 python3-pefile libcli11-dev nlohmann-json3-dev nettle-dev
            unixodbc-dev odbc-postgresql pkg-config libmicrohttpd-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -q
  # Others may be installing on the same machine: wait for them, not fail.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

# The package registers its drivers only when /etc/odbcinst.ini names no
# PostgreSQL driver at all; a half-edited file is put right here. The driver
# is named by file alone: each unixODBC looks for it in its own
# architecture's odbc folder, so wine64 and the 32-bit Wine both find theirs.
for driver in "PostgreSQL Unicode" "PostgreSQL ANSI"; do
  if ! odbcinst -q -d -n "$driver" >/dev/null 2>&1; then
    $sudo odbcinst -i -d -r >/dev/null <<<"$(awk -v want="[$driver]" \
      '/^\[/ { on = ($0 == want) } on' /usr/share/psqlodbc/odbcinst.ini.template)"
  fi
done

# The page test's driver of chromium, as tests/e2e/web/package-lock.json pins
# it (it brings no browser of its own).
if [ "${1:-}" != "--run-only" ]; then
  command -v npm >/dev/null || DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q \
    --no-install-recommends -o DPkg::Lock::Timeout=600 npm
  (cd "$(dirname "$0")/../tests/e2e/web" && npm ci --no-audit --no-fund --loglevel=error)
fi
