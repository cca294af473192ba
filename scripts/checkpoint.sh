#!/usr/bin/env bash
# One checkpoint end to end, as an administrator runs it, on a machine of its own under build/checkpoint:
#   a local management server on 127.0.0.1 (tests/programs/http_test_server) that prints each request it receives,
#   the provider service "TalvoVssProvider" registered and stopped, the machine's VSS (the stand-in's, whose
#   provider commit is tests/tools/vss_provider_commit), the reliability stamp set and a stand-in bcdedit;
#   then Vantrell in the internally initiated mode with the real VSS requester, then Corbeline with a name typed
#   at its dialog, which starts Vantrell -GUI. For each run it prints the agent's exit code and message, what the
#   status block held, the requests the server received (the checkpoint name decoded), the provider's freeze and
#   thaw and the per-run log's path, error lines and "done" line, then one summary line: the name (escaped),
#   taken or failed with its causes, the frozen window and the servers that received it; at the end one line for
#   the whole. A run is taken only when the server received exactly the name.
# Exit code 0 when both runs took the checkpoint, 1 when one failed (or the machine could not be set up), 2 on a
# usage error, 130 when interrupted: an interrupt at any step ends the run's processes, the provider service
# included, within a second or two, and the last line says so. A run still going alongside is left alone: this one
# does not start.
# With --wine it does the same with the Windows binaries under Wine (see scripts/checkpoint-wine.sh).
#   bash scripts/checkpoint.sh [--wine] [checkpoint name]      (--help: the usage and the default name)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/checkpoint-common.sh"
if [ "${1:-}" = "--wine" ]; then
  shift
  exec bash "$root/scripts/checkpoint-wine.sh" "$@"
fi
checkpoint_parse_args "$@"

build="$root/build/checkpoint"
run="$build/run"
bin="$build/Agent"
tools="$build/tests/tools"
jobs=${TALVO_JOBS:-$(nproc)}
# Every process of the run carries this in its environment, the detached provider service included.
export TALVO_CHECKPOINT_RUN="$run"
export TALVO_STANDIN_ROOT="$run/machine"
marker="TALVO_CHECKPOINT_RUN=$run"

die() { echo "checkpoint.sh: $*"; exit 1; }
claim_run_folder "$run.pid" || exit 1

server_pid=""
reader_pid=""
cleaned=""
# Stops the provider service of the machine under $TALVO_STANDIN_ROOT and says whether it could; with -q says
# nothing of a service that was not running.
stop_provider() {
  local quiet=""
  [ "${1:-}" = -q ] && quiet=1
  local line state=0 pid=0 was=""
  [ -x "$tools/machine_setup" ] && [ -d "$TALVO_STANDIN_ROOT/services" ] || return 0
  for _ in $(seq 20); do
    line=$(timeout 2 "$tools/machine_setup" provider 2>&1)
    if [[ $line =~ state\ ([0-9]+),\ process\ ([0-9]+) ]]; then
      state=${BASH_REMATCH[1]} pid=${BASH_REMATCH[2]}
      [ -z "$was" ] && was=$(echo "$line" | provider_words | sed 's/^provider service: //')
    elif [[ $line == *"not registered"* ]]; then
      return 0
    fi
    case $state in
      1)
        if [[ $was == stopped* ]]; then
          [ -z "$quiet" ] && echo "provider service: not running"
        else
          echo "provider service: stopped (it was $was)"
          stopped+=("the provider service")
        fi
        return 0 ;;
      4 | 7) timeout 2 "$tools/machine_setup" stop-provider >/dev/null 2>&1 ;;
      *) sleep 0.05 ;;  # a start or stop in progress takes no stop request
    esac
  done
  # It does not stop when asked (a start in progress takes no stop): its process is ended, the manager then reads
  # the service as stopped.
  if [ "$pid" != 0 ] && grep -qzxF "TALVO_STANDIN_ROOT=$TALVO_STANDIN_ROOT" "/proc/$pid/environ" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null
    for _ in $(seq 10); do process_alive "$pid" || break; sleep 0.02; done
  fi
  if [ "$pid" != 0 ] && ! process_alive "$pid"; then
    echo "provider service: did not stop when asked ($(echo "$line" | provider_words | sed 's/^provider service: //')), its process ended"
    stopped+=("the provider service (its process)")
    return 0
  fi
  echo "provider service: could not stop it ($(echo "$line" | provider_words))"
  return 1
}
cleanup() {
  [ -n "$cleaned" ] && return
  cleaned=1
  trap '' INT TERM HUP  # the clean-up is short; a second Ctrl-C does not cut it off
  stop_step_reader_server "$run"
  stop_provider
  end_run_processes "$marker" "left behind"
  release_run_folder
}
trap 'cleanup; [ -n "$interrupted" ] && interrupted_line' EXIT
trap on_interrupt INT TERM HUP

