#!/usr/bin/env bash
# Installs what is missing, builds all three targets and runs every test:
# native unit tests, fuzz targets and the end-to-end tests under Wine (the
# i686 release under the 32-bit Wine, the x86-64 twin's smoke under wine64);
# makes and checks the packages too. Fails if the release's tests were skipped
# on a machine that can run them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
bash scripts/package.sh
bash scripts/check-packages.sh
cd build/native
status=0
ctest --output-on-failure -j 2 --output-junit "$PWD/ctest-junit.xml" "$@" || status=$?
whole=()
[ $# -gt 0 ] || whole=(--whole)
/usr/bin/python3 ../../tests/e2e/harness.py check-ran "$PWD/ctest-junit.xml" "${whole[@]}" ||
  status=1
exit "$status"
