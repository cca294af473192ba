#!/usr/bin/env bash
# One checkpoint end to end with the Windows binaries under Wine, in a Wine prefix of its own under
# build/checkpoint-wine: the local management server (the same program as in scripts/checkpoint.sh, run natively
# on 127.0.0.1 and reached through Wine's WinHTTP), the stand-in provider service stand_in_provider.exe registered
# stopped in Wine's service manager, the reliability stamp in Wine's registry and a stand-in bcdedit.exe first on
# Wine's PATH. Wine has no VSS (its CreateVssBackupComponents answers 0x80004001), so Vantrell.exe runs with the
# requester simulator (t_requesterSimulativeVss=1). Prints the agent's exit code and message, what the status
# block held, the requests the server received (the checkpoint name decoded) and the per-run log.
#   bash scripts/checkpoint-wine.sh [checkpoint name]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:-"Before the upgrade \"v2\" \\ 1"}
"$root/scripts/install-deps.sh"

native="$root/build/checkpoint"
build="$root/build/checkpoint-windows"
mkdir -p "$native" "$build"
echo "== building"
cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release >"$native.log" 2>&1 || { cat "$native.log"; exit 1; }
cmake --build "$native" -j"$(nproc)" --target http_test_server >>"$native.log" 2>&1 || { tail -50 "$native.log"; exit 1; }
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  >"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target Vantrell stand_in_provider bcdedit machine_setup status_runner \
  >>"$build.log" 2>&1 || { tail -50 "$build.log"; exit 1; }
tools="$build/tests/tools"
win() { echo "Z:${1//\//\\}"; }  # Wine's drive Z: is this machine's root folder

run="$root/build/checkpoint-wine"
rm -rf "$run"
mkdir -p "$run/server" "$run/agent" "$run/bcdedit"
export WINEPREFIX="$run/prefix" WINEDEBUG=-all
export WINEPATH="$(win "$tools/bin")"
export TALVO_FAKE_BCDEDIT_DIR="$(win "$run/bcdedit")"
logs="$WINEPREFIX/drive_c/ProgramData/Talvo/logs"
perrun="$logs/Vantrell.exe.current.log.txt"

server_pid=""
reader_pid=""
cleanup() {
  [ -n "$reader_pid" ] && kill "$reader_pid" 2>/dev/null
  touch "$run/server/stop"
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
  if [ -d "$WINEPREFIX" ]; then
    wine "$tools/machine_setup.exe" stop-provider >/dev/null 2>&1 || true
    wineserver -k 2>/dev/null || true
  fi
}
trap cleanup EXIT

echo "== a Wine prefix: $WINEPREFIX"
wineboot -i >/dev/null 2>&1
# Wine's service manager starts its own services at the first start of a prefix and refuses to start another one
# meanwhile (ERROR_SERVICE_DATABASE_LOCKED): the checkpoint waits until that is over.
wineserver -w
"$native/tests/http_test_server" "$run/server" --lifetime-ms 600000 >"$run/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 200); do [ -s "$run/server/port" ] && break; sleep 0.05; done
[ -s "$run/server/port" ] || { echo "the local server did not start"; cat "$run/server.out"; exit 1; }
port=$(cat "$run/server/port")

wine "$tools/machine_setup.exe" register-provider "\"$(win "$tools/stand_in_provider.exe")\""
wine "$tools/machine_setup.exe" set-stamp 00e1f505a1b2c3d4
echo "t_requesterSimulativeVss=1" >"$run/agent/tweaks_extension.txt"
echo "local server: 127.0.0.1:$port"
wine "$tools/machine_setup.exe" provider | tr -d '\r'
wine "$tools/machine_setup.exe" guards | tr -d '\r'

exit_name() {  # the agent's exit code from the 8 bits the shell keeps
  local byte=$1
  for code in 0 1 -1000 -1001 -1002 -1004 -1005 -1006 -1007; do
    if [ $((code & 255)) -eq "$byte" ]; then echo "$code"; return; fi
  done
  echo "$byte"
}

echo
echo "== Vantrell.exe 127.0.0.1 $port 0.0.0.0 0 \"$name\""
# The party that reads the status block and then lets the agent end.
wine "$tools/status_runner.exe" read "$(win "$run/reader.txt")" 0 300000 >/dev/null 2>&1 &
reader_pid=$!
for _ in $(seq 400); do grep -q ready "$run/reader.txt" 2>/dev/null && break; sleep 0.05; done
set +e
(cd "$run/agent" && wine "$build/Agent/Vantrell.exe" 127.0.0.1 "$port" 0.0.0.0 0 "$name") >"$run/agent.out" 2>&1
byte=$?
set -e
touch "$run/reader.txt.stop"
wait "$reader_pid" || true
reader_pid=""
echo "status block: $(tail -1 "$run/reader.txt" | tr -d '\r' | sed 's/^[0-9]* end //')"
echo "exit code: $(exit_name $byte)"
echo "message: $(tr -d '\r' <"$run/agent.out")"
echo "requests the local server received:"
grep -v '^[0-9]*$' "$run/server.out" | sed 's/^/  /' || echo "  (none)"
wine "$tools/machine_setup.exe" provider | tr -d '\r'
wine "$tools/machine_setup.exe" guards | tr -d '\r'
echo "bcdedit runs:"
sed 's/^/  /' "$run/bcdedit/journal.txt" 2>/dev/null | tr -d '\r' || echo "  (none)"
echo "per-run log: $perrun"
grep -aE ',(Error|Fatal),|done\. ret=' "$perrun" | tr -d '\r' | sed 's/^/  /' || true
