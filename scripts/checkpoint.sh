#!/usr/bin/env bash
# One checkpoint end to end, as an administrator runs it, on a machine of its own under build/checkpoint:
#   a local management server on 127.0.0.1 (tests/programs/http_test_server) that prints each request it receives,
#   the provider service "TalvoVssProvider" registered and stopped, the machine's VSS (the stand-in's, whose
#   provider commit is tests/tools/vss_provider_commit), the reliability stamp set and a stand-in bcdedit;
#   then Vantrell in the internally initiated mode with the real VSS requester, then Corbeline with a name typed
#   at its dialog, which starts Vantrell -GUI. For each run it prints the agent's exit code and message, what the
#   status block held, the requests the server received (the checkpoint name decoded), the provider's freeze and
#   thaw and the per-run log.
# With --wine it does the same with the Windows binaries under Wine (see scripts/checkpoint-wine.sh).
#   bash scripts/checkpoint.sh [--wine] [checkpoint name]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--wine" ]; then
  shift
  exec bash "$root/scripts/checkpoint-wine.sh" "$@"
fi
name=${1:-"Before the upgrade \"v2\" \\ 1"}
"$root/scripts/install-deps.sh"

build="$root/build/checkpoint"
mkdir -p "$build"
echo "== building"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target Vantrell Corbeline http_test_server stand_in_provider \
  vss_provider_commit bcdedit machine_setup status_runner vss_setup >>"$build.log" 2>&1 \
  || { tail -50 "$build.log"; exit 1; }
bin="$build/Agent"
tools="$build/tests/tools"

# A fresh machine: its drive C:, registry, services and named objects live under one folder.
run="$build/run"
rm -rf "$run"
mkdir -p "$run/machine" "$run/server" "$run/agent" "$run/bcdedit"
export TALVO_STANDIN_ROOT="$run/machine"
export TALVO_COMMON_APPDATA='C:\ProgramData'
export TALVO_STANDIN_MESSAGEBOX_LOG="$run/messageboxes.txt"
export TALVO_FAKE_BCDEDIT_DIR="$run/bcdedit"
export PATH="$tools/bin:$PATH"
logs="$run/machine/drive_c/ProgramData/Talvo/logs"
perrun="$logs/Vantrell.exe.current.log.txt"

server_pid=""
reader_pid=""
cleanup() {
  [ -n "$reader_pid" ] && kill "$reader_pid" 2>/dev/null
  touch "$run/server/stop"
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
  "$tools/machine_setup" stop-provider >/dev/null 2>&1 || true
}
trap cleanup EXIT

"$build/tests/http_test_server" "$run/server" --lifetime-ms 600000 >"$run/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 200); do [ -s "$run/server/port" ] && break; sleep 0.05; done
[ -s "$run/server/port" ] || { echo "the local server did not start"; cat "$run/server.out"; exit 1; }
port=$(cat "$run/server/port")

"$tools/machine_setup" register-provider "\"$tools/stand_in_provider\""
"$tools/vss_setup" "$tools/vss_provider_commit" --journal "$run/provider.txt"
"$tools/machine_setup" set-stamp 00e1f505a1b2c3d4
echo "== machine: $run/machine"
echo "local server: 127.0.0.1:$port"
"$tools/machine_setup" provider
"$tools/machine_setup" guards

exit_name() {  # the agent's exit code from the 8 bits Linux keeps
  local byte=$1
  for code in 0 1 -1000 -1001 -1002 -1004 -1005 -1006 -1007; do
    if [ $((code & 255)) -eq "$byte" ]; then echo "$code"; return; fi
  done
  echo "$byte"
}

# The party that reads the status block and then lets the agent end (it waits for that up to 80 s).
start_reader() {
  rm -f "$run/$1" "$run/$1.stop"
  "$tools/status_runner" read "$run/$1" 0 300000 &
  reader_pid=$!
}
stop_reader() {
  touch "$run/$1.stop"
  wait "$reader_pid" || true
  reader_pid=""
  echo "status block: $(tail -1 "$run/$1" | sed 's/^[0-9]* end //')"
}

show_server() {  # requests received from line $1 of the server's output on
  echo "requests the local server received:"
  tail -n +"$1" "$run/server.out" | grep -v '^[0-9]*$' | sed 's/^/  /'
}

show_provider() {
  echo "provider commit (freeze, thaw and the wait's result, monotonic ns):"
  sed 's/^/  /' "$run/provider.txt" 2>/dev/null || echo "  (none)"
  : >"$run/provider.txt"
  echo "bcdedit runs:"
  sed 's/^/  /' "$run/bcdedit/journal.txt" 2>/dev/null || echo "  (none)"
  : >"$run/bcdedit/journal.txt"
}

echo
echo "== Vantrell 127.0.0.1 $port 0.0.0.0 0 \"$name\""
start_reader reader1.txt
from=$(($(wc -l <"$run/server.out") + 1))
set +e
(cd "$run/agent" && "$bin/Vantrell" 127.0.0.1 "$port" 0.0.0.0 0 "$name") >"$run/agent1.out" 2>&1
byte=$?
set -e
stop_reader reader1.txt
echo "exit code: $(exit_name $byte)"
echo "message: $(cat "$run/agent1.out")"
show_server "$from"
show_provider
"$tools/machine_setup" provider
"$tools/machine_setup" guards
cp "$perrun" "$run/vantrell-run1.log.txt" 2>/dev/null || true
echo "per-run log: $perrun (kept as $run/vantrell-run1.log.txt)"
grep -E ',(Error|Fatal),|done\. ret=' "$perrun" | sed 's/^/  /' || true

echo
echo "== Corbeline, name typed at its dialog: \"$name\""
printf '127.0.0.1 %s 0.0.0.0 0\n' "$port" >"$bin/Corbeline.conf"
rm -f "$perrun"
start_reader reader2.txt
from=$(($(wc -l <"$run/server.out") + 1))
(cd "$run/agent" && printf '%s\n' "$name" | "$bin/Corbeline") | sed 's/^/  /'
echo
# The launcher does not wait for the agent: its end shows in its log.
for _ in $(seq 1200); do
  grep -qE 'done\. ret=|SnapshotFlow failed|agent crushed' "$perrun" 2>/dev/null && break
  sleep 0.1
done
sleep 0.5
stop_reader reader2.txt
if grep -q 'done\. ret=' "$perrun" 2>/dev/null; then
  echo "exit code: $(grep -o 'done\. ret=-\?[0-9]*' "$perrun" | tail -1 | sed 's/.*ret=//') (from its log)"
else
  echo "exit code: $(grep -oE 'SnapshotFlow failed ret=-?[0-9]*' "$perrun" | tail -1) (from its log)"
fi
echo "message box: $(cut -f3,4 "$TALVO_STANDIN_MESSAGEBOX_LOG" 2>/dev/null | sed 's/\t/: /')"
show_server "$from"
show_provider
"$tools/machine_setup" guards
echo "per-run log: $perrun"
grep -E ',(Error|Fatal),|done\. ret=' "$perrun" | sed 's/^/  /' || true
