# shellcheck shell=bash disable=SC2034  # sets variables its callers read
# What scripts/checkpoint.sh and scripts/checkpoint-wine.sh share: their arguments, the words for the codes they
# show, each run's summary line and the end of every process a run started. Sourced, not run.

checkpoint_default_name='Before the upgrade "v2" \ 1'

checkpoint_usage() {
  cat <<EOF
usage: bash scripts/checkpoint.sh [--wine] [checkpoint name]
       bash scripts/checkpoint.sh --help
One checkpoint end to end on a machine of its own under build/checkpoint (with --wine: the Windows binaries under
Wine, under build/checkpoint-wine). Options go before the name; -- ends them (a name starting with "-").
Without a name the checkpoint is named: $checkpoint_default_name
An empty name ("") goes to the agent as given. Exit code 0 when every run took its checkpoint, 1 when a run
failed, 2 on a usage error, 130 when interrupted.
Environment: TALVO_JOBS, the build's jobs (all CPUs unless set). To see a run fail: CHECKPOINT_SERVER_OPTIONS, more
options for the local server (tests/programs/http_test_server: "--lifetime-ms 1" ends it at once, "--mode reset"
resets each connection, "--delay-ms 300" answers late). Without --wine also CHECKPOINT_COMMIT_OPTIONS, more options
for the provider's commit (tests/tools/vss_provider_commit: "--hold-ms 50" thaws by itself after 50 ms), and
CHECKPOINT_PROVIDER_OPTIONS, options for the stand-in provider service (tests/tools/stand_in_provider:
"--pending 40 --step-ms 100" makes its start last 4 s).
EOF
}

# Sets name from the arguments left after --wine; prints the usage and exits on --help or a usage error.
checkpoint_parse_args() {
  local named=0
  name=$checkpoint_default_name
  while [ $# -gt 0 ]; do
    case $1 in
      -h | --help) checkpoint_usage; exit 0 ;;
      --) shift; break ;;
      --wine) echo "checkpoint.sh: --wine goes first, before the name" >&2; exit 2 ;;
      -?*) echo "checkpoint.sh: unknown option $1 (-- before a name that starts with \"-\")" >&2; exit 2 ;;
      *) break ;;
    esac
  done
  if [ $# -gt 0 ]; then name=$1; named=1; shift; fi
  if [ $# -gt 0 ]; then
    echo "checkpoint.sh: nothing may follow the name; refused: $*" >&2
    echo "(options go before the name: bash scripts/checkpoint.sh [--wine] [checkpoint name])" >&2
    exit 2
  fi
  if [ $named -eq 0 ]; then echo "(no name given: the default name)"; fi
}

agent_exit_name() {  # the agent's exit code (from the 8 bits the shell keeps) and what it means
  local byte=$1 code
  if [ "$byte" -gt 128 ] && [ "$byte" -lt 160 ]; then echo "$byte (ended by signal $((byte - 128)))"; return; fi
  for code in 0 1 -1000 -1001 -1002 -1004 -1005 -1006 -1007; do
    if [ $((code & 255)) -eq "$byte" ]; then agent_code_name "$code"; return; fi
  done
  echo "$byte"
}

agent_code_name() {  # an exit code or status block value of the agent, with its meaning
  case $1 in
    0) echo "0 (taken)" ;;
    1) echo "1 (usage error)" ;;
    -1000) echo "-1000 (the wait for the frozen moment was abandoned)" ;;
    -1001) echo "-1001 (the volumes were not frozen in time)" ;;
    -1002) echo "-1002 (no server answered the ping, or the wait for the frozen moment failed)" ;;
    -1004) echo "-1004 (unhandled exception)" ;;
    -1005) echo "-1005 (the requester thread did not start)" ;;
    -1006) echo "-1006 (the provider service is not registered)" ;;
    -1007) echo "-1007 (the provider service did not start)" ;;
    *) echo "$1" ;;
  esac
}

# "provider: state 4, process 1234" as machine_setup prints it, the state in words.
provider_words() {
  local line state
  while IFS= read -r line; do
    line=${line%$'\r'}
    if [[ $line =~ ^provider:\ state\ ([0-9]+),\ process\ ([0-9]+)$ ]]; then
      case ${BASH_REMATCH[1]} in
        1) state="stopped" ;; 2) state="start pending" ;; 3) state="stop pending" ;; 4) state="running" ;;
        5) state="continue pending" ;; 6) state="pause pending" ;; 7) state="paused" ;;
        *) state="state ${BASH_REMATCH[1]}" ;;
      esac
      if [ "${BASH_REMATCH[2]}" = 0 ]; then
        echo "provider service: $state, no process"
      else
        echo "provider service: $state, process ${BASH_REMATCH[2]}"
      fi
    else
      echo "$line"
    fi
  done
}

# The processes a run started, however detached (the provider service runs in a session of its own): each carries
# the run's marker in its environment. The script's own shells carry it too and are left out.
run_processes() {  # marker (NAME=value)
  local self files file pid
  self=$(readlink "/proc/$$/exe")
  # No pipeline: a process beside the grep would carry the marker too.
  files=$(env -u "${1%%=*}" grep -lzxF -- "$1" /proc/[0-9]*/environ 2>/dev/null)
  for file in $files; do
    pid=${file#/proc/}
    pid=${pid%/environ}
    [ "$pid" = "$$" ] && continue
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$self" ] && continue
    echo "$pid"
  done
}

process_alive() {  # pid: it runs (a zombie has ended)
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat:0:1}" != Z ]
}

