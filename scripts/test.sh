#!/usr/bin/env bash
# Builds every configuration and runs every test:
#   native Linux (g++) under AddressSanitizer + UndefinedBehaviorSanitizer,
#   native Linux (g++) under ThreadSanitizer,
#   native Linux with clang under AddressSanitizer + UndefinedBehaviorSanitizer, with the fuzz targets, each run
#     for a fixed number of inputs,
#   the Windows x86-64 build (mingw-w64) under Wine.
# Warnings are errors in every build.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" || exit 1
jobs=${TALVO_JOBS:-$(nproc)}  # TALVO_JOBS limits the build's and ctest's jobs (all CPUs unless set)
build="$root/build"
started=$SECONDS

# What the Wine run leaves behind is removed however the script ends: normally, on an error, or interrupted.
prefix=""
feeder=""
keeper=""
cleanup() {
  [ -n "$keeper" ] && kill "$keeper" 2>/dev/null
  [ -n "$feeder" ] && kill "$feeder" 2>/dev/null
  if [ -n "$prefix" ] && [ -d "$prefix" ]; then
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null
    wait 2>/dev/null
    rm -rf "$prefix"
  fi
  keeper="" feeder="" prefix=""
}
trap cleanup EXIT
trap 'echo "interrupted"; exit 130' INT TERM HUP

configure_and_build() {  # dir, cmake arguments...
  local dir=$1; shift
  { cmake -S "$root" -B "$build/$dir" -DTALVO_WERROR=ON "$@" && cmake --build "$build/$dir" -j"$jobs"; } \
    >"$build/$dir.log" 2>&1 || { cat "$build/$dir.log"; echo "build $dir failed"; return 1; }
}

status=0
mkdir -p "$build"
configure_and_build asan -DCMAKE_BUILD_TYPE=Debug -DTALVO_SANITIZE=address,undefined || status=1
configure_and_build tsan -DCMAKE_BUILD_TYPE=Debug -DTALVO_SANITIZE=thread || status=1
CC=clang CXX=clang++ configure_and_build clang -DCMAKE_BUILD_TYPE=Debug -DTALVO_SANITIZE=address,undefined \
  -DTALVO_FUZZ=ON || status=1
configure_and_build windows -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" || status=1
[ $status -eq 0 ] || exit 1
echo "built in $((SECONDS - started)) s"

run_ctest() {  # title, dir
  local begin=$SECONDS
  echo "== $1"
  (cd "$build/$2" && ctest -j"$jobs" --output-on-failure) || status=1
  echo "($((SECONDS - begin)) s)"
}

export ASAN_OPTIONS="abort_on_error=0:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
run_ctest "Linux, AddressSanitizer + UndefinedBehaviorSanitizer" asan
run_ctest "Linux, ThreadSanitizer" tsan
run_ctest "Linux, clang, AddressSanitizer + UndefinedBehaviorSanitizer, fuzz targets" clang

# A fresh Wine prefix per run; one persistent wineserver so each test binary starts in well under a second.
prefix=$(mktemp -d /tmp/talvo-wine.XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all
wineboot -i >/dev/null 2>&1
# Wine's null display driver, so that windows and dialogs exist without a display; it applies from a new server on.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -k; wineserver -w
wineserver -p
# Keep one Wine process alive for the whole run, its output going nowhere. Otherwise Wine's own services may end
# between tests and be restarted by one of them, holding that test's output pipe open until ctest times it out.
mkfifo "$WINEPREFIX/keepalive"
sleep 100000 >"$WINEPREFIX/keepalive" &
feeder=$!
wine cmd /c pause <"$WINEPREFIX/keepalive" >/dev/null 2>&1 &
keeper=$!
sleep 1
# Likewise the desktop process, which the first window of a test would start holding that test's output pipe.
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
run_ctest "Windows x86-64 under Wine" windows
cleanup

echo "total $((SECONDS - started)) s"
exit $status
