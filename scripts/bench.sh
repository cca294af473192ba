#!/usr/bin/env bash
# Builds the benchmarks in an optimised native build and runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DTALVO_BENCHMARKS=ON >/dev/null
cmake --build "$root/build/bench" -j"$(nproc)" --target file_logger_benchmark tracked_allocation_benchmark
mkdir -p "$root/build/bench/run" && cd "$root/build/bench/run"
"$root/build/bench/tests/file_logger_benchmark" "$@"
"$root/build/bench/tests/tracked_allocation_benchmark"