doing="the installation of what the build needs"
step "$root/scripts/install-deps.sh" || die "installing what the build needs failed"
mkdir -p "$build"
doing="the build"
echo "== building Vantrell, Corbeline and the tools in $build ($jobs jobs; the first build takes a minute or more)"
echo "   build log: $build.log"
step -o "$build.log" cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release || { cat "$build.log"; die "configuring failed"; }
step -a "$build.log" cmake --build "$build" -j"$jobs" --target Vantrell Corbeline http_test_server stand_in_provider \
  vss_provider_commit bcdedit machine_setup status_runner vss_setup \
  || { tail -50 "$build.log"; die "the build failed (log: $build.log)"; }

# A fresh machine: its drive C:, registry, services and named objects live under one folder. What an earlier,
# interrupted run left running is stopped first: a provider still writing there keeps the folder from going.
doing="the machine's set-up"
if [ -d "$run" ]; then
  stop_provider -q | sed 's/^/earlier run: /'
  end_run_processes "$marker" "left by an earlier run"
fi
rm -rf "$run" || die "could not clear the run folder $run"
mkdir -p "$run/machine" "$run/server" "$run/agent" "$run/bcdedit"
export TALVO_COMMON_APPDATA='C:\ProgramData'
export TALVO_STANDIN_MESSAGEBOX_LOG="$run/messageboxes.txt"
export TALVO_FAKE_BCDEDIT_DIR="$run/bcdedit"
export PATH="$tools/bin:$PATH"
logs="$run/machine/drive_c/ProgramData/Talvo/logs"
perrun="$logs/Vantrell.exe.current.log.txt"

# shellcheck disable=SC2086  # the extra options are words
"$build/tests/http_test_server" "$run/server" --lifetime-ms 600000 ${CHECKPOINT_SERVER_OPTIONS:-} \
  >"$run/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 200); do [ -s "$run/server/port" ] && break; sleep 0.05; done
[ -s "$run/server/port" ] || { cat "$run/server.out"; die "the local server did not start"; }
port=$(cat "$run/server/port")

"$tools/machine_setup" register-provider "\"$tools/stand_in_provider\" ${CHECKPOINT_PROVIDER_OPTIONS:-}" \
  || die "registering the provider failed"
# shellcheck disable=SC2086
"$tools/vss_setup" "$tools/vss_provider_commit" --journal "$run/provider.txt" ${CHECKPOINT_COMMIT_OPTIONS:-} \
  || die "setting up VSS failed"
"$tools/machine_setup" set-stamp 00e1f505a1b2c3d4 || die "setting the reliability stamp failed"
echo "== machine: $run/machine"
echo "local server: 127.0.0.1:$port"
"$tools/machine_setup" provider | provider_words
"$tools/machine_setup" guards

# The party that reads the status block and then lets the agent end (it waits for that up to 80 s).
start_reader() {
  rm -f "$run/$1" "$run/$1.stop"
  "$tools/status_runner" read "$run/$1" 0 300000 &
  reader_pid=$!
}
stop_reader() {
  touch "$run/$1.stop"
  wait "$reader_pid"
  reader_pid=""
  show_status_block "$run/$1"
}

show_bcdedit() {
  echo "bcdedit runs:"
  sed 's/^/  /' "$run/bcdedit/journal.txt" 2>/dev/null | grep . || echo "  (none)"
  : >"$run/bcdedit/journal.txt"
}

show_log() {  # the per-run log's path, its error lines and its "done" line
  echo "per-run log: $perrun${2:+ (kept as $2)}"
  [ -n "${2:-}" ] && cp "$perrun" "$2" 2>/dev/null
  grep -aE ',(Error|Fatal),|done\. ret=' "$perrun" 2>/dev/null | sed 's/^/  /' | grep . || echo "  (no error line, no \"done\" line)"
}

# The causes of a run's failure found in the status block, the server's and the provider's part, when the agent
# said it ran to its end (an agent's failure explains the rest itself).
run_causes() {
  block_and_server_causes || return
  if [ -z "$frozen_ms" ]; then
    causes+="${causes:+; }the provider was never frozen and thawed"
  elif [ "$thaw_result" != 0 ]; then
    causes+="${causes:+; }the provider thawed by its own time-out, vetoing the set"
  fi
}

