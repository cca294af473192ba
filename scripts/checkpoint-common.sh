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
Environment: TALVO_JOBS, the build's jobs (all CPUs unless set). CHECKPOINT_SERVER_OPTIONS: more options for the
local server (build/checkpoint/tests/http_test_server); without --wine also CHECKPOINT_COMMIT_OPTIONS, more options
for the provider's commit (build/checkpoint/tests/tools/vss_provider_commit), and CHECKPOINT_PROVIDER_OPTIONS,
options for the stand-in provider service (build/checkpoint/tests/tools/stand_in_provider).
To see a run fail (each run's line then gives the cause shown here):
  CHECKPOINT_SERVER_OPTIONS="--lifetime-ms 1"   the server ends at once: "the agent ended with exit code -1002
                                                (no server answered the ping, ...)"
  CHECKPOINT_SERVER_OPTIONS="--mode reset"      the server resets each connection: the same cause
  without --wine:
  CHECKPOINT_SERVER_OPTIONS="--delay-ms 300" CHECKPOINT_COMMIT_OPTIONS="--hold-ms 50"
                                                the insert answered after the provider's hold: "the status block
                                                holds 0x80042306 VSS_E_PROVIDER_VETO (...); the provider thawed by
                                                its own time-out, vetoing the set"
  CHECKPOINT_COMMIT_OPTIONS="--fail-before-freeze"
                                                "the status block holds 1 (the flow's result: a failed snapshot,
                                                ...); the provider was never frozen and thawed"
These alone take the checkpoint: "--delay-ms 300" (a late answer: a frozen window of about 300 ms), "--hold-ms 50"
(the thaw comes before the hold ends) and CHECKPOINT_PROVIDER_OPTIONS="--pending 40 --step-ms 100" (the provider
service's start lasts 4 s).
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
      # The first --wine went to checkpoint.sh: here it came once more.
      --wine) echo "checkpoint.sh: --wine given more than once (once, first, is enough)" >&2; exit 2 ;;
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

agent_code_name() {  # an exit code of the agent, with its meaning
  case $1 in
    0) echo "0 (the agent ran to its end)" ;;
    1) echo "1 (usage error)" ;;
    -1000 | -1001 | -1002 | -1005 | -1006 | -1007) echo "$1 ($(agent_status_meaning "$1"))" ;;
    -1004) echo "-1004 (unhandled exception)" ;;
    *) echo "$1" ;;
  esac
}

agent_status_meaning() {  # the agent's own codes, the same as exit code and in the status block
  case $1 in
    -1000) echo "the wait for the frozen moment was abandoned" ;;
    -1001) echo "the volumes were not frozen in time" ;;
    -1002) echo "no server answered the ping, or the wait for the frozen moment failed" ;;
    -1005) echo "the requester thread did not start" ;;
    -1006) echo "the provider service is not registered" ;;
    -1007) echo "the provider service did not start" ;;
  esac
}

# The status block's last value, as the reader prints it (a signed 32-bit number), with its meaning: the flow's
# result (the requester's: 0, 1 or an HRESULT), or the code of a provider service that could not be started.
status_block_words() {
  local value=$1 hr
  case $value in
    0) echo "0 (the flow's result: the snapshot succeeded)"; return ;;
    1) echo "1 (the flow's result: a failed snapshot, a VSS wait or a writer's state failed)"; return ;;
    -1000 | -1001 | -1002 | -1005) echo "$value (the flow's result: $(agent_status_meaning "$value"))"; return ;;
    -1006 | -1007) echo "$value ($(agent_status_meaning "$value"))"; return ;;
  esac
  if [[ $value =~ ^-[0-9]+$ ]]; then
    printf -v hr '0x%08X' $((value & 0xFFFFFFFF))
    echo "$hr $(hresult_name "$hr") (the flow's result: the HRESULT the requester failed with)"
    return
  fi
  echo "$value (the flow's result)"
}

