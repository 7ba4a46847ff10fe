#!/usr/bin/env bash
# Runs the tool under Wine for a new user on a Debian machine: installs what is
# missing, builds, prepares a private Wine prefix and starts the tool in
# build/run, where it keeps DTU.ini. On a desktop ($DISPLAY set) the form
# opens there; without one it runs on a private Xvfb, saves a screenshot to
# build/run/screenshot.png and closes again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
run_dir=$root/build/run
prefix=$run_dir/prefix
WINE64=${WINE64:-/usr/lib/wine/wine64}

bash scripts/deps.sh --run-only
bash scripts/build.sh --windows-only
exe=$root/build/win64/DTUConfig.exe

# COMn=DEVICE pairs for the prefix; every other port leads nowhere.
ports=()

mkdir -p "$run_dir"
echo "Preparing the Wine prefix $prefix"
bash scripts/wine-prefix.sh "$prefix" "${ports[@]}"

if [ -n "${DISPLAY:-}" ]; then
  cd "$run_dir"
  WINEPREFIX=$prefix WINEDEBUG=-all "$WINE64" "$exe"
  exit 0
fi

echo "No display: running the tool on Xvfb"
/usr/bin/python3 tests/e2e/harness.py capture "$prefix" "$run_dir" "$run_dir/screenshot.png"
echo "Screenshot of the form: $run_dir/screenshot.png"
