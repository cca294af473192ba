#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) and runs every target
# side by side, each for the given number of seconds (default 600). Each target keeps its corpus in
# build/fuzz-corpus/<target> (seeded from tests/fuzz/corpus) and writes a crashing input to build/fuzz-artifacts/.
#   bash scripts/fuzz.sh [seconds] [target...]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" || exit 1
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(tweaks_fuzzer consistent_file_fuzzer)
build="$root/build/clang"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTALVO_SANITIZE=address,undefined \
  -DTALVO_FUZZ=ON >/dev/null || exit 1
cmake --build "$build" -j"${TALVO_JOBS:-$(nproc)}" --target "${targets[@]}" >"$build.fuzz.log" 2>&1 \
  || { cat "$build.fuzz.log"; exit 1; }

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done; }
trap cleanup EXIT
trap 'exit 130' INT TERM

export ASAN_OPTIONS="abort_on_error=0:detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in "${targets[@]}"; do
  corpus="$root/build/fuzz-corpus/$target"
  artifacts="$root/build/fuzz-artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$root/tests/fuzz/corpus/$target" >"$root/build/fuzz-$target.log" 2>&1 &
  pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  if wait "${pids[$i]}"; then result=ok; else result="FAILED (see build/fuzz-$target.log)"; status=1; fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$root/build/fuzz-$target.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$root/build/fuzz-$target.log")
  echo "$target: $result, ${runs:-?} inputs in ${seconds} s (${rate:-?} a second)"
done
pids=()
exit $status
