#!/usr/bin/env bash
# Runs the tool under Wine for a new user on a Debian machine: installs what is
# missing, builds, prepares a private Wine prefix and starts the tool in
# build/run, where it keeps DTU.ini.
#
#   scripts/run.sh                        COM1 is a simulated unit (tools/sim_unit.cpp)
#   scripts/run.sh --device /dev/ttyUSB0  COM1 is that serial device: a real unit
#
# On a desktop ($DISPLAY set) the form opens there; without one it runs on a
# private Xvfb, walks through OPEN, SEARCH and Read, saves a screenshot to
# build/run/screenshot.png and closes again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
run_dir=$root/build/run
prefix=$run_dir/prefix
WINE64=${WINE64:-$root/scripts/wine64}

device=""
while [ $# -gt 0 ]; do
  case "$1" in
    --device) device=${2:?--device needs a path}; shift 2 ;;
    *) echo "usage: $0 [--device /dev/ttyUSB0]" >&2; exit 2 ;;
  esac
done

bash scripts/deps.sh --run-only
bash scripts/build.sh --run
exe=$root/build/win64/DTUConfig.exe
mkdir -p "$run_dir"

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

if [ -z "$device" ]; then
  fifo=$run_dir/sim-unit.path
  rm -f "$fifo"
  mkfifo "$fifo"
  build/sim/dtu_sim_unit --dump "$run_dir/unit-record.bin" >"$fifo" &
  sim_pid=$!
  read -r device <"$fifo"
  rm -f "$fifo"
  echo "Simulated unit on $device (its record: $run_dir/unit-record.bin)"
fi

echo "Preparing the Wine prefix $prefix (COM1 -> $device)"
bash scripts/wine-prefix.sh "$prefix" "COM1=$device"

if [ -n "${DISPLAY:-}" ]; then
  cd "$run_dir"
  WINEPREFIX=$prefix WINEDEBUG=-all "$WINE64" "$exe"
  exit 0
fi

echo "No display: running the tool on Xvfb"
/usr/bin/python3 tests/e2e/harness.py capture-read "$prefix" "$run_dir" "$run_dir/screenshot.png"
echo "Screenshot of the form: $run_dir/screenshot.png"
