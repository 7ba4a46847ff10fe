#!/usr/bin/env bash
# Makes docs/form.png, the README's picture of the form: the tool under Wine
# on a private Xvfb with a fresh settings file, cropped to the window. Then
# docs/form-read.png and docs/dtucfg.png (see below).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/screenshot

[ -x build/win64/DTUConfig.exe ] && [ -x build/win64/dtu_driver.exe ] &&
  [ -x build/sim/dtu_sim_unit ] || bash scripts/build.sh --run

rm -rf "$work/run"
mkdir -p "$work/run" docs
bash scripts/wine-prefix.sh "$work/prefix"
/usr/bin/python3 tests/e2e/harness.py capture "$work/prefix" "$work/run" "$root/docs/form.png"
echo "Wrote docs/form.png"

# docs/form-read.png: the same form filled by a Read from the simulated unit.
rm -rf "$work/run-read"
mkdir -p "$work/run-read"
fifo=$work/sim-unit.path
rm -f "$fifo"
mkfifo "$fifo"
build/sim/dtu_sim_unit >"$fifo" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
read -r device <"$fifo"
rm -f "$fifo"
bash scripts/wine-prefix.sh "$work/prefix-read" "COM1=$device"
/usr/bin/python3 tests/e2e/harness.py capture-read "$work/prefix-read" "$work/run-read" \
  "$root/docs/form-read.png"
echo "Wrote docs/form-read.png"

# docs/dtucfg.png: dtucfg in a terminal.
bash scripts/dtucfg-shot.sh