describe_processes() {  # pids...: "pid command line" each, of those still there
  local pid command
  for pid in "$@"; do
    command=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | cut -c1-100)
    [ -n "$command" ] && printf '%s %s\n' "$pid" "$command"
  done
}

# Ends every process of the run still alive: TERM, then KILL after a second. Prints what it ended; returns 1 when a
# process outlived that.
end_run_processes() {  # marker, what they are ("left by an earlier run", ...)
  local left
  # What was just told to end (the step in progress, the server) gets a moment to go by itself.
  for _ in $(seq 10); do
    mapfile -t left < <(run_processes "$1")
    [ ${#left[@]} -eq 0 ] && return 0
    sleep 0.03
  done
  echo "processes of the run $2, ended:"
  describe_processes "${left[@]}" | sed 's/^/  /'
  kill -TERM "${left[@]}" 2>/dev/null
  for _ in $(seq 20); do
    mapfile -t left < <(run_processes "$1")
    [ ${#left[@]} -eq 0 ] && return 0
    sleep 0.05
  done
  kill -KILL "${left[@]}" 2>/dev/null
  sleep 0.1
  mapfile -t left < <(run_processes "$1")
  [ ${#left[@]} -eq 0 ] && return 0
  echo "processes of the run still alive:"
  describe_processes "${left[@]}" | sed 's/^/  /'
  return 1
}

# The provider's journal (tests/tools/vss_provider_commit): "freeze <ns>", "thaw <wait result> <ns>" and, for a
# snapshot set taken with no flow running, "commit <ns>". Prints it with the frozen window; sets frozen_ms ("" when
# there was no freeze and thaw) and thaw_result.
show_provider_journal() {  # journal file
  local what a b freeze=""
  frozen_ms=""
  thaw_result=""
  echo "provider commit (monotonic ns):"
  if [ ! -s "$1" ]; then echo "  (nothing: the provider took no part)"; return; fi
  while read -r what a b; do
    case $what in
      freeze) freeze=$a; echo "  freeze $a: the volumes frozen, the agent told" ;;
      thaw)
        thaw_result=$a
        if [ "$a" = 0 ]; then
          echo "  thaw $a $b: thawed on the agent's thaw event"
        else
          echo "  thaw $a $b: thawed by the provider's own time-out (wait result $a), the set vetoed"
        fi
        if [ -n "$freeze" ]; then
          frozen_ms=$(awk -v f="$freeze" -v t="$b" 'BEGIN {printf "%.3f", (t - f) / 1e6}')
          echo "  frozen window: $frozen_ms ms"
        fi
        ;;
      commit) echo "  commit $a: the second snapshot set, the one that takes the writers out of \"Timed out\"" ;;
      fail) echo "  fail $a: the provider gave up before freezing" ;;
      *) echo "  $what $a $b" ;;
    esac
  done <"$1"
}

# The inserts a server received from line $2 of its output on, and whether one carried the name.
# Sets inserts (their count) and name_seen (1 when an insert's decoded name is the name).
count_inserts() {  # server output, first line
  inserts=$(tail -n +"$2" "$1" 2>/dev/null | grep -c '^request [0-9]*: GET .*/insertlicensed/')
  name_seen=0
  if tail -n +"$2" "$1" 2>/dev/null | grep -qxF -- "  checkpoint name: $name"; then name_seen=1; fi
}

# One run's summary line; adds the run to the whole's tally. causes: the failures found, "; " between them.
summary_runs=0
summary_failed=0
summary_lines=()
summarize_run() {  # title, causes, frozen ms, servers that received it
  local outcome="taken"
  summary_runs=$((summary_runs + 1))
  if [ -n "$2" ]; then outcome="FAILED: $2"; summary_failed=$((summary_failed + 1)); fi
  local line
  line=$(printf '%s "%s": %s | frozen: %s | received by: %s' "$1" "$name" "$outcome" "${3:-n/a}" "${4:-no server}")
  summary_lines+=("$line")
  echo "== $line"
}

# The whole's summary: every run's line again, then one line for all; the script's exit code.
summarize_all() {
  local line
  echo
  echo "== summary"
  for line in "${summary_lines[@]}"; do echo "  $line"; done
  if [ "$summary_runs" -eq 0 ]; then
    echo "checkpoint \"$name\": no run finished"
    return 1
  fi
  if [ "$summary_failed" -eq 0 ]; then
    echo "checkpoint \"$name\": taken in $summary_runs of $summary_runs runs"
    return 0
  fi
  echo "checkpoint \"$name\": FAILED in $summary_failed of $summary_runs runs"
  return 1
}

# Each step runs in the background while the script waits for it: bash takes a signal's trap only once the
# foreground child ended, but at once during a wait. Its output goes to a file (-o) or is appended to one (-a)
# inside the step, so that what the trap prints still reaches the terminal.
child=""
step() {
  case $1 in
    -o) local file=$2; shift 2; "$@" >"$file" 2>&1 & ;;
    -a) local file=$2; shift 2; "$@" >>"$file" 2>&1 & ;;
    *) "$@" & ;;
  esac
  child=$!
  wait "$child"
  local rc=$?
  child=""
  return $rc
}
in_dir() { cd "$1" && shift && exec "$@"; }

# The step under way, the status reader and the local server (asked through its stop file first) of the run.
stop_step_reader_server() {  # run folder
  [ -n "$child" ] && kill -TERM "$child" 2>/dev/null
  [ -n "$reader_pid" ] && kill -TERM "$reader_pid" 2>/dev/null
  if [ -n "$server_pid" ]; then
    touch "$1/server/stop" 2>/dev/null
    for _ in $(seq 10); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.05; done
    kill -TERM "$server_pid" 2>/dev/null
  fi
}
