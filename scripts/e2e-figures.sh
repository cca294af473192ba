#!/usr/bin/env bash
# Figures of whole checkpoints, each a real Vantrell process with the real VSS requester on the stand-in's VSS and
# two loopback servers (tests/programs/http_test_server), on a machine of its own under build/figures:
#   the frozen window: from the provider's freeze (just before it sets the quiesced event) to its thaw (its wait
#     on the thaw event returned), median of 100 flows; target 5 ms;
#   the agent's own part of it: the window less the time the two servers took from receiving the insert to
#     answering it; target 1 ms;
#   the start-up: from just before the agent's start to its log line "Creating mutex" (the flow's first), in
#     milliseconds of the log's clock, median of 20 runs; target 20 ms.
# Linux only: the same figures under Wine are scripts/e2e-figures-wine.sh's, a command of its own.
#   bash scripts/e2e-figures.sh [flows]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flows=${1:-100}
"$root/scripts/install-deps.sh"

build="$root/build/checkpoint"
mkdir -p "$build"
echo "== building in $build (the first build takes a minute or more; its log: $build.log)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
cmake --build "$build" -j"${TALVO_JOBS:-$(nproc)}" --target Vantrell http_test_server stand_in_provider vss_provider_commit \
  bcdedit machine_setup vss_setup >>"$build.log" 2>&1 || { tail -50 "$build.log"; exit 1; }
tools="$build/tests/tools"

run="$root/build/figures"
rm -rf "$run"
mkdir -p "$run/machine" "$run/local" "$run/peer" "$run/agent/test_appdata" "$run/bcdedit"
export TALVO_STANDIN_ROOT="$run/machine"
export TALVO_COMMON_APPDATA='C:\ProgramData'
export TALVO_FAKE_BCDEDIT_DIR="$run/bcdedit"
export PATH="$tools/bin:$PATH"
perrun="$run/machine/drive_c/ProgramData/Talvo/logs/Vantrell.exe.current.log.txt"
# Nobody reads the status block here: the agent ends without waiting for that.
echo "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=0" \
  >"$run/agent/test_appdata/tweaks_extension_upgrade_surviving.txt"

pids=()
cleanup() {
  touch "$run/local/stop" "$run/peer/stop"
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  "$tools/machine_setup" stop-provider >/dev/null 2>&1 || true
}
trap cleanup EXIT
for side in local peer; do
  "$build/tests/http_test_server" "$run/$side" --lifetime-ms 1800000 >/dev/null 2>&1 &
  pids+=($!)
done
for side in local peer; do
  for _ in $(seq 200); do [ -s "$run/$side/port" ] && break; sleep 0.05; done
done
"$tools/machine_setup" register-provider "\"$tools/stand_in_provider\"" >/dev/null
"$tools/vss_setup" "$tools/vss_provider_commit" --journal "$run/provider.txt"
"$tools/machine_setup" set-stamp 00e1f505a1b2c3d4

median() { sort -n | awk '{v[NR]=$1} END {if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
log_ms() { date -u -d "$1" +%s%3N; }

# The peer is the second server named "127.1" (127.0.0.1 written short): a peer with the local server's address would
# be taken for the local one, and a host name ("localhost") is resolved anew for each request by the stand-in's
# WinHTTP through the system's resolver, which cost milliseconds inside the frozen window here.
startups=()
failed=0
for i in $(seq "$flows"); do
  start=$(date +%s%3N)
  if ! (cd "$run/agent" && "$build/Agent/Vantrell" 127.0.0.1 "$(cat "$run/local/port")" 127.1 \
        "$(cat "$run/peer/port")" "figures $i") >/dev/null 2>&1; then
    failed=$((failed + 1))
  fi
  if [ "$i" -le 20 ]; then
    line=$(grep -m1 ',Creating mutex$' "$perrun" | cut -d, -f1)
    [ -n "$line" ] && startups+=($(( $(log_ms "$line") - start )))
  fi
done
sleep 0.1  # the servers write a request's times once they answered it

# The provider's freeze and thaw of each flow (its commit of the flow's second snapshot set says "commit").
windows=$(awk '$1 == "freeze" {f = $2} $1 == "thaw" && $2 == "0" {print $3 - f}' "$run/provider.txt")
# Each flow's two inserts, one per server, in the order of the flows.
server_ns() {
  for t in "$run/$1"/request-*.time; do
    n=${t##*/request-}; n=${n%.time}
    grep -q 'insertlicensed' "$run/$1/request-$n.http" && echo "$n $(awk '{print $2 - $1}' "$t")"
  done | sort -n | awk '{print $2}'
}
added=$(paste <(echo "$windows") <(server_ns local) <(server_ns peer) | awk 'NF == 3 {print $1 - $2 - $3}')

echo "== Linux (stand-in), Release, $flows flows, $failed failed; load: $(cat /proc/loadavg)"
echo "frozen window, median:            $(echo "$windows" | median | awk '{printf "%.3f ms", $1 / 1e6}') (target 5 ms)"
echo "agent's part of it, median:       $(echo "$added" | median | awk '{printf "%.3f ms", $1 / 1e6}') (target 1 ms)"
echo "servers' answers within it, median: $(paste <(server_ns local) <(server_ns peer) | awk '{print $1 + $2}' | median | awk '{printf "%.3f ms", $1 / 1e6}')"
echo "start-up to the flow, median of ${#startups[@]}: $(printf '%s\n' "${startups[@]}" | median) ms (target 20 ms)"
echo "frozen windows: $(echo "$windows" | wc -l) measured"
