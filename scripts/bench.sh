#!/usr/bin/env bash
# Builds the benchmarks in an optimised native build and runs them; arguments go to each benchmark program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --bench
benchmarks=(file_logger_benchmark tracked_allocation_benchmark memory_pool_benchmark directory_listing_benchmark
            agent_startup_benchmark snapshot_flow_benchmark)
cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DTALVO_BENCHMARKS=ON >/dev/null
cmake --build "$root/build/bench" -j"${TALVO_JOBS:-$(nproc)}" --target "${benchmarks[@]}"
mkdir -p "$root/build/bench/run" && cd "$root/build/bench/run"
for benchmark in "${benchmarks[@]}"; do "$root/build/bench/tests/$benchmark" "$@"; done
# The HTTP client against a raw exchange of the same bytes, the three interleaved so that load drifts alike.
cmake --build "$root/build/bench" -j"${TALVO_JOBS:-$(nproc)}" --target http_client_benchmark
"$root/build/bench/tests/http_client_benchmark" --benchmark_enable_random_interleaving=true
# The logger beside spdlog, paired rounds in one process (the medians and their ratios at the end).
cmake --build "$root/build/bench" -j"${TALVO_JOBS:-$(nproc)}" --target logger_vs_spdlog
(cd "$root/build/bench/run" && "$root/build/bench/tests/logger_vs_spdlog" 5)