hresult_name() {  # 0x8XXXXXXX: its name among the VSS (or COM) error codes, "(unnamed)" when unknown
  case $1 in
    0x80042301) echo VSS_E_BAD_STATE ;;
    0x80042302) echo VSS_E_UNEXPECTED ;;
    0x80042303) echo VSS_E_PROVIDER_ALREADY_REGISTERED ;;
    0x80042304) echo VSS_E_PROVIDER_NOT_REGISTERED ;;
    0x80042306) echo VSS_E_PROVIDER_VETO ;;
    0x80042307) echo VSS_E_PROVIDER_IN_USE ;;
    0x80042308) echo VSS_E_OBJECT_NOT_FOUND ;;
    0x8004230C) echo VSS_E_VOLUME_NOT_SUPPORTED ;;
    0x8004230D) echo VSS_E_OBJECT_ALREADY_EXISTS ;;
    0x8004230E) echo VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER ;;
    0x8004230F) echo VSS_E_UNEXPECTED_PROVIDER_ERROR ;;
    0x80042310) echo VSS_E_CORRUPT_XML_DOCUMENT ;;
    0x80042311) echo VSS_E_INVALID_XML_DOCUMENT ;;
    0x80042312) echo VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED ;;
    0x80042313) echo VSS_E_FLUSH_WRITES_TIMEOUT ;;
    0x80042314) echo VSS_E_HOLD_WRITES_TIMEOUT ;;
    0x80042315) echo VSS_E_UNEXPECTED_WRITER_ERROR ;;
    0x80042316) echo VSS_E_SNAPSHOT_SET_IN_PROGRESS ;;
    0x80042317) echo VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED ;;
    0x80042318) echo VSS_E_WRITER_INFRASTRUCTURE ;;
    0x80042319) echo VSS_E_WRITER_NOT_RESPONDING ;;
    0x8004231A) echo VSS_E_WRITER_ALREADY_SUBSCRIBED ;;
    0x8004231B) echo VSS_E_UNSUPPORTED_CONTEXT ;;
    0x8004231D) echo VSS_E_VOLUME_IN_USE ;;
    0x8004231E) echo VSS_E_MAXIMUM_DIFFAREA_ASSOCIATIONS_REACHED ;;
    0x8004231F) echo VSS_E_INSUFFICIENT_STORAGE ;;
    0x80004001) echo E_NOTIMPL ;;
    0x80004005) echo E_FAIL ;;
    0x80010106) echo RPC_E_CHANGED_MODE ;;
    0x80070005) echo E_ACCESSDENIED ;;
    0x8007000E) echo E_OUTOFMEMORY ;;
    0x80070057) echo E_INVALIDARG ;;
    *) echo "(unnamed)" ;;
  esac
}

# The status block as its reader's journal ends ("<ms> end <value>"): prints it in words; sets block_failure to
# the cause it gives a run ("" for a snapshot that succeeded).
show_status_block() {  # reader journal
  local block
  block=$(tail -1 "$1" 2>/dev/null | tr -d '\r' | sed -n 's/^[0-9]* end //p')
  block_failure=""
  case $block in
    none | "")
      echo "status block: never written (it does not exist)"
      block_failure="the status block was never written" ;;
    0) echo "status block: $(status_block_words 0)" ;;
    *)
      echo "status block: $(status_block_words "$block")"
      block_failure="the status block holds $(status_block_words "$block")" ;;
  esac
}

# A name as the summary shows it: in double quotes, its quotes, backslashes, line ends, tabs and other control
# characters escaped, so that no name can end its quotes early or start a line of its own.
quoted_name() {
  local LC_ALL=C
  local text=$1 out="" c i
  for ((i = 0; i < ${#text}; i++)); do
    c=${text:i:1}
    case $c in
      '"') out+='\"' ;;
      \\) out+="\\\\" ;;
      $'\n') out+='\n' ;;
      $'\r') out+='\r' ;;
      $'\t') out+='\t' ;;
      [[:cntrl:]]) printf -v c '\\x%02x' "'$c"; out+=$c ;;
      *) out+=$c ;;
    esac
  done
  # The line ends and direction marks of Unicode, which a terminal may honour, as \uXXXX.
  local marks=($'\xc2\x85' $'\xe2\x80\xa8' $'\xe2\x80\xa9' $'\xe2\x80\xaa' $'\xe2\x80\xab' $'\xe2\x80\xac'
    $'\xe2\x80\xad' $'\xe2\x80\xae' $'\xe2\x81\xa6' $'\xe2\x81\xa7' $'\xe2\x81\xa8' $'\xe2\x81\xa9')
  local codes=(0085 2028 2029 202a 202b 202c 202d 202e 2066 2067 2068 2069)
  for i in "${!marks[@]}"; do
    [[ $out == *"${marks[i]}"* ]] && out=${out//"${marks[i]}"/\\u${codes[i]}}
  done
  printf '"%s"' "$out"
}

