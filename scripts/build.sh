#!/usr/bin/env bash
# Builds the Windows program twice (build/win32: the i686 release,
# build/win64: the x86-64 copy that runs under wine64) and then
#   (no option)      the native core with its tests in build/native;
#   --run            only the simulated unit, without any test library, in build/sim;
#   --windows-only   nothing more.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
python=$(command -v /usr/bin/python3 || command -v python3)

case "${1:-}" in
  "" | --run | --windows-only) ;;
  *) echo "usage: $0 [--run | --windows-only]" >&2; exit 2 ;;
esac

for target in win32:i686 win64:x86_64; do
  dir=build/${target%%:*}
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-${target##*:}.cmake" \
    -DPython3_EXECUTABLE="$python" >/dev/null
  cmake --build "$dir" -j "$jobs"
done

case "${1:-}" in
  "")
    CC=clang CXX=clang++ cmake -S . -B build/native -DDTU_WIN64_DIR="$root/build/win64" \
      -DPython3_EXECUTABLE="$python" >/dev/null
    cmake --build build/native -j "$jobs"
    ;;
  --run)
    cmake -S . -B build/sim -DDTU_BUILD_TESTS=OFF >/dev/null
    cmake --build build/sim -j "$jobs" --target dtu_sim_unit
    ;;
esac
