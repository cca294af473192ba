#!/usr/bin/env bash
# Builds the programs and the infrastructure library: native (Linux stand-in) and Windows x86-64 (mingw-w64).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=${TALVO_JOBS:-$(nproc)}  # TALVO_JOBS limits the build jobs (all CPUs unless set)

cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DTALVO_TESTS=OFF >/dev/null
cmake --build "$root/build/release" -j"$jobs"
cmake -S "$root" -B "$root/build/windows-release" -DCMAKE_BUILD_TYPE=Release -DTALVO_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$root/build/windows-release" -j"$jobs"
