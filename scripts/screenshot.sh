#!/usr/bin/env bash
# Makes docs/form.png, the README's picture of the form: the tool under Wine
# on a private Xvfb with a fresh settings file, cropped to the window.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/screenshot

[ -x build/win64/DTUConfig.exe ] && [ -x build/win64/dtu_driver.exe ] ||
  bash scripts/build.sh --windows-only

rm -rf "$work/run"
mkdir -p "$work/run" docs
bash scripts/wine-prefix.sh "$work/prefix"
/usr/bin/python3 tests/e2e/harness.py capture "$work/prefix" "$work/run" "$root/docs/form.png"
echo "Wrote docs/form.png"
