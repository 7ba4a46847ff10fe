#!/usr/bin/env bash
# Makes a private Wine prefix in which no COM port reaches a real serial device.
#
#   scripts/wine-prefix.sh [--arch win32|win64] PREFIX [COMn=DEVICE ...]
#
# --arch is the kind of a new prefix: win32 for the i686 release under the
# 32-bit Wine (scripts/wine32), win64 (the default) for the x86-64 build under
# wine64. A prefix that exists keeps its kind; naming another is refused.
# Every one of COM1..COM255 is set in HKLM\Software\Wine\Ports: the ports named
# on the command line to their devices (ptys of a simulated unit, an adapter),
# all others to an empty directory, which Wine then fails to open. The script
# refuses (exit 3) if any of com1..com255 still points at /dev/ttyS*. Wine
# gives COM256 a real port whatever the registry says; scripts/wine32,
# scripts/wine64 and scripts/wineserver keep it out of reach (see
# mask-serial.sh).
set -euo pipefail

usage() {
  echo "usage: $0 [--arch win32|win64] PREFIX [COMn=DEVICE ...]" >&2
  exit 2
}
arch=""
if [ "${1:-}" = "--arch" ]; then
  arch=${2:-}
  shift 2 || usage
  case "$arch" in win32 | win64) ;; *) usage ;; esac
fi
[ $# -ge 1 ] || usage
prefix=$(realpath -m "$1")
shift

made=""
if [ -f "$prefix/system.reg" ]; then
  made=$(sed -n 's/^#arch=//p' "$prefix/system.reg" | head -n 1)
fi
if [ -n "$made" ] && [ -n "$arch" ] && [ "$made" != "$arch" ]; then
  echo "$0: $prefix is a $made prefix, not $arch" >&2
  exit 2
fi
arch=${made:-${arch:-win64}}
here=$(dirname "$(realpath "$0")")
if [ "$arch" = win32 ]; then
  WINE=${WINE32:-$here/wine32}
else
  WINE=${WINE64:-$here/wine64}
fi
WINESERVER=${WINESERVER:-$here/wineserver}
export WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=${WINEDEBUG:--all} \
  WINEDLLOVERRIDES="mscoree,mshtml="

declare -A wanted=()
for mapping in "$@"; do
  port=${mapping%%=*}
  device=${mapping#*=}
  port=${port^^}
  if ! [[ "$port" =~ ^COM([1-9][0-9]?|1[0-9][0-9]|2[0-4][0-9]|25[0-5])$ ]]; then
    echo "$0: bad port in '$mapping'" >&2
    exit 2
  fi
  case "$(realpath -m "$device")" in
    /dev/ttyS*) echo "$0: refusing to map $port to a real serial port: $device" >&2; exit 3 ;;
  esac
  wanted[$port]=$device
done

mkdir -p "$prefix"
if [ ! -f "$prefix/system.reg" ]; then
  "$WINE" wineboot -i >/dev/null 2>&1 || true
  "$WINESERVER" -w
fi

nowhere="$prefix/no-serial-port"
mkdir -p "$nowhere"
reg="$prefix/ports.reg"
{
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
  for i in $(seq 1 255); do
    target=${wanted[COM$i]:-$nowhere}
    printf '"COM%d"="%s"\r\n' "$i" "${target//\\/\\\\}"
  done
} >"$reg"
"$WINE" regedit /S "$reg" >/dev/null 2>&1
"$WINESERVER" -w
# The mount manager rewrites dosdevices from the registry when Wine starts,
# but not always before a short command ends: write the links ourselves too,
# to the same targets, so that no start can leave a real port behind.
link_ports() {
  for i in $(seq 1 255); do
    ln -sfn "${wanted[COM$i]:-$nowhere}" "$prefix/dosdevices/com$i"
  done
}
link_ports
"$WINE" cmd /c exit >/dev/null 2>&1 || true
"$WINESERVER" -w
link_ports

status=0
for i in $(seq 1 255); do
  link="$prefix/dosdevices/com$i"
  [ -L "$link" ] || continue
  target=$(readlink "$link")
  case "$target" in
    /dev/ttyS*) echo "$0: com$i still points at $target" >&2; status=3 ;;
  esac
done
for port in "${!wanted[@]}"; do
  n=${port#COM}
  target=$(readlink "$prefix/dosdevices/com$n" || true)
  if [ "$target" != "${wanted[$port]}" ]; then
    echo "$0: $port points at '${target}', not ${wanted[$port]}" >&2
    status=3
  fi
done
exit $status