# Why the launcher's dialog cannot send the name as given ("" when it can): its box takes one line of the
# terminal, without the line's carriage return.
dialog_refusal() {  # name
  if [[ $1 == *$'\n'* ]]; then
    echo "its dialog cannot take the name as given: the name holds a line feed, and the dialog takes one line"
  elif [[ $1 == *$'\r' ]]; then
    echo "its dialog cannot take the name as given: the name ends with a carriage return, which the dialog drops"
  fi
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
  stopped+=("${#left[@]} more process(es) of the run")
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

# The requests a server received from line $2 of its output on, an insert's MAC addresses and name decoded here
# from its path, the name quoted as the summary shows it (the server prints it raw, line ends and all).
show_requests() {  # server output, first line
  local line target macs encoded decoded
  echo "requests the local server received:"
  while IFS= read -r line; do
    [[ $line =~ ^request\ [0-9]+:\ GET\ (.*)$ ]] || continue
    echo "  $line"
    target=${BASH_REMATCH[1]}
    [[ $target == /KestrumService/AgentServer/insertlicensed/* ]] || continue
    target=${target#/KestrumService/AgentServer/insertlicensed/}
    macs=""
    [[ $target == */* ]] && macs=${target%/*}
    encoded=${target##*/}
    printf -v macs '%b' "${macs//%/\\x}"
    echo "    MAC addresses: $macs"
    # The x keeps the name's own line ends from the substitution's trimming.
    if decoded=$(name_of_token "$encoded" && echo x); then
      echo "    checkpoint name: $(quoted_name "${decoded%x}")"
    else
      echo "    checkpoint name: not well formed ($encoded)"
    fi
  done < <(tail -n +"$2" "$1" 2>/dev/null | tr -d '\r') | grep . || echo "  (none)"
}

name_of_token() {  # the name an insert's path carries; fails when it is not Base64 of UTF-16LE text
  printf '%s' "${1//-//}" | base64 -d 2>/dev/null | iconv -f UTF-16LE -t UTF-8 2>/dev/null
  local status=("${PIPESTATUS[@]}")
  [ "${status[1]}" = 0 ] && [ "${status[2]}" = 0 ]
}

# The name as an insert carries it, the last part of its path: Base64 ("-" for "/") of the name's UTF-16LE bytes.
# Fails for a name that is not UTF-8 text.
name_token() {  # name
  local token
  token=$(printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE 2>/dev/null | base64 -w0; exit "${PIPESTATUS[1]}") || return 1
  printf '%s' "${token//\//-}"
}

# The inserts a server received from line $2 of its output on, and whether one carried exactly the name.
# Sets inserts (their count), name_seen (1 when an insert carried the name's bytes) and name_received (the name
# the first insert carried, shown quoted, when none carried the name).
count_inserts() {  # server output, first line
  local tokens token want
  mapfile -t tokens < <(tail -n +"$2" "$1" 2>/dev/null | sed -n 's|^request [0-9]*: GET .*/insertlicensed/.*/||p')
  inserts=${#tokens[@]}
  name_seen=0
  name_received=""
  want=$(name_token "$name") || want="(not UTF-8)"
  for token in "${tokens[@]}"; do
    if [ "$token" = "$want" ]; then name_seen=1; return; fi
  done
  [ "$inserts" -gt 0 ] || return
  if token=$(name_of_token "${tokens[0]}" && echo x); then
    name_received=$(quoted_name "${token%x}")
  else
    name_received="${tokens[0]} (not well formed)"
  fi
}

# The causes of a run's failure in the status block and the server's part, added to causes when the agent said it
# ran to its end (an agent's failure explains the rest itself). Sets received, the servers that received an insert.
block_and_server_causes() {
  received=""
  [ "$inserts" -gt 0 ] && received="127.0.0.1:$port (the local server)"
  [ -n "$causes" ] && return 1
  [ -n "$block_failure" ] && causes+="${causes:+; }$block_failure"
  if [ "$inserts" -eq 0 ]; then
    causes+="${causes:+; }the local server received no insert"
  elif [ "$name_seen" -eq 0 ]; then
    causes+="${causes:+; }the local server received another name, $name_received"
  fi
  return 0
}

# One run's summary line; adds the run to the whole's tally. causes: the failures found, "; " between them.
port=""  # the local server's, set by the scripts
summary_runs=0
summary_failed=0
summary_lines=()
summarize_run() {  # title, causes, frozen ms, servers that received it
  local outcome="taken"
  summary_runs=$((summary_runs + 1))
  if [ -n "$2" ]; then outcome="FAILED: $2"; summary_failed=$((summary_failed + 1)); fi
  local line
  line="$1 $(quoted_name "$name"): $outcome | frozen: ${3:-n/a} | received by: ${4:-no server}"
  summary_lines+=("$line")
  echo "== $line"
}

# The whole's summary: every run's line again, then one line for all; the script's exit code.
summarize_all() {
  local line quoted
  quoted=$(quoted_name "$name")
  echo
  echo "== summary"
  for line in "${summary_lines[@]}"; do echo "  $line"; done
  if [ "$summary_runs" -eq 0 ]; then
    echo "checkpoint $quoted: no run finished"
    return 1
  fi
  if [ "$summary_failed" -eq 0 ]; then
    echo "checkpoint $quoted: taken in $summary_runs of $summary_runs runs"
    return 0
  fi
  echo "checkpoint $quoted: FAILED in $summary_failed of $summary_runs runs"
  return 1
}

# Each step runs in the background while the script waits for it: bash takes a signal's trap only once the
# foreground child ended, but at once during a wait. Its output goes to a file (-o) or is appended to one (-a)
# inside the step, so that what the trap prints still reaches the terminal.
child=""
child_what=""
step() {
  case $1 in
    -o) local file=$2; shift 2; "$@" >"$file" 2>&1 & ;;
    -a) local file=$2; shift 2; "$@" >>"$file" 2>&1 & ;;
    *) "$@" & ;;
  esac
  child=$!
  child_what=$(step_program "$@")
  wait "$child"
  local rc=$?
  child=""
  return $rc
}
in_dir() { cd "$1" && shift && exec "$@"; }
step_program() {  # the program a step runs, for the words
  [ "$1" = in_dir ] && shift 2
  [ "$1" = wine ] && shift
  case $1 in
    type_name) echo Corbeline ;;
    *) basename "$1" ;;
  esac
}

