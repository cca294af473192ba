#!/usr/bin/env bash
# The figures of scripts/e2e-figures.sh for the Windows binaries under Wine, beside them and with no target:
# Vantrell.exe with the requester simulator (Wine has no VSS), the provider service in Wine's service manager, two
# loopback servers run natively. Wine's agent has no outside provider journal: its frozen window is read from its
# own log, from the status write after the quiesced wait to "Setting thaw event", in the log's milliseconds.
#   bash scripts/e2e-figures-wine.sh [flows]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flows=${1:-100}
"$root/scripts/install-deps.sh"

native="$root/build/checkpoint"
build="$root/build/checkpoint-windows"
mkdir -p "$native" "$build"
echo "== building in $native and $build (the first build takes a minute or more; logs: $native.log, $build.log)"
cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release >"$native.log" 2>&1 || { cat "$native.log"; exit 1; }
cmake --build "$native" -j"${TALVO_JOBS:-$(nproc)}" --target http_test_server >>"$native.log" 2>&1 || { tail -50 "$native.log"; exit 1; }
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  >"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
cmake --build "$build" -j"${TALVO_JOBS:-$(nproc)}" --target Vantrell stand_in_provider bcdedit machine_setup \
  >>"$build.log" 2>&1 || { tail -50 "$build.log"; exit 1; }
tools="$build/tests/tools"
win() { echo "Z:${1//\//\\}"; }

run="$root/build/figures-wine"
rm -rf "$run"
mkdir -p "$run/local" "$run/peer" "$run/agent/test_appdata" "$run/bcdedit"
export WINEPREFIX="$run/prefix" WINEDEBUG=-all
export WINEPATH="$(win "$tools/bin")"
export TALVO_FAKE_BCDEDIT_DIR="$(win "$run/bcdedit")"
perrun="$WINEPREFIX/drive_c/ProgramData/Talvo/logs/Vantrell.exe.current.log.txt"
echo "t_requesterSimulativeVss=1" >"$run/agent/tweaks_extension.txt"
echo "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=0" \
  >"$run/agent/test_appdata/tweaks_extension_upgrade_surviving.txt"

pids=()
cleanup() {
  touch "$run/local/stop" "$run/peer/stop"
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ -d "$WINEPREFIX" ]; then
    wine "$tools/machine_setup.exe" stop-provider >/dev/null 2>&1 || true
    wineserver -k 2>/dev/null || true
  fi
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1
wineserver -w  # Wine's own services have started: its service manager takes a start again
for side in local peer; do
  "$native/tests/http_test_server" "$run/$side" --lifetime-ms 1800000 >/dev/null 2>&1 &
  pids+=($!)
done
for side in local peer; do
  for _ in $(seq 200); do [ -s "$run/$side/port" ] && break; sleep 0.05; done
done
wine "$tools/machine_setup.exe" register-provider "\"$(win "$tools/stand_in_provider.exe")\"" >/dev/null
wine "$tools/machine_setup.exe" set-stamp 00e1f505a1b2c3d4 >/dev/null

median() { sort -n | awk '{v[NR]=$1} END {if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
log_ms() { date -u -d "$1" +%s%3N; }

startups=()
windows=()
failed=0
for i in $(seq "$flows"); do
  start=$(date +%s%3N)
  # The peer named "127.1", as in scripts/e2e-figures.sh: no name to resolve at each request of the frozen moment.
  if ! (cd "$run/agent" && wine "$build/Agent/Vantrell.exe" 127.0.0.1 "$(cat "$run/local/port")" 127.1 \
        "$(cat "$run/peer/port")" "figures $i") >/dev/null 2>&1; then
    failed=$((failed + 1))
  fi
  log=$(tr -d '\r' <"$perrun")
  if [ "$i" -le 20 ]; then
    line=$(echo "$log" | grep -m1 ',Creating mutex$' | cut -d, -f1)
    [ -n "$line" ] && startups+=($(( $(log_ms "$line") - start )))
  fi
  frozen=$(echo "$log" | grep -B1 -m1 ',Now quiesced$' | head -1 | cut -d, -f1)
  thawed=$(echo "$log" | grep -m1 ',Setting thaw event$' | cut -d, -f1)
  [ -n "$frozen" ] && [ -n "$thawed" ] && windows+=($(( $(log_ms "$thawed") - $(log_ms "$frozen") )))
done
sleep 0.1

servers() {
  for side in local peer; do
    for t in "$run/$side"/request-*.time; do
      n=${t##*/request-}; n=${n%.time}
      grep -q 'insertlicensed' "$run/$side/request-$n.http" && awk '{print $2 - $1}' "$t"
    done
  done
}
inserts_local=$(grep -l insertlicensed "$run/local"/request-*.http 2>/dev/null | wc -l)
inserts_peer=$(grep -l insertlicensed "$run/peer"/request-*.http 2>/dev/null | wc -l)

echo "== Wine $(wine --version 2>/dev/null), Windows binaries (Release), requester simulator, $flows flows, $failed failed;" \
  "load: $(cat /proc/loadavg)"
echo "inserts received: local $inserts_local, peer $inserts_peer"
echo "frozen window (log milliseconds), median: $(printf '%s\n' "${windows[@]}" | median) ms (${#windows[@]} measured)"
echo "servers' answer time per insert, median: $(servers | median | awk '{printf "%.3f ms", $1 / 1e6}')"
echo "start-up to the flow, median of ${#startups[@]}: $(printf '%s\n' "${startups[@]}" | median) ms"
