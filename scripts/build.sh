#!/usr/bin/env bash
# Builds the Windows program twice (build/win32: the i686 release,
# build/win64: the x86-64 copy that runs under wine64) and, unless
# --windows-only is given, the native core with its tests in build/native.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
python=$(command -v /usr/bin/python3 || command -v python3)

for target in win32:i686 win64:x86_64; do
  dir=build/${target%%:*}
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-${target##*:}.cmake" \
    -DPython3_EXECUTABLE="$python" >/dev/null
  cmake --build "$dir" -j "$jobs"
done

if [ "${1:-}" != "--windows-only" ]; then
  CC=clang CXX=clang++ cmake -S . -B build/native -DDTU_WIN64_DIR="$root/build/win64" \
    -DPython3_EXECUTABLE="$python" >/dev/null
  cmake --build build/native -j "$jobs"
fi
