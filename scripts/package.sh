#!/usr/bin/env bash
# Makes what a user downloads, in build/package: the Windows zip (from the i686
# release in build/win32), the .deb of dtucfg (from build/deb, a release build
# without tests) and SHA256SUMS.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
python=$(command -v /usr/bin/python3 || command -v python3)
out=$root/build/package

cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DPython3_EXECUTABLE="$python" >/dev/null
cmake --build build/win32 -j "$jobs"
CC=clang CXX=clang++ cmake -S . -B build/deb -DCMAKE_BUILD_TYPE=Release -DDTU_BUILD_TESTS=OFF \
  >/dev/null
cmake --build build/deb -j "$jobs"

rm -rf "$out"
mkdir -p "$out"
for dir in build/win32 build/deb; do
  (cd "$dir" && cpack -D CPACK_OUTPUT_FILE_PREFIX="$out" >/dev/null)
done
(cd "$out" && sha256sum -- *.zip *.deb >SHA256SUMS)
ls -l "$out"