# What an interrupt stopped, for the run's last line: stop_step_reader_server, the scripts' provider stops and
# end_run_processes add to it.
stopped=()
doing=""  # the part of the run under way, for that line

# The step under way, the status reader and the local server (asked through its stop file first) of the run.
stop_step_reader_server() {  # run folder
  # Set only while they run; a Ctrl-C may have ended them already.
  if [ -n "$child" ]; then kill -TERM "$child" 2>/dev/null; stopped+=("the step under way ($child_what)"); fi
  if [ -n "$reader_pid" ]; then kill -TERM "$reader_pid" 2>/dev/null; stopped+=("the status reader"); fi
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    touch "$1/server/stop" 2>/dev/null
    for _ in $(seq 10); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.05; done
    kill -TERM "$server_pid" 2>/dev/null
    stopped+=("the local server")
  fi
}

# The last line of an interrupted run, in the form of the summary's.
interrupted=""
on_interrupt() {
  echo
  echo "== interrupted: stopping the run"
  interrupted=1
  exit 130
}
interrupted_line() {
  local what="nothing was running" i
  if [ ${#stopped[@]} -gt 0 ]; then
    what="stopped: ${stopped[0]}"
    for ((i = 1; i < ${#stopped[@]}; i++)); do what+=", ${stopped[i]}"; done
  fi
  echo "checkpoint $(quoted_name "$name"): interrupted${doing:+ during $doing}; $what"
}

# A run of the same folder still going, started alongside, is left alone: this one does not start. A pid file
# names the run that holds the folder; a run that was killed left a pid nobody runs under any more.
claimed=""
claim_run_folder() {  # pid file
  local other command
  mkdir -p "$(dirname "$1")"
  for _ in 1 2; do
    if (set -o noclobber; echo "$$" >"$1") 2>/dev/null; then claimed=$1; return 0; fi
    other=$(cat "$1" 2>/dev/null)
    command=$(tr '\0' ' ' 2>/dev/null <"/proc/$other/cmdline")
    if [ -n "$other" ] && process_alive "$other" && [[ $command == *scripts/checkpoint* ]]; then
      echo "checkpoint.sh: another checkpoint run is going on this folder (process $other: $command), left alone;"
      echo "  this one does not start: wait for that run's end, or interrupt it"
      return 1
    fi
    rm -f "$1"
  done
  echo "checkpoint.sh: could not claim the run folder (its pid file $1)"
  return 1
}
release_run_folder() {
  [ -n "$claimed" ] && [ "$(cat "$claimed" 2>/dev/null)" = "$$" ] && rm -f "$claimed"
  claimed=""
}
