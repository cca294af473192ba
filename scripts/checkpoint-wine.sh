#!/usr/bin/env bash
# One checkpoint end to end with the Windows binaries under Wine, in a Wine prefix of its own under
# build/checkpoint-wine: the local management server (the same program as in scripts/checkpoint.sh, run natively
# on 127.0.0.1 and reached through Wine's WinHTTP), the stand-in provider service stand_in_provider.exe registered
# stopped in Wine's service manager, the reliability stamp in Wine's registry and a stand-in bcdedit.exe first on
# Wine's PATH. Wine has no VSS (its CreateVssBackupComponents answers 0x80004001), so Vantrell.exe runs with the
# requester simulator (t_requesterSimulativeVss=1). Prints the agent's exit code and message, what the status
# block held, the requests the server received (the checkpoint name decoded) and the per-run log's path, error lines
# and "done" line, then one summary line: the name (escaped), taken or failed with its causes, the frozen window
# (from the agent's log, in its milliseconds) and the servers that received it. Exit codes, interrupts and a run
# still going alongside as in scripts/checkpoint.sh.
#   bash scripts/checkpoint-wine.sh [checkpoint name]      (--help: the usage and the default name)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/checkpoint-common.sh"
checkpoint_parse_args "$@"

native="$root/build/checkpoint"
build="$root/build/checkpoint-windows"
run="$root/build/checkpoint-wine"
tools="$build/tests/tools"
jobs=${TALVO_JOBS:-$(nproc)}
win() { echo "Z:${1//\//\\}"; }  # Wine's drive Z: is this machine's root folder
export TALVO_CHECKPOINT_RUN="$run"
marker="TALVO_CHECKPOINT_RUN=$run"
export WINEPREFIX="$run/prefix" WINEDEBUG=-all

die() { echo "checkpoint-wine.sh: $*"; exit 1; }
claim_run_folder "$run.pid" || exit 1
wine_text() { tr -d '\r'; }

server_pid=""
reader_pid=""
cleaned=""
registered=""
# Stops the provider service through Wine's service manager once it was registered (a prefix still being set up
# answers nothing in time), then every process of the prefix; says which. With -q says nothing of a service that
# was not running.
stop_prefix() {
  local quiet=""
  [ "${1:-}" = -q ] && quiet=1
  [ -d "$WINEPREFIX" ] || return 0
  if [ -n "$registered" ] && [ -f "$tools/machine_setup.exe" ]; then
    local was
    was=$(timeout 2 wine "$tools/machine_setup.exe" provider 2>/dev/null | provider_words | sed 's/^provider service: //')
    if [[ $was == stopped* ]] || [[ $was == *"not registered"* ]]; then
      [ -z "$quiet" ] && echo "provider service: not running (${was:-stopped})"
    elif timeout 2 wine "$tools/machine_setup.exe" stop-provider >/dev/null 2>&1; then
      echo "provider service: stopped (it was ${was:-in an unknown state})"
      stopped+=("the provider service")
    else
      echo "provider service: not stopped through Wine's service manager; its process ends with the prefix's"
      stopped+=("the provider service (with the prefix's processes)")
    fi
  elif [ -z "$quiet" ]; then
    echo "provider service: not registered yet"
  fi
  timeout 5 wineserver -k 2>/dev/null
}
cleanup() {
  [ -n "$cleaned" ] && return
  cleaned=1
  trap '' INT TERM HUP
  stop_step_reader_server "$run"
  stop_prefix
  end_run_processes "$marker" "left behind"
  release_run_folder
}
trap 'cleanup; [ -n "$interrupted" ] && interrupted_line' EXIT
trap on_interrupt INT TERM HUP

doing="the installation of what the build needs"
step "$root/scripts/install-deps.sh" || die "installing what the build needs failed"
mkdir -p "$native" "$build"
doing="the build"
echo "== building the server natively in $native and Vantrell.exe and the tools in $build ($jobs jobs; the first"
echo "   build takes a minute or more; build logs: $native.log, $build.log)"
step -o "$native.log" cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release \
  || { cat "$native.log"; die "configuring the native build failed"; }
step -a "$native.log" cmake --build "$native" -j"$jobs" --target http_test_server \
  || { tail -50 "$native.log"; die "the native build failed (log: $native.log)"; }
step -o "$build.log" cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" || { cat "$build.log"; die "configuring the Windows build failed"; }
step -a "$build.log" cmake --build "$build" -j"$jobs" --target Vantrell stand_in_provider bcdedit machine_setup \
  status_runner || { tail -50 "$build.log"; die "the Windows build failed (log: $build.log)"; }

# What an earlier, interrupted run left running is stopped before its folder goes. With none of its processes
# left there is nothing to stop (and asking Wine would start the prefix's server anew).
doing="the machine's set-up"
if [ -d "$run" ] && [ -n "$(run_processes "$marker")" ]; then
  registered=1 stop_prefix -q | sed 's/^/earlier run: /'
  end_run_processes "$marker" "left by an earlier run"
