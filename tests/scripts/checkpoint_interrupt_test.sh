#!/usr/bin/env bash
# The checkpoint command interrupted at a known step, and started beside a run still going. The scripts run from
# a copy of the tree whose install step (or cmake, first on PATH) marks that it started and then sleeps, so that
# nothing is installed or built. Every wait is bounded.
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/checkpoint-common.sh
. "$root/scripts/checkpoint-common.sh"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
tree=$(mktemp -d)
pids=()
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$tree"
}
trap 'pids+=($(cat "$tree/step.pids" 2>/dev/null)); cleanup' EXIT

mkdir -p "$tree/scripts" "$tree/bin"
cp "$root/scripts/checkpoint.sh" "$root/scripts/checkpoint-wine.sh" "$root/scripts/checkpoint-common.sh" \
  "$tree/scripts/"
# The fake step: where FAKE_STEP names it, it notes its pid and sleeps in its own process; elsewhere it succeeds.
fake_step() {
  cat >"$1" <<EOF
#!/usr/bin/env bash
[ "\${FAKE_STEP:-}" = "$2" ] || exit 0
echo \$\$ >"$tree/step.pid"
echo \$\$ >>"$tree/step.pids"
exec sleep 30
EOF
  chmod +x "$1"
}
fake_step "$tree/scripts/install-deps.sh" install
fake_step "$tree/bin/cmake" cmake

# Starts the command in a process group of its own (as a terminal's foreground job is), the fake step at $1;
# sets run_pid once the step has started.
start_run() {  # step, checkpoint.sh arguments...
  local step=$1 out=$2
  shift 2
  rm -f "$tree/step.pid"
  set -m
  FAKE_STEP=$step PATH="$tree/bin:$PATH" bash "$tree/scripts/checkpoint.sh" "$@" >"$out" 2>&1 &
  run_pid=$!
  set +m
  pids+=("$run_pid")
  for _ in $(seq 200); do [ -s "$tree/step.pid" ] && return 0; sleep 0.05; done
  fail "$step: the step never started"; cat "$out"
  return 1
}

# Waits up to 10 s for the command's end; sets rc.
wait_run() {
  for _ in $(seq 200); do kill -0 "$run_pid" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$run_pid" 2>/dev/null; then rc=timeout; return 1; fi
  wait "$run_pid"
  rc=$?
}

name=$'a "b" \\ c\nd'
quoted=$(quoted_name "$name")
# step | signal sent to (the script, or its whole group as Ctrl-C does) | arguments | the last line
cases=(
  "install|script||checkpoint $quoted: interrupted during the installation of what the build needs; stopped: the step under way (install-deps.sh)"
  "install|group||checkpoint $quoted: interrupted during the installation of what the build needs; stopped: the step under way (install-deps.sh)"
  "cmake|script||checkpoint $quoted: interrupted during the build; stopped: the step under way (cmake)"
  "install|script|--wine|checkpoint $quoted: interrupted during the installation of what the build needs; stopped: the step under way (install-deps.sh)"
  "cmake|group|--wine|checkpoint $quoted: interrupted during the build; stopped: the step under way (cmake)"
)
for row in "${cases[@]}"; do
  IFS='|' read -r step target wine want <<<"$row"
  what="$step, $target${wine:+, $wine}"
  start_run "$step" "$tree/out.txt" ${wine:+"$wine"} "$name" || continue
  step_pid=$(cat "$tree/step.pid")
  if [ "$target" = group ]; then kill -INT -- "-$run_pid"; else kill -INT "$run_pid"; fi
  wait_run || { fail "$what: still running 10 s after the interrupt"; continue; }
  [ "$rc" = 130 ] || fail "$what: exit code $rc, not 130"
  last=$(tail -1 "$tree/out.txt")
  [ "$last" = "$want" ] || fail "$what: last line [$last], not [$want]"
  process_alive "$step_pid" && fail "$what: the step's process $step_pid still runs"
  grep -q '== interrupted: stopping the run' "$tree/out.txt" || fail "$what: no word of the interrupt"
  [ -e "$tree/build/checkpoint/run.pid" ] || [ -e "$tree/build/checkpoint-wine.pid" ] \
    && fail "$what: the run's pid file left behind"
done

# A run still going on the same folder is left alone: a second one refuses to start and says why; once the first
# is interrupted, the folder is free again.
for wine in "" --wine; do
  start_run install "$tree/first.txt" ${wine:+"$wine"} first || continue
  first=$run_pid
  # Were it to go on, it would stop at its build.
  FAKE_STEP=cmake PATH="$tree/bin:$PATH" timeout 10 bash "$tree/scripts/checkpoint.sh" ${wine:+"$wine"} second >"$tree/second.txt" 2>&1
  second_rc=$?
  [ "$second_rc" = 1 ] || fail "second run${wine:+ $wine}: exit code $second_rc, not 1"
  grep -q "another checkpoint run is going on this folder (process $first" "$tree/second.txt" \
    || fail "second run${wine:+ $wine} said: $(cat "$tree/second.txt")"
  kill -0 "$first" 2>/dev/null || fail "second run${wine:+ $wine}: the first run was ended"
  run_pid=$first
  kill -INT "$first"
  wait_run || fail "first run${wine:+ $wine}: still running after its interrupt"
  # Nothing holds the folder now: a third run passes the check and goes on to its install step.
  start_run install "$tree/third.txt" ${wine:+"$wine"} third || continue
  kill -INT "$run_pid"
  wait_run
  [ "$rc" = 130 ] || fail "third run${wine:+ $wine}: exit code $rc, not 130: $(cat "$tree/third.txt")"
done

[ "$failures" = 0 ] && echo "checkpoint interrupts: all cases passed"
exit $((failures != 0))
