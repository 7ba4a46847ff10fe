#!/usr/bin/env bash
# Installs what is missing, builds all three targets and runs every test:
# native unit tests, fuzz targets and the end-to-end tests under Wine; makes
# and checks the packages too.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
bash scripts/package.sh
bash scripts/check-packages.sh
cd build/native
ctest --output-on-failure -j 2 "$@"