fi
rm -rf "$run" || die "could not clear the run folder $run"
mkdir -p "$run/server" "$run/agent" "$run/bcdedit"
WINEPATH=$(win "$tools/bin")
TALVO_FAKE_BCDEDIT_DIR=$(win "$run/bcdedit")
export WINEPATH TALVO_FAKE_BCDEDIT_DIR
logs="$WINEPREFIX/drive_c/ProgramData/Talvo/logs"
perrun="$logs/Vantrell.exe.current.log.txt"

echo "== a Wine prefix: $WINEPREFIX"
step -o /dev/null wineboot -i
# Wine's service manager starts its own services at the first start of a prefix and refuses to start another one
# meanwhile (ERROR_SERVICE_DATABASE_LOCKED): the checkpoint waits until that is over.
step wineserver -w
# shellcheck disable=SC2086  # the extra options are words
"$native/tests/http_test_server" "$run/server" --lifetime-ms 600000 ${CHECKPOINT_SERVER_OPTIONS:-} \
  >"$run/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 200); do [ -s "$run/server/port" ] && break; sleep 0.05; done
[ -s "$run/server/port" ] || { cat "$run/server.out"; die "the local server did not start"; }
port=$(cat "$run/server/port")

step wine "$tools/machine_setup.exe" register-provider "\"$(win "$tools/stand_in_provider.exe")\"" \
  || die "registering the provider failed"
registered=1
step wine "$tools/machine_setup.exe" set-stamp 00e1f505a1b2c3d4 || die "setting the reliability stamp failed"
echo "t_requesterSimulativeVss=1" >"$run/agent/tweaks_extension.txt"
echo "local server: 127.0.0.1:$port"
step -o "$run/provider-state.txt" wine "$tools/machine_setup.exe" provider
provider_words <"$run/provider-state.txt"
step -o "$run/guards.txt" wine "$tools/machine_setup.exe" guards
wine_text <"$run/guards.txt"

echo
doing="the run of Vantrell.exe"
echo "== Vantrell.exe 127.0.0.1 $port 0.0.0.0 0 $(quoted_name "$name")"
echo "(the local server 127.0.0.1:$port; the peer 0.0.0.0 0 stands for no peer server)"
# The party that reads the status block and then lets the agent end (the agent waits for that up to 80 s).
wine "$tools/status_runner.exe" read "$(win "$run/reader.txt")" 0 300000 >/dev/null 2>&1 &
reader_pid=$!
for _ in $(seq 400); do grep -q ready "$run/reader.txt" 2>/dev/null && break; sleep 0.05; done
step -o "$run/agent.out" in_dir "$run/agent" wine "$build/Agent/Vantrell.exe" 127.0.0.1 "$port" 0.0.0.0 0 "$name"
byte=$?
touch "$run/reader.txt.stop"
wait "$reader_pid"
reader_pid=""
show_status_block "$run/reader.txt"
echo "exit code: $(agent_exit_name $byte)"
message=$(wine_text <"$run/agent.out")
echo "message: ${message:-(none)}"
show_requests "$run/server.out" 1
count_inserts "$run/server.out" 1
step -o "$run/provider-state.txt" wine "$tools/machine_setup.exe" provider
provider_words <"$run/provider-state.txt"
step -o "$run/guards.txt" wine "$tools/machine_setup.exe" guards
wine_text <"$run/guards.txt"
echo "bcdedit runs:"
wine_text <"$run/bcdedit/journal.txt" 2>/dev/null | sed 's/^/  /' | grep . || echo "  (none)"
echo "per-run log: $perrun"
wine_text <"$perrun" 2>/dev/null | grep -aE ',(Error|Fatal),|done\. ret=' | sed 's/^/  /' | grep . || echo "  (no error line, no \"done\" line)"
# No provider journal under Wine: the frozen window is the agent's, from its status write after the quiesced wait
# to "Setting thaw event", in its log's milliseconds.
log_ms() { date -u -d "$1" +%s%3N; }
log=$(wine_text <"$perrun" 2>/dev/null)
frozen=$(echo "$log" | grep -B1 -m1 ',Now quiesced$' | head -1 | cut -d, -f1)
thawed=$(echo "$log" | grep -m1 ',Setting thaw event$' | cut -d, -f1)
frozen_ms=""
if [ -n "$frozen" ] && [ -n "$thawed" ]; then
  frozen_ms=$(($(log_ms "$thawed") - $(log_ms "$frozen")))
  echo "frozen window (the agent's log, from $frozen to $thawed): $frozen_ms ms"
fi
causes=""
[ "$byte" -ne 0 ] && causes="the agent ended with exit code $(agent_exit_name $byte)"
if block_and_server_causes && [ -z "$frozen_ms" ]; then
  causes+="${causes:+; }the agent's log shows no frozen moment"
fi
summarize_run "Vantrell.exe under Wine" "$causes" "${frozen_ms:+$frozen_ms ms}" "$received"

echo
cleanup
summarize_all
exit $?
