#!/usr/bin/env bash
# Builds the benchmarks in an optimised native build and runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DTALVO_BENCHMARKS=ON >/dev/null
cmake --build "$root/build/bench" -j"$(nproc)" --target file_logger_benchmark http_client_benchmark agent_startup_benchmark
mkdir -p "$root/build/bench/run" && cd "$root/build/bench/run"
"$root/build/bench/tests/file_logger_benchmark" "$@"
# The HTTP client against a raw exchange of the same bytes, the three interleaved so that load drifts alike.
"$root/build/bench/tests/http_client_benchmark" --benchmark_enable_random_interleaving=true
"$root/build/bench/tests/agent_startup_benchmark"