echo
doing="run 1 (Vantrell)"
echo "== Vantrell 127.0.0.1 $port 0.0.0.0 0 $(quoted_name "$name")"
echo "(the local server 127.0.0.1:$port; the peer 0.0.0.0 0 stands for no peer server)"
start_reader reader1.txt
from=$(($(wc -l <"$run/server.out") + 1))
step -o "$run/agent1.out" in_dir "$run/agent" "$bin/Vantrell" 127.0.0.1 "$port" 0.0.0.0 0 "$name"
byte=$?
stop_reader reader1.txt
echo "exit code: $(agent_exit_name $byte)"
message=$(cat "$run/agent1.out")
echo "message: ${message:-(none)}"
show_requests "$run/server.out" "$from"
count_inserts "$run/server.out" "$from"
show_provider_journal "$run/provider.txt"
: >"$run/provider.txt"
show_bcdedit
"$tools/machine_setup" provider | provider_words
"$tools/machine_setup" guards
show_log "" "$run/vantrell-run1.log.txt"
causes=""
[ "$byte" -ne 0 ] && causes="the agent ended with exit code $(agent_exit_name $byte)"
run_causes
summarize_run "run 1, Vantrell" "$causes" "${frozen_ms:+$frozen_ms ms}" "$received"

# shellcheck disable=SC2317  # run through step
type_name() { printf '%s\n' "$name" | in_dir "$run/agent" "$bin/Corbeline"; }
agent_alive() {
  local pid
  for pid in $(run_processes "$marker"); do
    [ "$(basename "$(readlink "/proc/$pid/exe" 2>/dev/null)")" = Vantrell ] && return 0
  done
  return 1
}

echo
doing="run 2 (Corbeline)"
echo "== Corbeline, name typed at its dialog: $(quoted_name "$name")"
# The dialog's box takes one line: a name it cannot take as given would reach the server as another name.
refusal=$(dialog_refusal "$name")
if [ -n "$refusal" ]; then
  echo "not run: $refusal"
  summarize_run "run 2, Corbeline" "$refusal" "" ""
else
  printf '127.0.0.1 %s 0.0.0.0 0\n' "$port" >"$bin/Corbeline.conf"
  echo "(its configuration $bin/Corbeline.conf: 127.0.0.1 $port 0.0.0.0 0, the peer 0.0.0.0 0 standing for no peer)"
  rm -f "$perrun" "$TALVO_STANDIN_MESSAGEBOX_LOG"
  start_reader reader2.txt
  from=$(($(wc -l <"$run/server.out") + 1))
  step -o "$run/corbeline.out" type_name
  launcher=$?
  sed 's/^/  /' "$run/corbeline.out"
  echo
  # The launcher does not wait for the agent: its end shows in its log, or it is gone without one.
  for _ in $(seq 1200); do
    grep -aqE 'done\. ret=|SnapshotFlow failed|ArgumentsParser failed|agent crushed' "$perrun" 2>/dev/null && break
    agent_alive || { sleep 0.2; break; }
    sleep 0.1
  done
  sleep 0.5
  stop_reader reader2.txt
  ret=$(grep -aoE '(done\.|failed) ret=-?[0-9]+' "$perrun" 2>/dev/null | tail -1 | sed 's/.*ret=//')
  causes=""
  [ "$launcher" -ne 0 ] && causes="the launcher ended with exit code $launcher"
  if [ ! -e "$perrun" ]; then
    echo "exit code: none (no agent ran: no per-run log)"
    causes+="${causes:+; }the launcher started no agent"
    [ -z "$name" ] && causes+=" (its dialog takes no empty name)"
  elif [ -z "$ret" ]; then
    echo "exit code: none in its log"
    causes+="${causes:+; }the agent ended without its last log line"
  else
    echo "exit code: $(agent_code_name "$ret") (from its log)"
    [ "$ret" != 0 ] && causes+="${causes:+; }the agent ended with exit code $(agent_code_name "$ret")"
  fi
  echo "message box: $(cut -f3,4 "$TALVO_STANDIN_MESSAGEBOX_LOG" 2>/dev/null | sed 's/\t/: /' | grep . || echo "(none)")"
  show_requests "$run/server.out" "$from"
  count_inserts "$run/server.out" "$from"
  show_provider_journal "$run/provider.txt"
  show_bcdedit
  "$tools/machine_setup" guards
  show_log ""
  run_causes
  summarize_run "run 2, Corbeline" "$causes" "${frozen_ms:+$frozen_ms ms}" "$received"
fi

echo
cleanup
summarize_all
exit $?
